// The directory check on real directories through the Win32 file system.
#include "core/check/directory_check.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/support/std_check_lock.h"
#include "tests/support/temp_directory_win32.h"
#include "tools/support/test_data.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using testing::DirectoryExists;
using testing::FileExists;
using testing::ListDirectory;
using testing::ReadFileBytes;
using testing::WriteFileBytes;
using Names = std::vector<std::string>;

const char kFull[] = "--==[####################]==--  100% complete";
const char kTwoOfThree[] = "--==[#############-------]==--  67% complete";
const char kTwoOfThreePlain[] = "--==[ 67% complete ]==-- ";

std::string Hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

class Win32DirectoryCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.rar", "b.rar", "c.rar"}) content[name] = testing::RandomBytes(70000, name[0]);
  }

  void List(const std::vector<std::string>& names, const std::string& listName = "set.sfv") {
    std::string text = "; list\r\n";
    for (const std::string& name : names) text += name + " " + Hex(testing::BitwiseCrc32(content[name])) + "\r\n";
    WriteFileBytes(dir / listName, text);
  }
  void Put(const std::string& name) { WriteFileBytes(dir / name, content[name]); }
  int Check(const std::string& arrived = "a.rar") { return DirectoryCheck(context, dir / arrived); }
  Names Here() { return ListDirectory(dir.path()); }

  testing::TempDirectory dir;
  Win32FileSystem fs;
  testing::StdCheckLock lock;
  RunSettings settings;
  CheckContext context{fs, lock, [this] { return settings; }};
  std::map<std::string, std::string> content;
};

TEST_F(Win32DirectoryCheckTest, CompleteSet) {
  Put("a.rar");
  Put("b.rar");
  Put("c.rar");
  List({"a.rar", "b.rar", "c.rar"});
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Here(), Sorted({kFull, "a.rar", "b.rar", "c.rar", "set.sfv"}));
  EXPECT_TRUE(DirectoryExists(dir / kFull));

  settings.deleteFlag = 1;
  Check();
  EXPECT_EQ(Here(), Sorted({"a.rar", "b.rar", "c.rar", "set.sfv"}));
}

TEST_F(Win32DirectoryCheckTest, PartialSet) {
  Put("a.rar");
  Put("b.rar");
  List({"a.rar", "b.rar", "c.rar"});
  Check();
  EXPECT_EQ(Here(), Sorted({".qdrl.set.sfv.state", kTwoOfThree, "a.rar", "b.rar", "c-[MISSING].rar",
                            "set.sfv"}));
  EXPECT_EQ(ReadFileBytes(dir / "c-[MISSING].rar"), "");
  EXPECT_EQ(ReadFileBytes(dir / ".qdrl.set.sfv.state"),
            dir.path() + "a.rar\r\n" + dir.path() + "b.rar\r\n");

  settings.meterFlag = 0;
  Check();
  EXPECT_TRUE(DirectoryExists(dir / kTwoOfThreePlain));
  EXPECT_FALSE(DirectoryExists(dir / kTwoOfThree));
  // Already verified: nothing appended again.
  EXPECT_EQ(ReadFileBytes(dir / ".qdrl.set.sfv.state"),
            dir.path() + "a.rar\r\n" + dir.path() + "b.rar\r\n");
}

TEST_F(Win32DirectoryCheckTest, CorruptFileBecomesBadMarkerUntilAGoodOneArrives) {
  Put("a.rar");
  WriteFileBytes(dir / "b.rar", "corrupt bytes");
  List({"a.rar", "b.rar"});
  Check();
  EXPECT_FALSE(FileExists(dir / "b.rar"));
  EXPECT_EQ(ReadFileBytes(dir / "b-[BAD].rar"), "corrupt bytes");
  Check();
  EXPECT_FALSE(FileExists(dir / "b-[MISSING].rar"));

  WriteFileBytes(dir / "b-[MISSING].rar", "");
  Put("b.rar");
  Check("b.rar");
  EXPECT_EQ(Here(), Sorted({kFull, "a.rar", "b.rar", "set.sfv"}));
}

