// The outcome log through the plug-in DLL: with the LogFile setting on, the
// checks of uploads write one JSON line per completed set, per file moved
// aside and per failed step, whole lines only, into at most two generations
// of the file; a log that cannot be written changes nothing else.
//
// Threads: the test thread plays the host; the checks run on the DLL's
// checking thread and write the log from there.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/settings/run_settings.h"
#include "tests/support/dll_host_win32.h"
#include "tests/support/temp_directory_win32.h"
#include "tests/support/thread_win32.h"
#include "tests/support/tree_fingerprint_win32.h"
#include "tools/support/test_data.h"
#include "win32/outcome_log_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using testing::BitwiseCrc32;
using testing::FileExists;
using testing::FingerprintTree;
using testing::PluginHost;
using testing::RandomBytes;
using testing::ReadFileBytes;
using testing::SetSettingText;
using testing::SfvLine;
using testing::TempDirectory;
using testing::WriteFileBytes;

std::string Hex(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

// One line of the log, its fields as written (strings keep their quotes).
// The lines the plug-in writes have no nesting, and the test's names no
// commas or escaped quotes, so splitting at the top level is enough here.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  if (line.size() < 2 || line.front() != '{' || line.back() != '}') return fields;
  std::size_t at = 1;
  while (at < line.size() - 1) {
    const std::size_t colon = line.find("\":", at);
    if (colon == std::string::npos || line[at] != '"') break;
    const std::string name = line.substr(at + 1, colon - at - 1);
    std::size_t end = colon + 2;
    if (line[end] == '"') end = line.find('"', end + 1) + 1;
    end = line.find_first_of(",}", end);
    fields[name] = line.substr(colon + 2, end - colon - 2);
    at = end + 1;
  }
  return fields;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PluginHost::Get().loaded());
    testing::UseDefaultSettings();
    SetSettingText(kLogFileValue, log_);
  }
  void TearDown() override { testing::UseDefaultSettings(); }

  // A fresh directory in the temporary one, ending in '\'.
  std::string Directory(const std::string& name) {
    const std::string path = temp_ / (name + "\\");
    EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
    return path;
  }

  static void CheckNow(const std::string& path) { PluginHost::Get().CheckNow(path, "check"); }

  // The log's lines; every one must be whole: a JSON object ending in LF.
  static std::vector<std::string> LinesOf(const std::string& path) {
    std::vector<std::string> lines;
    if (!FileExists(path)) return lines;
    const std::string text = ReadFileBytes(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is cut off";
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  std::vector<std::string> Lines() const { return LinesOf(log_); }

  // The lines of one kind, as fields; each line must read as a whole one.
  std::vector<std::map<std::string, std::string>> Kind(const std::string& kind) const {
    std::vector<std::map<std::string, std::string>> found;
    for (const std::string& line : Lines()) {
      std::map<std::string, std::string> fields = Fields(line);
      EXPECT_EQ(fields.count("time"), 1u) << line;
      EXPECT_EQ(line.find("\"time\"", 1), line.rfind("\"time\"")) << "two lines in one: " << line;
      if (fields["kind"] == "\"" + kind + "\"") found.push_back(fields);
    }
    return found;
  }

  TempDirectory temp_;
  const std::string log_ = temp_ / "outcomes.log";
};

TEST_F(LogTest, UploadsLogEachFileMovedAsideAndEachCompletionOnce) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(5000, 2), c = RandomBytes(7000, 3);
  const std::string corrupt = RandomBytes(7000, 4);
  const std::string list = SfvLine("a.bin", BitwiseCrc32(a)) + SfvLine("b.bin", BitwiseCrc32(b)) +
                           SfvLine("c.bin", BitwiseCrc32(c));

  // The list first, then the files one by one, c.bin corrupt at first.
  const std::string up = Directory("up");
  WriteFileBytes(up + "set.sfv", list);
  CheckNow(up + "set.sfv");
  WriteFileBytes(up + "a.bin", a);
  CheckNow(up + "a.bin");
  EXPECT_TRUE(Lines().empty()) << "nothing happened worth a line, yet the log holds some";
  WriteFileBytes(up + "c.bin", corrupt);
  CheckNow(up + "c.bin");
  auto bad = Kind("bad");
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0]["file"], "\"c.bin\"");
  EXPECT_EQ(bad[0]["list"], "\"set.sfv\"");
  EXPECT_EQ(bad[0]["size"], "7000");
  EXPECT_EQ(bad[0]["listed"], "\"" + Hex(BitwiseCrc32(c)) + "\"");
  EXPECT_EQ(bad[0]["found"], "\"" + Hex(BitwiseCrc32(corrupt)) + "\"");
  WriteFileBytes(up + "c.bin", c);
  CheckNow(up + "c.bin");
  EXPECT_TRUE(Kind("complete").empty());
  WriteFileBytes(up + "b.bin", b);
  CheckNow(up + "b.bin");
  auto complete = Kind("complete");
  ASSERT_EQ(complete.size(), 1u);
  EXPECT_EQ(complete[0]["files"], "3");
  EXPECT_EQ(complete[0]["bytes"], "15000");
  EXPECT_NE(complete[0]["seconds"], "null");
  // A later upload into the complete set is no new completion.
  WriteFileBytes(up + "set.nfo", "notes");
  CheckNow(up + "set.nfo");
  EXPECT_EQ(Kind("complete").size(), 1u);

  // With the delete flag the complete set leaves nothing on disk to tell a
  // later pass; files first, the list last completes it at once.
  SetSettingText(kDeleteFlagValue, "1");
  const std::string late = Directory("late");
  WriteFileBytes(late + "a.bin", a);
  WriteFileBytes(late + "b.bin", b);
  WriteFileBytes(late + "c.bin", c);
  WriteFileBytes(late + "set.sfv", list);
  CheckNow(late + "set.sfv");
  WriteFileBytes(late + "set.nfo", "notes");
  CheckNow(late + "set.nfo");
  complete = Kind("complete");
  ASSERT_EQ(complete.size(), 2u);
  EXPECT_NE(complete[1]["directory"].find("\\\\late\\\\\""), std::string::npos) << complete[1]["directory"];
  EXPECT_EQ(Kind("bad").size(), 1u);
  EXPECT_TRUE(Kind("error").empty());
}

