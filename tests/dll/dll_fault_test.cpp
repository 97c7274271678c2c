// Faults in the file system around a check, through the plug-in DLL: names
// taken by directories or read-only files, locked files, a list or a whole
// directory that vanishes while its check waits for the lock. In each the
// check must not crash or lose an upload, and the first pass after the fault
// is gone must put the markers and the meter right.
//
// Threads: the test thread drives the DLL and makes the faults; the checks
// run on the DLL's own threads.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/dll_host_win32.h"
#include "tests/support/temp_directory_win32.h"
#include "tools/support/process_threads_win32.h"
#include "tools/support/test_data.h"

namespace sfvcheck {
namespace {

using testing::BitwiseCrc32;
using testing::DefaultMeterName;
using testing::DirectoryExists;
using testing::FileExists;
using testing::ListDirectory;
using testing::PluginHost;
using testing::ReadFileBytes;
using testing::RemoveTree;
using testing::SfvLine;
using testing::TempDirectory;
using testing::WriteFileBytes;

constexpr char kGood[] = "good upload";
constexpr char kGood2[] = "another good upload";
constexpr char kBad[] = "an upload whose checksum does not match";
constexpr char kGone[] = "the upload that has not arrived yet";

void SetReadOnly(const std::string& path, bool readOnly) {
  SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

// One set: good.rar and good2.rar match, bad.rar does not, gone.rar is not
// there. A clean pass gives 2 of 4 good (50 %).
class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PluginHost::Get().loaded());
    testing::UseDefaultSettings();
    set_ = temp_ / "set\\";
    ASSERT_TRUE(CreateDirectoryA(set_.c_str(), nullptr));
    WriteSet();
  }

  void WriteSet() {
    WriteFileBytes(Path("good.rar"), kGood);
    WriteFileBytes(Path("good2.rar"), kGood2);
    WriteFileBytes(Path("bad.rar"), kBad);
    WriteFileBytes(Path("set.sfv"), SfvLine("good.rar", BitwiseCrc32(kGood)) +
                                        SfvLine("good2.rar", BitwiseCrc32(kGood2)) +
                                        SfvLine("bad.rar", BitwiseCrc32(kBad) ^ 1) +
                                        SfvLine("gone.rar", BitwiseCrc32(kGone)));
  }

  std::string Path(const std::string& name) const { return set_ + name; }
  std::string StatePath() const { return Path(".qdrl.set.sfv.state"); }
  std::string StateLine(const std::string& name) const { return Path(name) + "\r\n"; }

  void CheckNow(const std::string& what) { PluginHost::Get().CheckNow(Path("good.rar"), what); }

  std::vector<std::string> MeterFolders() const {
    std::vector<std::string> meters;
    for (const std::string& name : ListDirectory(set_)) {
      if (name.rfind("--==[", 0) == 0) meters.push_back(name);
    }
    return meters;
  }

  // No upload lost: each is under its name or moved aside whole.
  void ExpectNothingLost() const {
    EXPECT_EQ(ReadFileBytes(Path("good.rar")), kGood);
    EXPECT_EQ(ReadFileBytes(Path("good2.rar")), kGood2);
    bool badKept = FileExists(Path("bad.rar")) && ReadFileBytes(Path("bad.rar")) == kBad;
    bool badMoved = FileExists(Path("bad-[BAD].rar")) && ReadFileBytes(Path("bad-[BAD].rar")) == kBad;
    EXPECT_TRUE(badKept || badMoved) << "bad.rar was lost";
  }

  // The state of a set after a pass with no fault in the way.
  void ExpectRepaired(int percent) const {
    ExpectNothingLost();
    EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(percent)});
    EXPECT_TRUE(DirectoryExists(Path(DefaultMeterName(percent))));
    EXPECT_FALSE(FileExists(Path("bad.rar")));
    EXPECT_EQ(ReadFileBytes(Path("bad-[BAD].rar")), kBad);
    EXPECT_FALSE(FileExists(Path("bad-[MISSING].rar")));
    EXPECT_FALSE(FileExists(Path("good-[MISSING].rar")));
    EXPECT_FALSE(FileExists(Path("good-[BAD].rar")));
    EXPECT_FALSE(FileExists(Path("good2-[MISSING].rar")));
    if (percent < 100) {
      EXPECT_TRUE(FileExists(Path("gone-[MISSING].rar")));
      EXPECT_EQ(testing::ReadFileBytes(Path("gone-[MISSING].rar")), "");
    }
  }

  TempDirectory temp_;
  std::string set_;
};