TEST_F(Win32DirectoryCheckTest, FileOpenForWritingCountsAsNotFound) {
  Put("a.rar");
  List({"a.rar"});
  {
    OwnedFile writer(CreateFileA((dir / "a.rar").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    Check();
    EXPECT_TRUE(FileExists(dir / "a-[MISSING].rar"));
    EXPECT_TRUE(DirectoryExists(dir / "--==[--------------------]==--  0% complete"));
  }
  Check();
  EXPECT_EQ(Here(), Sorted({kFull, "a.rar", "set.sfv"}));
}

TEST_F(Win32DirectoryCheckTest, PathWithBothSeparatorsIsCutAtTheLastSlash) {
  Put("a.rar");
  List({"a.rar", "b.rar"});
  std::string base = dir.path().substr(0, dir.path().size() - 1);
  EXPECT_EQ(DirectoryCheck(context, base + "/sub\\a.rar"), 1);
  EXPECT_TRUE(FileExists(dir / "b-[MISSING].rar"));
  EXPECT_EQ(DirectoryCheck(context, "a.rar"), 0);
}

TEST_F(Win32DirectoryCheckTest, MarkersInDottedDirectoryStayBesideTheFile) {
  ASSERT_TRUE(CreateDirectoryA((dir / "My.Set").c_str(), nullptr));
  WriteFileBytes(dir / "My.Set\\bad", "corrupt");
  WriteFileBytes(dir / "set.sfv", "My.Set\\readme 12345678\r\nMy.Set\\bad 12345678\r\n");
  Check();
  EXPECT_EQ(ListDirectory(dir / "My.Set\\"), Sorted({"bad-[BAD]", "readme-[MISSING]"}));
  EXPECT_EQ(ReadFileBytes(dir / "My.Set\\bad-[BAD]"), "corrupt");
}

TEST_F(Win32DirectoryCheckTest, CorruptFileStaysWhenItsCopyFails) {
  WriteFileBytes(dir / "a.rar", "corrupt upload");
  List({"a.rar"});
  // A directory in the way of the BadMarker makes the copy fail.
  ASSERT_TRUE(CreateDirectoryA((dir / "a-[BAD].rar").c_str(), nullptr));
  Check();
  EXPECT_EQ(ReadFileBytes(dir / "a.rar"), "corrupt upload");
  EXPECT_FALSE(FileExists(dir / "a-[MISSING].rar"));
}

TEST_F(Win32DirectoryCheckTest, OnlyRealListsAndMetersAreTaken) {
  // Names that a short-name match could bring in must not count.
  WriteFileBytes(dir / "x.sfvbak", "missing.rar 12345678\r\n");
  ASSERT_TRUE(CreateDirectoryA((dir / "old.--==[").c_str(), nullptr));
  Put("a.rar");
  List({"a.rar"}, "SET.SFV");
  Check();
  EXPECT_EQ(Here(), Sorted({kFull, "SET.SFV", "a.rar", "old.--==[", "x.sfvbak"}));
}

TEST_F(Win32DirectoryCheckTest, ShortNameMatchOfTheStartTrailIsNoMeter) {
  // "Meter folder old" gets a short name such as METE~ABC, which "METE~*" matches.
  settings.startTrail = "METE~";
  ASSERT_TRUE(CreateDirectoryA((dir / "Meter folder old").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((dir / "mete~ old").c_str(), nullptr));
  WriteFileBytes(dir / "set.sfv", "");
  Check();
  EXPECT_EQ(Here(), Sorted({"METE~--------------------]==--  0% complete", "Meter folder old", "set.sfv"}));
}

TEST_F(Win32DirectoryCheckTest, OldMetersGoButNonEmptyOnesAndFilesStay) {
  settings.startTrail = "meter";
  ASSERT_TRUE(CreateDirectoryA((dir / "METER old").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((dir / "meter busy").c_str(), nullptr));
  WriteFileBytes(dir / "meter busy\\x", "x");
  WriteFileBytes(dir / "meter file", "x");
  WriteFileBytes(dir / "set.sfv", "");
  Check();
  EXPECT_EQ(Here(), Sorted({"meter busy", "meter file", "meter--------------------]==--  0% complete", "set.sfv"}));
}

}  // namespace
}  // namespace sfvcheck
