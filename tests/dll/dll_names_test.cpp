// Names as the file system stores them, through the plug-in DLL: listed
// names that end in blanks or a dot, a list that begins with a byte-order
// mark, start trails whose case changed between passes, and marker names
// already taken by files that hold data.
//
// Threads: the test thread drives the DLL; the checks run on the DLL's own
// threads and each test waits for them before it looks at the directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/support/dll_host_win32.h"
#include "tests/support/temp_directory_win32.h"

namespace sfvcheck {
namespace {

using testing::BitwiseCrc32;
using testing::DefaultMeterName;
using testing::ListDirectory;
using testing::PluginHost;
using testing::ReadFileBytes;
using testing::SfvLine;
using testing::TempDirectory;
using testing::WriteFileBytes;

using NameSet = std::set<std::string>;

class NamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PluginHost::Get().loaded());
    testing::UseDefaultSettings();
  }
  void TearDown() override { testing::UseDefaultSettings(); }

  std::string Path(const std::string& name) const { return directory_ / name; }
  NameSet Names() const {
    std::vector<std::string> names = ListDirectory(directory_.path());
    return {names.begin(), names.end()};
  }
  void CheckNow(const std::string& what) { PluginHost::Get().CheckNow(Path("set.sfv"), what); }

  TempDirectory directory_;
};

std::string Contents(const std::string& name) { return "the contents of " + name; }

// Windows drops a name's trailing blanks and dots when it stores the file, so
// the markers of "a1.rar " are stored as "a1-[MISSING].rar" and
// "a1-[BAD].rar": each pass must still find them to delete them.
TEST_F(NamesTest, MarkersOfNamesEndingInBlanksOrDotsGoOnceTheFileIsGood) {
  struct Entry {
    const char* listed;
    const char* stored;
    const char* missingMarker;
    const char* badMarker;
  };
  // a*: absent, then good. b*: bad, then good.
  const Entry entries[] = {
      {"a1.rar ", "a1.rar", "a1-[MISSING].rar", "a1-[BAD].rar"},
      {"a2.rar  ", "a2.rar", "a2-[MISSING].rar", "a2-[BAD].rar"},
      {"a3.dat.", "a3.dat", "a3.dat-[MISSING]", "a3.dat-[BAD]"},
      {"b1.rar ", "b1.rar", "b1-[MISSING].rar", "b1-[BAD].rar"},
      {"b2.rar  ", "b2.rar", "b2-[MISSING].rar", "b2-[BAD].rar"},
      {"b3.dat.", "b3.dat", "b3.dat-[MISSING]", "b3.dat-[BAD]"},
  };
  std::string list;
  for (const Entry& entry : entries) list += SfvLine(entry.listed, BitwiseCrc32(Contents(entry.stored)));
  WriteFileBytes(Path("set.sfv"), list);
  NameSet expected = {"set.sfv", ".qdrl.set.sfv.state", DefaultMeterName(0)};
  for (const Entry& entry : entries) {
    if (entry.listed[0] == 'b') {
      WriteFileBytes(Path(entry.listed), "wrong " + Contents(entry.stored));
      expected.insert(entry.badMarker);
    } else {
      expected.insert(entry.missingMarker);
    }
  }
  expected.erase(".qdrl.set.sfv.state");  // nothing good yet

  CheckNow("absent and bad files");
  EXPECT_EQ(Names(), expected);
  // A bad file moved aside is not missing: no MissingMarker beside its BadMarker.
  CheckNow("the same files again");
  EXPECT_EQ(Names(), expected);

  for (const Entry& entry : entries) WriteFileBytes(Path(entry.listed), Contents(entry.stored));
  CheckNow("every file good");
  NameSet complete = {"set.sfv", DefaultMeterName(100)};
  for (const Entry& entry : entries) complete.insert(entry.stored);
  EXPECT_EQ(Names(), complete);
}