TEST_F(FaultTest, MarkerNamesTakenByDirectories) {
  ASSERT_TRUE(CreateDirectoryA(Path("bad-[BAD].rar").c_str(), nullptr));
  WriteFileBytes(Path("bad-[BAD].rar\\inside.txt"), "not empty");
  ASSERT_TRUE(CreateDirectoryA(Path("gone-[MISSING].rar").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(Path("good-[MISSING].rar").c_str(), nullptr));
  CheckNow("marker names taken by directories");
  ExpectNothingLost();
  // The copy aside cannot succeed, so the file stays where it is.
  EXPECT_EQ(ReadFileBytes(Path("bad.rar")), kBad);
  EXPECT_EQ(ReadFileBytes(Path("bad-[BAD].rar\\inside.txt")), "not empty");
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(50)});

  RemoveTree(Path("bad-[BAD].rar\\"));
  RemoveDirectoryA(Path("gone-[MISSING].rar").c_str());
  RemoveDirectoryA(Path("good-[MISSING].rar").c_str());
  CheckNow("the pass after the directories are gone");
  ExpectRepaired(50);
}

TEST_F(FaultTest, MarkersThatAreReadOnlyFiles) {
  WriteFileBytes(Path("bad-[BAD].rar"), "an older bad copy");
  SetReadOnly(Path("bad-[BAD].rar"), true);
  WriteFileBytes(Path("good-[MISSING].rar"), "");
  SetReadOnly(Path("good-[MISSING].rar"), true);
  WriteFileBytes(Path("gone-[MISSING].rar"), "");
  SetReadOnly(Path("gone-[MISSING].rar"), true);
  CheckNow("read-only markers");
  ExpectNothingLost();
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(50)});

  for (const char* name : {"bad-[BAD].rar", "good-[MISSING].rar", "gone-[MISSING].rar"}) {
    SetReadOnly(Path(name), false);
  }
  CheckNow("the pass after the markers are writable");
  ExpectRepaired(50);
}

TEST_F(FaultTest, AReadOnlyStateFile) {
  WriteFileBytes(StatePath(), StateLine("good.rar"));
  SetReadOnly(StatePath(), true);
  CheckNow("a read-only state file");
  ExpectNothingLost();
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(50)});

  SetReadOnly(StatePath(), false);
  CheckNow("the pass after the state file is writable");
  ExpectRepaired(50);
  // good.rar was there already; good2.rar, verified again, is added now.
  std::string state = ReadFileBytes(StatePath());
  EXPECT_EQ(state.find(StateLine("good.rar")), 0u) << state;
  EXPECT_NE(state.find(StateLine("good2.rar")), std::string::npos) << state;

  // Complete the set while the state file is read-only again: it cannot be
  // deleted at 100 %, and the pass after that deletes it.
  DeleteFileA(Path("set.sfv").c_str());
  WriteFileBytes(Path("set.sfv"), SfvLine("good.rar", BitwiseCrc32(kGood)) + SfvLine("good2.rar", BitwiseCrc32(kGood2)));
  SetReadOnly(StatePath(), true);
  CheckNow("a complete set with a read-only state file");
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(100)});
  SetReadOnly(StatePath(), false);
  CheckNow("a complete set after the state file is writable");
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(100)});
  EXPECT_FALSE(FileExists(StatePath()));
}

TEST_F(FaultTest, AStateFileThatIsADirectory) {
  ASSERT_TRUE(CreateDirectoryA(StatePath().c_str(), nullptr));
  WriteFileBytes(StatePath() + "\\inside.txt", "not empty");
  CheckNow("a state file that is a directory");
  ExpectNothingLost();
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(50)});
  EXPECT_EQ(ReadFileBytes(StatePath() + "\\inside.txt"), "not empty");

  RemoveTree(StatePath() + "\\");
  CheckNow("the pass after the directory is gone");
  ExpectRepaired(50);
  std::string state = ReadFileBytes(StatePath());
  EXPECT_NE(state.find(StateLine("good.rar")), std::string::npos) << state;
  EXPECT_NE(state.find(StateLine("good2.rar")), std::string::npos) << state;
}

