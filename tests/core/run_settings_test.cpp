#include "core/settings/run_settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace sfvcheck {
namespace {

struct FlagCase {
  const char* text;
  std::int32_t expected;
};

TEST(ParseFlagTextTest, ReadsTheLeadingDecimalNumber) {
  const FlagCase cases[] = {
      {"1", 1},
      {" 7", 7},
      {"-1", -1},
      {"12abc", 12},
      {"+5", 5},
      {"2", 2},
      {"2147483647", 2147483647},
      {"0", 0},
      {"00", 0},
      {"", 0},
      {"abc", 0},
      {"0x1", 0},  // the reading stops at the x
      {"-", 0},    // a sign without digits reads as nothing
      {"+-1", 0},  // only one sign is taken
      {"- 1", 0},  // no blank between sign and digits
  };
  for (const FlagCase& c : cases) EXPECT_EQ(ParseFlagText(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ParseFlagTextTest, SkipsEveryKindOfLeadingWhiteSpace) {
  EXPECT_EQ(ParseFlagText("\t\n\v\f\r 3"), 3);
  EXPECT_EQ(ParseFlagText("\t-2"), -2);
  EXPECT_EQ(ParseFlagText("\x1f" "1"), 0);  // other control characters are not blanks
}

TEST(ParseFlagTextTest, SaturatesAtAllBitsSetBeforeTheSign) {
  EXPECT_EQ(ParseFlagText("4294967295"), -1);
  EXPECT_EQ(ParseFlagText("4294967296"), -1);
  EXPECT_EQ(ParseFlagText("99999999999"), -1);
  EXPECT_EQ(ParseFlagText("99999999999999999999999999999"), -1);
  EXPECT_EQ(ParseFlagText("-99999999999"), 1);
  // Within 32 bits, large numbers wrap into the signed range.
  EXPECT_EQ(ParseFlagText("2147483648"), INT32_MIN);
  EXPECT_EQ(ParseFlagText("4294967294"), -2);
  EXPECT_EQ(ParseFlagText("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseFlagText("-4294967294"), 2);
}

TEST(ParseFlagTextTest, StopsAtAnEmbeddedNul) {
  EXPECT_EQ(ParseFlagText(std::string("1\0" "2", 3)), 1);
}

TEST(FormatFlagTextTest, FormatsLikePercentI) {
  EXPECT_EQ(FormatFlagText(0), "0");
  EXPECT_EQ(FormatFlagText(1), "1");
  EXPECT_EQ(FormatFlagText(-1), "-1");
  EXPECT_EQ(FormatFlagText(INT32_MAX), "2147483647");
  EXPECT_EQ(FormatFlagText(INT32_MIN), "-2147483648");
  for (std::int32_t flag : {0, 1, 2, -7, 100000, INT32_MIN}) EXPECT_EQ(ParseFlagText(FormatFlagText(flag)), flag);
}

TEST(TextFromStoredBytesTest, EndsAtTheFirstNulOrTheLastByte) {
  EXPECT_EQ(TextFromStoredBytes("abc\0def", 8), "abc");
  EXPECT_EQ(TextFromStoredBytes("abc", 3), "abc");  // no NUL: all stored bytes
  EXPECT_EQ(TextFromStoredBytes("abcdef", 2), "ab");
  EXPECT_EQ(TextFromStoredBytes("\0abc", 4), "");
  EXPECT_EQ(TextFromStoredBytes("", 0), "");
  EXPECT_EQ(TextFromStoredBytes(nullptr, 0), "");
  // A DWORD 1 as stored bytes: a text that does not begin with a digit.
  const char dwordOne[4] = {1, 0, 0, 0};
  EXPECT_EQ(ParseFlagText(TextFromStoredBytes(dwordOne, sizeof dwordOne)), 0);
}

TEST(RunSettingsTest, DefaultsAreThoseOfACheck) {
  const RunSettings settings;
  EXPECT_EQ(settings.startTrail, "--==[");
  EXPECT_EQ(settings.endTrail, "]==-- ");
  EXPECT_EQ(settings.deleteFlag, 0);
  EXPECT_EQ(settings.meterFlag, 1);
}

}  // namespace
}  // namespace sfvcheck
