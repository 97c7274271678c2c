#include "core/check/outcome_log.h"

#include <gtest/gtest.h>

namespace sfvcheck {
namespace {

constexpr std::uint64_t kUnixEpoch = 11644473600ull * kTicksPerSecond;

// A stand-in for the system's converter: Latin-1 to UTF-8, where 0x81 is
// not a character (as in Windows-1252).
bool Latin1ToUtf8(std::string_view ansi, std::string* utf8) {
  utf8->clear();
  for (char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0x81) return false;
    if (byte < 0x80) {
      *utf8 += c;
    } else {
      *utf8 += static_cast<char>(0xC0 | (byte >> 6));
      *utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return true;
}

TEST(OutcomeLogTest, NamesBecomeJsonStringsThatNeverBreakTheLine) {
  EXPECT_EQ(LogJsonString("C:\\up\\\"x\"\n\x1f", Latin1ToUtf8), "\"C:\\\\up\\\\\\\"x\\\"\\u000a\\u001f\"");
  EXPECT_EQ(LogJsonString("caf\xe9.rar", Latin1ToUtf8), "\"caf\xc3\xa9.rar\"");
  // Not text in the code page: ASCII kept, every other byte shown as \xHH.
  EXPECT_EQ(LogJsonString("a\x81\xe9\"b", Latin1ToUtf8), "\"a\\\\x81\\\\xE9\\\"b\"");
  EXPECT_EQ(LogJsonString("\xe9", nullptr), "\"\\\\xE9\"");
}

TEST(OutcomeLogTest, TimesAreUtcWithMilliseconds) {
  EXPECT_EQ(LogTimeText(0), "1601-01-01T00:00:00.000Z");
  EXPECT_EQ(LogTimeText(kUnixEpoch), "1970-01-01T00:00:00.000Z");
  // The last millisecond of a leap day, and of a century year's February.
  EXPECT_EQ(LogTimeText(kUnixEpoch + 951868800ull * kTicksPerSecond - 10000), "2000-02-29T23:59:59.999Z");
  EXPECT_EQ(LogTimeText(kUnixEpoch + 4107542400ull * kTicksPerSecond - 10000), "2100-02-28T23:59:59.999Z");
  EXPECT_EQ(LogTimeText(kUnixEpoch + 1796774540ull * kTicksPerSecond + 1234567), "2026-12-09T00:02:20.123Z");
}

TEST(OutcomeLogTest, APassGivesALinePerOutcome) {
  PassResult result;
  result.prefix = "C:\\up\\";
  result.listName = "set.sfv";
  result.entries = {{"C:\\up\\a.rar", EntryOutcome::kGood},
                    {"C:\\up\\b.rar", EntryOutcome::kBad, true, 42, 0x1234abcd, 0xdeadbeef},
                    {"C:\\up\\c.rar", EntryOutcome::kBad}};  // moved aside earlier: no line
  result.errors = {{PassErrorKind::kRemoveAfterCopy, 5, "C:\\up\\b.rar"}};
  result.good = 1;
  result.completed = true;
  result.totalBytes = 100;
  result.listCreated = kUnixEpoch + 5 * kTicksPerSecond;  // ahead of `now` below: unknown
  const std::vector<std::string> lines = OutcomeLines(result, kUnixEpoch, Latin1ToUtf8);
  ASSERT_EQ(lines.size(), 3u);
  const std::string head = "{\"time\":\"1970-01-01T00:00:00.000Z\",\"kind\":";
  const std::string where = "\"directory\":\"C:\\\\up\\\\\",\"list\":\"set.sfv\"";
  EXPECT_EQ(lines[0], head + "\"bad\"," + where +
                          ",\"file\":\"b.rar\",\"size\":42,\"listed\":\"1234ABCD\",\"found\":\"DEADBEEF\"}\n");
  EXPECT_EQ(lines[1], head + "\"error\"," + where + ",\"error\":\"remove-after-copy\",\"code\":5,\"file\":\"b.rar\"}\n");
  EXPECT_EQ(lines[2], head + "\"complete\"," + where + ",\"files\":1,\"bytes\":100,\"seconds\":null}\n");
  EXPECT_NE(OutcomeLines(result, kUnixEpoch + 65 * kTicksPerSecond, Latin1ToUtf8)[2].find("\"seconds\":60}"),
            std::string::npos);
  EXPECT_EQ(CheckNotStartedLine("C:\\up\\x.rar", 8, kUnixEpoch, Latin1ToUtf8),
            head + "\"error\",\"directory\":\"C:\\\\up\\\\\",\"list\":null,\"error\":\"start-check\",\"code\":8,"
                   "\"path\":\"C:\\\\up\\\\x.rar\"}\n");
}

}  // namespace
}  // namespace sfvcheck