TEST_F(LogTest, StepsThatFailAreLoggedAsErrors) {
  const std::string good = "good", corrupt = "corrupt";
  // A list held open for writing cannot be read.
  const std::string held = Directory("held");
  WriteFileBytes(held + "set.sfv", SfvLine("a.bin", BitwiseCrc32(good)));
  {
    OwnedFile writer(CreateFileA((held + "set.sfv").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    CheckNow(held + "a.bin");
  }
  // A corrupt file whose BadMarker name is a directory cannot be moved aside.
  const std::string taken = Directory("taken");
  WriteFileBytes(taken + "x.bin", corrupt);
  WriteFileBytes(taken + "set.sfv", SfvLine("x.bin", BitwiseCrc32(good)));
  ASSERT_TRUE(CreateDirectoryA((taken + "x-[BAD].bin").c_str(), nullptr));
  CheckNow(taken + "x.bin");
  // A state file name taken by a directory cannot be written.
  const std::string state = Directory("state");
  WriteFileBytes(state + "a.bin", good);
  WriteFileBytes(state + "set.sfv", SfvLine("a.bin", BitwiseCrc32(good)) + SfvLine("b.bin", 1));
  ASSERT_TRUE(CreateDirectoryA((state + ".qdrl.set.sfv.state").c_str(), nullptr));
  CheckNow(state + "a.bin");

  std::map<std::string, std::map<std::string, std::string>> byError;
  for (auto& fields : Kind("error")) byError[fields["error"]] = fields;
  ASSERT_EQ(byError.size(), 3u) << ::testing::PrintToString(Lines());
  EXPECT_EQ(byError["\"read-list\""]["code"], std::to_string(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(byError["\"read-list\""]["list"], "\"set.sfv\"");
  EXPECT_EQ(byError["\"copy-aside\""]["file"], "\"x.bin\"");
  EXPECT_NE(byError["\"copy-aside\""]["code"], "0");
  EXPECT_EQ(byError["\"write-state\""]["file"], "\".qdrl.set.sfv.state\"");
  EXPECT_NE(byError["\"write-state\""]["code"], "0");
  EXPECT_TRUE(Kind("bad").empty()) << "nothing was moved aside";
  EXPECT_TRUE(FileExists(taken + "x.bin"));
}

TEST_F(LogTest, ChecksRunningAtOnceWriteWholeLines) {
  constexpr int kDirectories = 16;
  constexpr int kFiles = 8;
  std::set<std::string> expected;  // "<directory name>/<file name>[#<repeat>]"
  for (int d = 0; d < kDirectories; ++d) {
    const std::string name = "many" + std::to_string(d);
    const std::string dir = Directory(name);
    std::string list;
    for (int f = 0; f < kFiles; ++f) {
      const std::string file = "file" + std::to_string(f) + ".bin";
      WriteFileBytes(dir + file, RandomBytes(100, d * 100 + f));
      list += SfvLine(file, 0);
      expected.insert(name + "/" + file);
    }
    WriteFileBytes(dir + "set.sfv", list);
  }
  // Meanwhile writers of this process append to the same log, as the rescan
  // tool would: "<directory>other<t>\" and file o<i>.bin.
  constexpr int kWriters = 3;
  constexpr int kWrites = 100;
  std::vector<OwnedObject> writers;
  for (int t = 0; t < kWriters; ++t) {
    const std::string name = "other" + std::to_string(t);
    PassResult result;
    result.prefix = temp_ / (name + "\\");
    result.listName = "set.sfv";
    for (int i = 0; i < 4; ++i) {
      const std::string file = "o" + std::to_string(i) + ".bin";
      result.entries.push_back({result.prefix + file, EntryOutcome::kBad, true, 100, 1, 2});
    }
    for (int w = 0; w < kWrites; ++w) {
      for (int i = 0; i < 4; ++i) expected.insert(name + "/o" + std::to_string(i) + ".bin#" + std::to_string(w));
    }
    const std::function<void(const PassResult&)> log = OutcomeLogHook();
    ASSERT_TRUE(log);
    writers.push_back(testing::StartThread([result, log] {
      for (int w = 0; w < kWrites; ++w) log(result);
    }));
  }
  for (int d = 0; d < kDirectories; ++d) PluginHost::Get().FileArrived(temp_ / ("many" + std::to_string(d) + "\\x"));
  for (OwnedObject& writer : writers) WaitForSingleObject(writer.get(), INFINITE);
  PluginHost::Get().WaitForChecks("checks of many directories");

  std::set<std::string> logged;
  std::map<std::string, int> repeats;  // the writers' lines repeat: count them
  for (auto& fields : Kind("bad")) {
    // "...\\many<d>\\" and "\"<file>\""
    const std::string& dir = fields["directory"];
    const std::size_t start = std::min(dir.rfind("many"), dir.rfind("other"));
    const std::size_t end = dir.find('\\', start);
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << dir;
    const std::string& file = fields["file"];
    std::string key = dir.substr(start, end - start) + "/" + file.substr(1, file.size() - 2);
    if (key.rfind("other", 0) == 0) key += "#" + std::to_string(repeats[key]++);
    logged.insert(key);
  }
  EXPECT_EQ(Lines().size(), expected.size());
  EXPECT_EQ(logged, expected);
}

TEST_F(LogTest, ALogThatCannotBeOpenedChangesNothingElse) {
  // The same set checked twice in the same place, without a log and with one
  // that cannot be opened (a directory's name): one good, one corrupt, one
  // missing file.
  const std::string dir = temp_ / "set\\";
  auto checkSet = [&] {
    testing::RemoveTree(dir);
    EXPECT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    WriteFileBytes(dir + "good.bin", "good");
    WriteFileBytes(dir + "bad.bin", "bad");
    WriteFileBytes(dir + "set.sfv", SfvLine("good.bin", BitwiseCrc32("good")) + SfvLine("bad.bin", 7) +
                                        SfvLine("gone.bin", 8));
    CheckNow(dir + "good.bin");
    return FingerprintTree(dir);
  };
  SetSettingText(kLogFileValue, "");
  const auto without = checkSet();
  SetSettingText(kLogFileValue, temp_.path().substr(0, temp_.path().size() - 1));
  EXPECT_EQ(checkSet(), without);
  EXPECT_FALSE(FileExists(log_));
}

TEST_F(LogTest, RotationAtTheSizeBoundKeepsEveryLine) {
  // A log just short of the bound, and an older generation to be replaced.
  const std::string filler = std::string(kLogRotateBytes - 2, '#') + "\n";
  WriteFileBytes(log_, filler);
  WriteFileBytes(log_ + ".1", "the older generation\n");
  const std::string dir = Directory("rotate");
  std::string list;
  for (int f = 0; f < 4; ++f) {
    const std::string name = "r" + std::to_string(f) + ".bin";
    WriteFileBytes(dir + name, "bytes");
    list += SfvLine(name, 0);
  }
  WriteFileBytes(dir + "set.sfv", list);
  CheckNow(dir + "set.sfv");

  const std::vector<std::string> older = LinesOf(log_ + ".1");
  const std::vector<std::string> newer = Lines();
  ASSERT_FALSE(older.empty());
  EXPECT_EQ(older[0].substr(0, 8), "########") << "the full log became the older generation";
  std::set<std::string> files;
  for (std::size_t i = 1; i < older.size(); ++i) files.insert(Fields(older[i])["file"]);
  for (const std::string& line : newer) files.insert(Fields(line)["file"]);
  EXPECT_EQ(older.size() - 1 + newer.size(), 4u);
  EXPECT_EQ(files, (std::set<std::string>{"\"r0.bin\"", "\"r1.bin\"", "\"r2.bin\"", "\"r3.bin\""}));
  EXPECT_LE(newer.size(), 4u);
  EXPECT_FALSE(newer.empty()) << "the bound was passed, yet no new file was started";
}

// A writer still holding a log that another writer has rotated to ".1"
// moves on to the new file; rotating again would rename the new file over
// ".1" and drop a whole generation.
TEST_F(LogTest, AWriterHoldingARotatedLogMovesOnWithoutRotatingAgain) {
  const std::string full = std::string(kLogRotateBytes, '#') + "\n";
  WriteFileBytes(log_, full);
  // The writers' turn, held as another writer holds it between its lines.
  OwnedFile other(CreateFileA(log_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(other);
  OVERLAPPED turn{};
  turn.OffsetHigh = 0x40000000;
  ASSERT_TRUE(LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &turn));
  PassResult result;
  result.prefix = temp_ / "stale\\";
  result.listName = "set.sfv";
  result.entries.push_back({result.prefix + "x.bin", EntryOutcome::kBad, true, 100, 1, 2});
  const std::function<void(const PassResult&)> log = OutcomeLogHook();
  ASSERT_TRUE(log);
  OwnedObject writer = testing::StartThread([&] { log(result); });
  Sleep(300);  // the writer has opened the full log and waits for its turn
  // Meanwhile the other writer rotates: the full file becomes ".1".
  ASSERT_TRUE(MoveFileExA(log_.c_str(), (log_ + ".1").c_str(), MOVEFILE_REPLACE_EXISTING));
  WriteFileBytes(log_, "{\"time\":\"new\"}\n");
  UnlockFileEx(other.get(), 0, 1, 0, &turn);
  WaitForSingleObject(writer.get(), INFINITE);
  other.reset();
  EXPECT_EQ(testing::ReadFileBytes(log_ + ".1") == full, true) << "the rotated generation was replaced";
  const std::vector<std::string> lines = Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "{\"time\":\"new\"}");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("stale") != std::string::npos; }),
            1)
      << "the writer's line is not in the new file";
}

}  // namespace
}  // namespace sfvcheck