// Editors that save "as UTF-8" put EF BB BF before the first line.
TEST_F(NamesTest, AByteOrderMarkOpensTheListOnly) {
  WriteFileBytes(Path("a.rar"), Contents("a.rar"));
  WriteFileBytes(Path("\xEF\xBB\xBF" "b.rar"), Contents("b.rar"));
  WriteFileBytes(Path("set.sfv"), "\xEF\xBB\xBF" + SfvLine("a.rar", BitwiseCrc32(Contents("a.rar"))) +
                                      "\xEF\xBB\xBF" + SfvLine("b.rar", BitwiseCrc32(Contents("b.rar"))));
  CheckNow("a list that begins with a byte-order mark");
  // Only the mark before the first line is skipped: the second names a file
  // whose name begins with those bytes.
  EXPECT_EQ(Names(), (NameSet{"set.sfv", "a.rar", "\xEF\xBB\xBF" "b.rar", DefaultMeterName(100)}));
}

// A file of the MissingMarker's name that holds data is emptied: a marker
// says nothing but its name.
TEST_F(NamesTest, AMissingMarkerReplacesAFileOfItsName) {
  WriteFileBytes(Path("set.sfv"), SfvLine("gone.rar", 0x12345678));
  WriteFileBytes(Path("gone-[MISSING].rar"), "data that is not a marker's");
  CheckNow("a marker's name taken by a file with data");
  EXPECT_EQ(Names(), (NameSet{"set.sfv", "gone-[MISSING].rar", DefaultMeterName(0)}));
  EXPECT_EQ(ReadFileBytes(Path("gone-[MISSING].rar")), "");
}

// The start trail of the meter folder's name compares without regard to
// case, as the system compares names: the old meter folder goes when its
// trail is spelled in another case.
TEST_F(NamesTest, OldMeterFoldersAreFoundWhateverTheCaseOfTheStartTrail) {
  struct Trails {
    std::string before;
    std::string after;
  };
  std::vector<Trails> cases = {{"[ZIP]", "[zip]"}, {"[azAZ]", "[AZaz]"}};
  // Letters beyond ASCII, where the ANSI code page has them as a case pair
  // (code page 1252: A and O with diaeresis).
  char upper[] = "[\xE4\xF6]";
  CharUpperBuffA(upper, 4);
  if (std::string(upper) != "[\xE4\xF6]") cases.push_back({upper, "[\xE4\xF6]"});
  if (cases.size() < 3) std::printf("note: ANSI code page %u has no such pair; ASCII only\n", GetACP());

  for (const Trails& trails : cases) {
    SCOPED_TRACE(trails.before + " then " + trails.after);
    TempDirectory set;
    const std::string listPath = set / "set.sfv";
    WriteFileBytes(set / "x.rar", Contents("x.rar"));
    WriteFileBytes(listPath, SfvLine("x.rar", BitwiseCrc32(Contents("x.rar"))) +
                                 SfvLine("y.rar", BitwiseCrc32(Contents("y.rar"))));
    testing::UseStartTrail(trails.before);
    PluginHost::Get().CheckNow(listPath, "half the set");
    const std::string half = trails.before + DefaultMeterName(50).substr(5);
    EXPECT_EQ(ReadFileBytes(set / "y-[MISSING].rar"), "");
    std::vector<std::string> names = ListDirectory(set.path());
    EXPECT_EQ(NameSet(names.begin(), names.end()), (NameSet{"set.sfv", "x.rar", "y-[MISSING].rar",
                                                            ".qdrl.set.sfv.state", half}));

    testing::UseStartTrail(trails.after);
    WriteFileBytes(set / "y.rar", Contents("y.rar"));
    PluginHost::Get().CheckNow(listPath, "the whole set");
    const std::string full = trails.after + DefaultMeterName(100).substr(5);
    names = ListDirectory(set.path());
    EXPECT_EQ(NameSet(names.begin(), names.end()), (NameSet{"set.sfv", "x.rar", "y.rar", full}));
  }
}

}  // namespace
}  // namespace sfvcheck
