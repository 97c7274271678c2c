#include "core/check/directory_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/check/file_crc.h"
#include "tools/support/memory_file_system.h"
#include "tests/support/std_check_lock.h"
#include "tools/support/test_data.h"

// Every allocation of this program goes through these replacements, so a
// test can make the hash buffer's allocation fail and see the most memory a
// pass holds at once.
namespace allocations {

std::atomic<bool> failHashBuffer{false};
std::atomic<std::size_t> current{0};
std::atomic<std::size_t> peak{0};
// The block's size is kept before it; 16 bytes keep malloc's alignment.
constexpr std::size_t kHeader = 16;

void* Allocate(std::size_t size) noexcept {
  if (failHashBuffer.load() && size == sfvcheck::FileCrc32::kBufferBytes) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<std::size_t*>(block) = size;
  std::size_t now = current += size;
  std::size_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  return block + kHeader;
}

void* AllocateOrThrow(std::size_t size) {
  void* memory = Allocate(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void Free(void* memory) noexcept {
  if (memory == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(memory) - kHeader;
  current -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace allocations

void* operator new(std::size_t size) { return allocations::AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocations::AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocations::Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocations::Allocate(size); }
void operator delete(void* memory) noexcept { allocations::Free(memory); }
void operator delete[](void* memory) noexcept { allocations::Free(memory); }
void operator delete(void* memory, std::size_t) noexcept { allocations::Free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { allocations::Free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { allocations::Free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { allocations::Free(memory); }

namespace sfvcheck {
namespace {

using testing::FsOp;
using testing::MemoryFileSystem;
using testing::StdCheckLock;

const std::string kDir = "C:\\up\\";
const char kFull[] = "--==[####################]==--  100% complete";
const char kTwoOfThree[] = "--==[#############-------]==--  67% complete";
const char kOneOfThree[] = "--==[######--------------]==--  33% complete";
const char kNothing[] = "--==[--------------------]==--  0% complete";

class DirectoryCheckTest : public ::testing::Test {
 protected:
  // Files a, b and c with distinct contents, listed in set.sfv.
  void SetUp() override {
    fs.AddDirectory("C:\\up");
    for (const char* name : {"a.rar", "b.rar", "c.rar"}) content[name] = testing::RandomBytes(3000, name[0]);
  }

  void List(const std::string& listName, const std::vector<std::string>& names) {
    std::string text = "; made by a test\r\n";
    for (const std::string& name : names) text += testing::SfvLine(name, testing::BitwiseCrc32(content[name]));
    fs.AddFile(kDir + listName, text);
  }
  void Put(const std::string& name) { fs.AddFile(kDir + name, content[name]); }
  void PutCorrupt(const std::string& name) { fs.AddFile(kDir + name, content[name] + "x"); }

  int Check(const std::string& arrived = "a.rar") { return DirectoryCheck(context, kDir + arrived); }

  std::set<std::string> Names() {
    std::vector<std::string> names = fs.Names(kDir);
    return {names.begin(), names.end()};
  }
  bool Has(const std::string& name) { return fs.Exists(kDir + name); }
  std::string Bytes(const std::string& name) { return fs.FileBytes(kDir + name).value_or("<none>"); }

  MemoryFileSystem fs;
  StdCheckLock lock;
  RunSettings settings;
  int settingsReads = 0;
  CheckContext context{fs, lock, [this] {
                         ++settingsReads;
                         EXPECT_TRUE(lock.held());
                         return settings;
                       }};
  std::map<std::string, std::string> content;
};

using NameSet = std::set<std::string>;

TEST_F(DirectoryCheckTest, CompleteSetShowsFullMeterAndDropsStateFile) {
  Put("a.rar");
  Put("b.rar");
  Put("c.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Names(), (NameSet{kFull, "a.rar", "b.rar", "c.rar", "set.sfv"}));
  EXPECT_EQ(settingsReads, 1);
  EXPECT_EQ(lock.acquisitions(), 1u);
  EXPECT_FALSE(lock.held());
}

TEST_F(DirectoryCheckTest, PartialSetMarksMissingFilesAndRemembersGoodOnes) {
  Put("a.rar");
  Put("c.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  Check();
  EXPECT_EQ(Names(), (NameSet{".qdrl.set.sfv.state", kTwoOfThree, "a.rar", "b-[MISSING].rar", "c.rar",
                            "set.sfv"}));
  EXPECT_EQ(Bytes("b-[MISSING].rar"), "");
  EXPECT_EQ(Bytes(".qdrl.set.sfv.state"), "C:\\up\\a.rar\r\nC:\\up\\c.rar\r\n");

  settings.meterFlag = 0;
  Check();
  EXPECT_TRUE(Has("--==[ 67% complete ]==-- "));
  EXPECT_FALSE(Has(kTwoOfThree));
}

TEST_F(DirectoryCheckTest, StateFileSparesVerifiedFilesFromHashing) {
  Put("a.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  Check();
  fs.ResetCalls();
  Put("b.rar");
  Check("b.rar");
  EXPECT_EQ(fs.Calls(FsOp::kRead, kDir + "a.rar"), 0u);
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + "a.rar"), 1u);  // presence only
  EXPECT_GT(fs.Calls(FsOp::kRead, kDir + "b.rar"), 0u);
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + ".qdrl.set.sfv.state"), 1u);  // once per pass
  EXPECT_EQ(Bytes(".qdrl.set.sfv.state"), "C:\\up\\a.rar\r\nC:\\up\\b.rar\r\n");
  EXPECT_FALSE(Has("b-[MISSING].rar"));
  EXPECT_TRUE(Has(kTwoOfThree));
}

TEST_F(DirectoryCheckTest, StateFileLinesMatchByteForByte) {
  Put("a.rar");
  Put("b.rar");
  Put("c.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  // LF and lone CR end lines too; a last line needs no terminator; case counts.
  fs.AddFile(kDir + ".qdrl.set.sfv.state", "C:\\up\\a.rar\nc:\\up\\b.rar\rC:\\up\\c.rar");
  Check();
  EXPECT_EQ(fs.Calls(FsOp::kRead, kDir + "a.rar"), 0u);
  EXPECT_GT(fs.Calls(FsOp::kRead, kDir + "b.rar"), 0u);
  EXPECT_EQ(fs.Calls(FsOp::kRead, kDir + "c.rar"), 0u);
  EXPECT_FALSE(Has(".qdrl.set.sfv.state"));
}

TEST_F(DirectoryCheckTest, StateFileReadErrorKeepsOnlyCompleteLines) {
  Put("a.rar");
  Put("b.rar");
  List("set.sfv", {"a.rar", "b.rar", "b", "c.rar"});
  const std::string state = "C:\\up\\a.rar\r\nC:\\up\\b.rar\r\n";
  fs.AddFile(kDir + ".qdrl.set.sfv.state", state);
  // Fails after "...a.rar\r\nC:\up\b": the cut-off line must not verify entry "b".
  fs.FailReadAfter(kDir + ".qdrl.set.sfv.state", state.size() - 6);
  fs.AddFile(kDir + "b", "not listed right");
  Check();
  EXPECT_EQ(fs.Calls(FsOp::kRead, kDir + "a.rar"), 0u);
  EXPECT_GT(fs.Calls(FsOp::kRead, kDir + "b.rar"), 0u);
  EXPECT_TRUE(fs.FileBytes(kDir + "b-[BAD]").has_value());
}

// Anyone can upload a file under the state file's name: the pass keeps only
// the lines that are listed paths, and none longer than the longest of them.
TEST_F(DirectoryCheckTest, StateFileMemoryStaysBoundedByTheList) {
  Put("a.rar");
  PutCorrupt("b.rar");
  List("set.sfv", {"a.rar", "b.rar"});
  std::string state;
  for (int i = 0; state.size() < (8u << 20); ++i) state += "C:\\up\\" + std::to_string(i) + ".rar\r\n";
  state += "C:\\up\\a.rar\r\n";
  // An enormous line that begins with b.rar's path does not list b.rar.
  state += "C:\\up\\b.rar" + std::string(8u << 20, 'x');
  fs.AddFile(kDir + ".qdrl.set.sfv.state", state);

  const std::size_t before = allocations::current.load();
  allocations::peak = before;
  Check();
  // The in-memory file system copies the file when it is opened; the pass
  // itself may hold little more than its list and its two hash buffers.
  EXPECT_LT(allocations::peak.load() - before, state.size() + FileCrc32::kBufferBytes + (1u << 20));
  EXPECT_EQ(fs.Calls(FsOp::kRead, kDir + "a.rar"), 0u);
  EXPECT_EQ(Bytes("b-[BAD].rar"), content["b.rar"] + "x");
  EXPECT_TRUE(Has("--==[##########----------]==--  50% complete"));
}

// Without a hash buffer every present file would read as missing.
TEST_F(DirectoryCheckTest, AFailedHashBufferAllocationChangesNothing) {
  Put("a.rar");
  PutCorrupt("b.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  fs.AddFile(kDir + "a-[MISSING].rar", "");
  fs.AddDirectory(kDir + kNothing);
  const NameSet before = Names();
  fs.ResetCalls();
  allocations::failHashBuffer = true;
  Check();
  allocations::failHashBuffer = false;
  EXPECT_EQ(Names(), before);
  for (FsOp op : {FsOp::kAppendBytes, FsOp::kCreateEmptyFile, FsOp::kCopyOver, FsOp::kRemoveFile,
                  FsOp::kMakeDirectory, FsOp::kRemoveEmptyDirectory}) {
    EXPECT_EQ(fs.Calls(op), 0u) << static_cast<int>(op);
  }

  Check();  // the next event
  EXPECT_EQ(Names(), (NameSet{".qdrl.set.sfv.state", kOneOfThree, "a.rar", "b-[BAD].rar", "c-[MISSING].rar",
                              "set.sfv"}));
}

TEST_F(DirectoryCheckTest, CorruptFileMovesToBadMarkerAndGetsNoMissingMarker) {
  Put("a.rar");
  PutCorrupt("b.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  Check();
  EXPECT_FALSE(Has("b.rar"));
  EXPECT_EQ(Bytes("b-[BAD].rar"), content["b.rar"] + "x");
  EXPECT_FALSE(Has("b-[MISSING].rar"));
  EXPECT_TRUE(Has(kOneOfThree));

  Check();
  EXPECT_FALSE(Has("b-[MISSING].rar"));
  EXPECT_TRUE(Has("b-[BAD].rar"));
  EXPECT_TRUE(Has("c-[MISSING].rar"));

  // c.rar was missing, then arrives corrupt: its MissingMarker goes with it.
  PutCorrupt("c.rar");
  Check("c.rar");
  EXPECT_TRUE(Has("c-[BAD].rar"));
  EXPECT_FALSE(Has("c-[MISSING].rar"));

  // A good upload later clears both markers.
  fs.AddFile(kDir + "b-[MISSING].rar", "");
  Put("b.rar");
  Check("b.rar");
  EXPECT_FALSE(Has("b-[BAD].rar"));
  EXPECT_FALSE(Has("b-[MISSING].rar"));
  EXPECT_TRUE(Has(kTwoOfThree));
}

// Deleting markers that are not there costs a scan of the whole directory
// under Wine: absent ones are skipped, present ones go whatever their case.
TEST_F(DirectoryCheckTest, MarkersAreDeletedOnlyWhenTheDirectoryMayHoldThem) {
  Put("a.rar");
  Put("b.rar");
  Put("c.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  fs.AddFile(kDir + "B-[missing].RAR", "");
  fs.AddFile(kDir + "c-[BAD].rar", "old");
  Check();
  EXPECT_EQ(Names(), (NameSet{kFull, "a.rar", "b.rar", "c.rar", "set.sfv"}));
  EXPECT_EQ(fs.Calls(FsOp::kRemoveFile, kDir + "a-[MISSING].rar"), 0u);
  EXPECT_EQ(fs.Calls(FsOp::kRemoveFile, kDir + "a-[BAD].rar"), 0u);

  // A name beyond ASCII follows the file system's case rules: all are looked up.
  fs.AddFile(kDir + "\xC9t\xE9-[MISSING].rar", "");
  fs.ResetCalls();
  Check();
  EXPECT_EQ(fs.Calls(FsOp::kRemoveFile, kDir + "a-[MISSING].rar"), 1u);
  EXPECT_EQ(fs.Calls(FsOp::kRemoveFile, kDir + "a-[BAD].rar"), 0u);
}

TEST_F(DirectoryCheckTest, EmptyFileMatchesZeroCrc) {
  fs.AddFile(kDir + "empty.nfo", "");
  fs.AddFile(kDir + "set.sfv", "empty.nfo 00000000\r\n");
  Check();
  EXPECT_TRUE(Has(kFull));
  EXPECT_TRUE(Has("empty.nfo"));
}

TEST_F(DirectoryCheckTest, ListWithoutEntriesShowsZeroPercent) {
  fs.AddFile(kDir + "set.sfv", "; only\r\n; comments\r\nand nonsense\r\n");
  Check();
  EXPECT_EQ(Names(), (NameSet{kNothing, "set.sfv"}));
}

TEST_F(DirectoryCheckTest, LastListProcessedOwnsTheMeter) {
  Put("a.rar");
  Put("b.rar");
  List("a.sfv", {"a.rar"});
  List("b.sfv", {"b.rar", "c.rar"});
  Check();
  EXPECT_EQ(lock.acquisitions(), 2u);
  EXPECT_EQ(settingsReads, 2);
  EXPECT_EQ(Names(), (NameSet{".qdrl.b.sfv.state", "--==[##########----------]==--  50% complete", "a.rar",
                            "a.sfv", "b.rar", "b.sfv", "c-[MISSING].rar"}));

  // Complete with the delete flag: no meter stays at all.
  Put("c.rar");
  settings.deleteFlag = 1;
  Check("c.rar");
  EXPECT_EQ(Names(), (NameSet{"a.rar", "a.sfv", "b.rar", "b.sfv", "c.rar"}));
}

TEST_F(DirectoryCheckTest, FileListedTwiceCountsTwiceAndIsHashedOnce) {
  Put("a.rar");
  List("set.sfv", {"a.rar", "a.rar", "b.rar"});
  Check();
  EXPECT_TRUE(Has("--==[#############-------]==--  67% complete"));
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + "a.rar"), 2u);  // the hash, then a presence test
  EXPECT_EQ(Bytes(".qdrl.set.sfv.state"), "C:\\up\\a.rar\r\n");
}

TEST_F(DirectoryCheckTest, UnwritableStateFileStillCountsFilesAsGood) {
  Put("a.rar");
  List("set.sfv", {"a.rar", "a.rar", "b.rar"});
  fs.FailOn(FsOp::kAppendBytes, kDir + ".qdrl.set.sfv.state");
  Check();
  EXPECT_TRUE(Has(kTwoOfThree));
  EXPECT_FALSE(Has(".qdrl.set.sfv.state"));
  // The pass still knows what it verified: the duplicate is not hashed again.
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + "a.rar"), 2u);
}

TEST_F(DirectoryCheckTest, DeleteFlagLeavesNoMeterWhenComplete) {
  Put("a.rar");
  List("set.sfv", {"a.rar", "b.rar"});
  Check();
  Put("b.rar");
  settings.deleteFlag = 1;
  Check("b.rar");
  EXPECT_EQ(Names(), (NameSet{"a.rar", "b.rar", "set.sfv"}));
}

TEST_F(DirectoryCheckTest, SetWithOneFileMissingIsNeverComplete) {
  std::string list;
  for (int i = 0; i < 200; ++i) {
    std::string name = "f" + std::to_string(i);
    list += name + " 00000000\r\n";
    if (i > 0) fs.AddFile(kDir + name, "");
  }
  fs.AddFile(kDir + "set.sfv", list);
  settings.deleteFlag = 1;
  Check();
  EXPECT_TRUE(Has("--==[###################-]==--  99% complete"));
  EXPECT_TRUE(Has(".qdrl.set.sfv.state"));
  EXPECT_TRUE(Has("f0-[MISSING]"));
}

TEST_F(DirectoryCheckTest, OldMeterRemovalTakesOnlyEmptyDirectoriesStartingWithTheTrail) {
  settings.startTrail = "Meter";
  fs.AddDirectory(kDir + "METER old");
  fs.AddDirectory(kDir + "meter busy");
  fs.AddFile(kDir + "meter busy\\keep.txt", "x");
  fs.AddFile(kDir + "Meter file", "x");
  fs.AddDirectory(kDir + "other");
  // Listed for "Meter*" only through its short name: not a meter.
  fs.AddDirectory(kDir + "old meters");
  fs.SetShortName(kDir + "old meters", "METER~1");
  fs.AddFile(kDir + "set.sfv", "");
  Check();
  EXPECT_EQ(Names(), (NameSet{"meter busy", "Meter file", "Meter--------------------]==--  0% complete",
                            "old meters", "other", "set.sfv"}));
}

TEST_F(DirectoryCheckTest, EmptyStartTrailRemovesEveryEmptySubdirectory) {
  settings.startTrail = "";
  settings.meterFlag = 0;
  fs.AddDirectory(kDir + "empty");
  fs.AddDirectory(kDir + "full");
  fs.AddFile(kDir + "full\\x", "");
  fs.AddFile(kDir + "set.sfv", "");
  Check();
  // Stored without the end trail's last space, as Windows stores it.
  EXPECT_EQ(Names(), (NameSet{" 0% complete ]==--", "full", "set.sfv"}));
}

TEST_F(DirectoryCheckTest, ShortNameMatchesAreNotLists) {
  fs.AddFile(kDir + "x.sfvbak", "missing.rar 12345678\r\n");
  fs.SetShortName(kDir + "x.sfvbak", "X~1.SFV");
  fs.AddFile(kDir + "a.rar", "");
  Check();
  EXPECT_EQ(Names(), (NameSet{"a.rar", "x.sfvbak"}));
  EXPECT_EQ(lock.acquisitions(), 0u);
}

TEST_F(DirectoryCheckTest, UppercaseListNameIsAList) {
  Put("a.rar");
  List("SET.SFV", {"a.rar"});
  Check();
  EXPECT_TRUE(Has(kFull));
}

TEST_F(DirectoryCheckTest, PathWithoutSeparatorDoesNothing) {
  List("set.sfv", {"a.rar"});
  fs.ResetCalls();
  EXPECT_EQ(DirectoryCheck(context, "a.rar"), 0);
  EXPECT_EQ(fs.Calls(FsOp::kListMatches), 0u);
  EXPECT_EQ(lock.acquisitions(), 0u);
}

TEST_F(DirectoryCheckTest, ForwardSlashCutsThePath) {
  Put("a.rar");
  List("set.sfv", {"a.rar"});
  EXPECT_EQ(DirectoryCheck(context, "C:\\up/sub\\a.rar"), 1);
  EXPECT_TRUE(Has(kFull));
}

// The directory listing shows such a file, and the state file may name it
// (a file uploaded again): still not found, neither good nor bad.
TEST_F(DirectoryCheckTest, FileBeingWrittenCountsAsMissingUntilReleased) {
  Put("a.rar");
  Put("b.rar");
  List("set.sfv", {"a.rar", "b.rar"});
  fs.AddFile(kDir + ".qdrl.set.sfv.state", kDir + "b.rar\r\n");
  fs.HoldOpenForWriting(kDir + "a.rar");
  fs.HoldOpenForWriting(kDir + "b.rar");
  Check();
  EXPECT_EQ(Names(), (NameSet{".qdrl.set.sfv.state", kNothing, "a-[MISSING].rar", "a.rar", "b-[MISSING].rar",
                            "b.rar", "set.sfv"}));
  fs.HoldOpenForWriting(kDir + "a.rar", false);
  fs.HoldOpenForWriting(kDir + "b.rar", false);
  Check();
  EXPECT_EQ(Names(), (NameSet{kFull, "a.rar", "b.rar", "set.sfv"}));
}

// A disk that fills during the copy: the listed file and an older BadMarker
// stay as they were, no partial copy is left, and the next pass with room
// moves the file aside.
TEST_F(DirectoryCheckTest, FailedCopyLeavesTheCorruptFileAndAnOlderBadFileIntact) {
  PutCorrupt("a.rar");
  List("set.sfv", {"a.rar"});
  fs.AddFile(kDir + "a-[BAD].rar", "older");
  std::size_t used = 0;
  for (const std::string& name : fs.Names(kDir)) used += fs.FileBytes(kDir + name)->size();
  fs.LimitSpace(used + 100);
  Check();
  EXPECT_EQ(Bytes("a.rar"), content["a.rar"] + "x");
  EXPECT_EQ(Bytes("a-[BAD].rar"), "older");
  EXPECT_EQ(Names(), (NameSet{kNothing, "a-[BAD].rar", "a.rar", "set.sfv"}));

  fs.LimitSpace(std::nullopt);
  Check();
  EXPECT_EQ(Bytes("a-[BAD].rar"), content["a.rar"] + "x");
  EXPECT_EQ(Names(), (NameSet{kNothing, "a-[BAD].rar", "set.sfv"}));
}

TEST_F(DirectoryCheckTest, MarkersOfFilesInDottedSubdirectoriesStayBesideThem) {
  fs.AddDirectory(kDir + "My.Set");
  fs.AddFile(kDir + "My.Set\\bad", "corrupt");
  fs.AddFile(kDir + "set.sfv", "My.Set\\readme 12345678\r\nMy.Set\\bad 12345678\r\n");
  Check();
  EXPECT_EQ(fs.Names(kDir + "My.Set"), (std::vector<std::string>{"bad-[BAD]", "readme-[MISSING]"}));
  EXPECT_EQ(*fs.FileBytes(kDir + "My.Set\\bad-[BAD]"), "corrupt");
}

TEST_F(DirectoryCheckTest, ReadFailingPartWayCountsAsNotFound) {
  Put("a.rar");
  List("set.sfv", {"a.rar"});
  fs.FailReadAfter(kDir + "a.rar", 100);
  Check();
  EXPECT_EQ(Bytes("a.rar"), content["a.rar"]);
  EXPECT_TRUE(Has("a-[MISSING].rar"));
  EXPECT_FALSE(Has("a-[BAD].rar"));
  EXPECT_FALSE(Has(".qdrl.set.sfv.state"));
  EXPECT_TRUE(Has(kNothing));
}

TEST_F(DirectoryCheckTest, UnreadableListIsSkippedAndOthersStillRun) {
  Put("a.rar");
  List("a.sfv", {"a.rar", "b.rar"});
  List("b.sfv", {"a.rar", "c.rar"});
  List("c.sfv", {"a.rar"});
  fs.FailOn(FsOp::kOpenForCheck, kDir + "a.sfv");
  fs.FailReadAfter(kDir + "b.sfv", 30);
  Check();
  EXPECT_EQ(Names(), (NameSet{kFull, "a.rar", "a.sfv", "b.sfv", "c.sfv"}));
  EXPECT_EQ(lock.acquisitions(), 3u);
  EXPECT_FALSE(lock.held());
}

TEST_F(DirectoryCheckTest, FailingMarkerAndMeterOperationsAreAbsorbed) {
  Put("a.rar");
  List("set.sfv", {"a.rar", "b.rar"});
  fs.AddDirectory(kDir + "--==[ stuck");
  fs.FailOn(FsOp::kCreateEmptyFile, kDir + "b-[MISSING].rar");
  fs.FailOn(FsOp::kRemoveEmptyDirectory, kDir + "--==[ stuck");
  fs.FailOn(FsOp::kMakeDirectory, kDir + "--==[##########----------]==--  50% complete");
  EXPECT_EQ(Check(), 1);
  EXPECT_EQ(Names(), (NameSet{".qdrl.set.sfv.state", "--==[ stuck", "a.rar", "set.sfv"}));
}

TEST_F(DirectoryCheckTest, ThrowingSettingsReaderReleasesTheLock) {
  List("set.sfv", {"a.rar"});
  List("two.sfv", {"a.rar"});
  int calls = 0;
  CheckContext throwing{fs, lock, [&]() -> RunSettings {
                          if (++calls == 1) throw std::runtime_error("no settings");
                          return settings;
                        }};
  EXPECT_EQ(DirectoryCheck(throwing, kDir + "a.rar"), 1);
  EXPECT_FALSE(lock.held());
  EXPECT_TRUE(Has("a-[MISSING].rar"));  // the second list still ran
}

TEST_F(DirectoryCheckTest, ConcurrentChecksTakeTurns) {
  Put("a.rar");
  Put("b.rar");
  List("set.sfv", {"a.rar", "b.rar", "c.rar"});
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) workers.emplace_back([this] { Check(); });
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(lock.acquisitions(), 4u);
  EXPECT_EQ(Names(), (NameSet{".qdrl.set.sfv.state", kTwoOfThree, "a.rar", "b.rar", "c-[MISSING].rar",
                            "set.sfv"}));
  EXPECT_EQ(Bytes(".qdrl.set.sfv.state"), "C:\\up\\a.rar\r\nC:\\up\\b.rar\r\n");
}

// One listing per pass answers for plain names: absent files are not opened
// and a MissingMarker already there as an empty file is not made again. What
// it cannot answer goes to the file system: names in a subdirectory, a marker
// that holds data, and everything when the listing fails.
TEST_F(DirectoryCheckTest, PassAsksTheFileSystemOnlyWhatItsListingCannotTell) {
  fs.AddFile(kDir + "sub\\a.rar", content["a.rar"]);
  fs.AddFile(kDir + "c-[MISSING].rar", "not empty");
  fs.AddFile(kDir + "set.sfv", testing::SfvLine("sub\\a.rar", testing::BitwiseCrc32(content["a.rar"])) +
                                    testing::SfvLine("b.rar", testing::BitwiseCrc32(content["b.rar"])) +
                                    testing::SfvLine("c.rar", testing::BitwiseCrc32(content["c.rar"])));
  const NameSet third{".qdrl.set.sfv.state", kOneOfThree, "b-[MISSING].rar", "c-[MISSING].rar", "set.sfv", "sub"};
  Check();
  EXPECT_EQ(Names(), third);
  EXPECT_EQ(Bytes("c-[MISSING].rar"), "");
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + "b.rar"), 0u);
  EXPECT_EQ(fs.Calls(FsOp::kListDirectory), 1u);

  fs.ResetCalls();
  Check();
  EXPECT_EQ(Names(), third);
  EXPECT_EQ(fs.Calls(FsOp::kCreateEmptyFile), 0u);
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + "sub\\a.rar"), 1u);

  fs.FailOn(FsOp::kListDirectory, kDir);
  Put("b.rar");
  fs.ResetCalls();
  Check("b.rar");
  EXPECT_EQ(Names(), (NameSet{".qdrl.set.sfv.state", kTwoOfThree, "b.rar", "c-[MISSING].rar", "set.sfv", "sub"}));
  EXPECT_EQ(fs.Calls(FsOp::kOpenForCheck, kDir + "c.rar"), 1u);
}

// A case-sensitive directory, or one holding a name with a trailing dot made
// through "\\?\": its listing shows, after the good file a.rar, a directory
// whose name the file system folds to the same key (before or after it),
// which the fake itself cannot hold. The file is asked for, not taken for
// its twin.
class TwinListingFileSystem : public MemoryFileSystem {
 public:
  TwinListingFileSystem(std::string twin, bool first) : twin_(std::move(twin)), first_(first) {}
  bool ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) override {
    const bool complete = MemoryFileSystem::ListDirectory(prefix, entries);
    entries->insert(first_ ? entries->begin() : entries->end(), DirectoryEntry{twin_, "", 0, true});
    return complete;
  }

 private:
  std::string twin_;
  bool first_;
};

TEST(DirectoryListingTest, FileIsNotJudgedByATwinWhoseNameFoldsAlike) {
  for (const auto& [twin, first] : {std::pair{"A.RAR", false}, {"a.rar.", false}, {"A.RAR", true}}) {
    TwinListingFileSystem fs(twin, first);
    const std::string a = testing::RandomBytes(3000, 'a');
    fs.AddFile(kDir + "a.rar", a);
    fs.AddFile(kDir + "set.sfv", testing::SfvLine("a.rar", testing::BitwiseCrc32(a)));
    StdCheckLock lock;
    const CheckContext context{fs, lock, [] { return RunSettings{}; }};
    DirectoryCheck(context, kDir + "a.rar");
    const std::vector<std::string> names = fs.Names(kDir);
    EXPECT_EQ(NameSet(names.begin(), names.end()), (NameSet{kFull, "a.rar", "set.sfv"})) << twin << first;
  }
}

}  // namespace
}  // namespace sfvcheck