TEST_F(FaultTest, ListedFilesOpenedExclusivelyElsewhere) {
  {
    HANDLE good = CreateFileA(Path("good.rar").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE bad = CreateFileA(Path("bad.rar").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(good, INVALID_HANDLE_VALUE);
    ASSERT_NE(bad, INVALID_HANDLE_VALUE);
    CheckNow("listed files opened with no sharing");
    CloseHandle(good);
    CloseHandle(bad);
  }
  ExpectNothingLost();
  EXPECT_EQ(ReadFileBytes(Path("bad.rar")), kBad);
  // Neither could be opened, so both count as not there.
  EXPECT_TRUE(FileExists(Path("good-[MISSING].rar")));
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(25)});

  CheckNow("the pass after the handles are closed");
  ExpectRepaired(50);
}

TEST_F(FaultTest, AListedFileUnderAByteRangeLock) {
  HANDLE good = CreateFileA(Path("good.rar").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  ASSERT_NE(good, INVALID_HANDLE_VALUE);
  OVERLAPPED whole = {};
  ASSERT_TRUE(LockFileEx(good, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole));
  CheckNow("a listed file under an exclusive byte-range lock");
  // Whether the locked reads fail or not, nothing is lost and good.rar is
  // counted either as good or as not there.
  ExpectNothingLost();
  std::vector<std::string> meters = MeterFolders();
  EXPECT_TRUE(meters == std::vector<std::string>{DefaultMeterName(50)} ||
              meters == std::vector<std::string>{DefaultMeterName(25)});
  UnlockFileEx(good, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(good);

  CheckNow("the pass after the lock is released");
  ExpectRepaired(50);
}

TEST_F(FaultTest, ABadFileHeldOpenByAReader) {
  // Reading goes on, but the file cannot be deleted: the copy aside is made
  // and the original stays until the next pass.
  HANDLE bad = CreateFileA(Path("bad.rar").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  ASSERT_NE(bad, INVALID_HANDLE_VALUE);
  CheckNow("a bad file held open by a reader");
  CloseHandle(bad);
  ExpectNothingLost();
  EXPECT_EQ(MeterFolders(), std::vector<std::string>{DefaultMeterName(50)});

  CheckNow("the pass after the reader is gone");
  ExpectRepaired(50);
}

TEST_F(FaultTest, AMissingFileThatTurnsUpBad) {
  // First absent (a MissingMarker), then present with the wrong contents:
  // moved aside, and the MissingMarker no longer claims it is missing.
  DeleteFileA(Path("bad.rar").c_str());
  CheckNow("bad.rar not there yet");
  EXPECT_TRUE(FileExists(Path("bad-[MISSING].rar")));
  WriteFileBytes(Path("bad.rar"), kBad);
  CheckNow("bad.rar arrived");
  ExpectRepaired(50);
}

// A check of a directory with one big file listed under many spellings (each
// hashed anew), so its pass holds the process-wide lock for seconds. The
// first listed name is absent: its marker shows that the pass has begun.
class LockHolder {
 public:
  explicit LockHolder(double seconds) {
    const std::string big = testing::RandomBytes(32 << 20, 11);
    WriteFileBytes(Path("big.bin"), big);
    crc_ = BitwiseCrc32(big);
    // Appends fail, so no spelling is taken as verified from the state file.
    CreateDirectoryA(Path(".qdrl.hold.sfv.state").c_str(), nullptr);

    constexpr int kTimedLines = 16;
    WriteList(kTimedLines);
    auto start = std::chrono::steady_clock::now();
    PluginHost::Get().CheckNow(Path("big.bin"), "timing the lock holder");
    double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kTimedLines;
    int lines = static_cast<int>(std::clamp(seconds / std::max(each, 0.0005), 16.0, 2500.0));
    WriteList(lines);
    Clean();
  }

  // Starts the check and returns once its pass holds the lock.
  bool Start() {
    PluginHost::Get().FileArrived(Path("big.bin"));
    for (int i = 0; i < 6000; ++i) {
      if (FileExists(Path("aaa-first-[MISSING].bin"))) return true;
      Sleep(10);
    }
    return false;
  }

  // The pass ends by making its meter folder.
  bool Holding() const {
    for (const std::string& name : ListDirectory(directory_.path())) {
      if (name.rfind("--==[", 0) == 0) return false;
    }
    return true;
  }

 private:
  std::string Path(const std::string& name) const { return directory_ / name; }

  // "big.bin", "Big.bin", ..., then ".\big.bin", ".\Big.bin", ...: one file,
  // as many distinct entries as needed.
  void WriteList(int lines) {
    std::string list = SfvLine("aaa-first.bin", 0);
    const std::string name = "big.bin";
    for (int i = 0; i < lines; ++i) {
      std::string spelling = name;
      for (int bit = 0, letter = 0; letter < static_cast<int>(spelling.size()); ++letter) {
        if (!std::isalpha(static_cast<unsigned char>(spelling[letter]))) continue;
        if ((i % 64) >> bit++ & 1) spelling[letter] = static_cast<char>(std::toupper(spelling[letter]));
      }
      std::string dots;
      for (int d = 0; d < i / 64; ++d) dots += ".\\";
      list += SfvLine(dots + spelling, crc_);
    }
    WriteFileBytes(Path("hold.sfv"), list);
  }

  void Clean() {
    for (const std::string& name : ListDirectory(directory_.path())) {
      if (name.rfind("--==[", 0) == 0) RemoveDirectoryA(Path(name).c_str());
      if (name.find("-[MISSING]") != std::string::npos) DeleteFileA(Path(name).c_str());
    }
  }

  TempDirectory directory_;
  std::uint32_t crc_ = 0;
};

TEST_F(FaultTest, AListDeletedWhileItsCheckWaitsForTheLock) {
  LockHolder holder(4.0);
  ASSERT_TRUE(holder.Start()) << "the lock holder's pass did not begin";
  PluginHost::Get().FileArrived(Path("good.rar"));
  Sleep(500);  // the set's check lists set.sfv, then waits for the lock
  ASSERT_TRUE(DeleteFileA(Path("set.sfv").c_str()));
  EXPECT_TRUE(holder.Holding()) << "the lock holder finished too soon to test the race";
  PluginHost::Get().WaitForChecks("a list deleted while its check waits");

  ExpectNothingLost();
  EXPECT_EQ(ReadFileBytes(Path("bad.rar")), kBad);
  // The list could not be read: nothing at all was done for it.
  EXPECT_TRUE(MeterFolders().empty());
  EXPECT_FALSE(FileExists(Path("gone-[MISSING].rar")));

  WriteSet();
  CheckNow("the pass after the list is back");
  ExpectRepaired(50);
}

TEST_F(FaultTest, TheUploadDirectoryRemovedWhileItsCheckWaitsForTheLock) {
  LockHolder holder(4.0);
  ASSERT_TRUE(holder.Start()) << "the lock holder's pass did not begin";
  PluginHost::Get().FileArrived(Path("good.rar"));
  Sleep(500);
  RemoveTree(set_);
  ASSERT_FALSE(DirectoryExists(set_));
  EXPECT_TRUE(holder.Holding()) << "the lock holder finished too soon to test the race";
  PluginHost::Get().WaitForChecks("a directory removed while its check waits");
  // Nothing was made where the directory was.
  EXPECT_FALSE(DirectoryExists(set_));
  EXPECT_FALSE(FileExists(set_.substr(0, set_.size() - 1)));

  ASSERT_TRUE(CreateDirectoryA(set_.c_str(), nullptr));
  WriteSet();
  CheckNow("the pass after the directory is back");
  ExpectRepaired(50);
}

// While a pass of another process holds the lock, a burst of file events
// over several upload directories starts one checking thread, not one per
// event or per directory; once the lock is free every set is complete.
TEST_F(FaultTest, ABurstWhileAPassHoldsTheLockStartsOneThread) {
  constexpr int kDirectories = 3;
  constexpr int kEvents = 40;
  LockHolder holder(4.0);
  ASSERT_TRUE(holder.Start()) << "the lock holder's pass did not begin";
  std::vector<std::string> directories;
  for (int d = 0; d < kDirectories; ++d) {
    directories.push_back(temp_ / ("burst" + std::to_string(d) + "\\"));
    ASSERT_TRUE(CreateDirectoryA(directories.back().c_str(), nullptr));
    WriteFileBytes(directories.back() + "good.rar", kGood);
    WriteFileBytes(directories.back() + "burst.sfv", SfvLine("good.rar", BitwiseCrc32(kGood)));
  }
  const int before = testing::ThreadsOfThisProcess();
  for (int i = 0; i < kEvents; ++i) {
    for (const std::string& directory : directories) PluginHost::Get().FileArrived(directory + "good.rar");
  }
  const int during = testing::ThreadsOfThisProcess();
  EXPECT_TRUE(holder.Holding()) << "the lock holder finished too soon to count the threads";
  PluginHost::Get().WaitForChecks("a burst over several directories");
  EXPECT_LE(during - before, 1);
  for (const std::string& directory : directories) {
    EXPECT_TRUE(DirectoryExists(directory + DefaultMeterName(100))) << directory;
    EXPECT_FALSE(FileExists(directory + "good-[MISSING].rar")) << directory;
  }
}

}  // namespace
}  // namespace sfvcheck
