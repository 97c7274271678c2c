// The plug-in's main job through its exports, on small sets: what a host
// sees on disk after the shutdown event returns, and through the hooks'
// results. Lean on purpose: it is the one program that makes the DLL check
// sets where 32-bit code runs only emulated (a minute per program start), so
// it asserts nothing about how the plug-in shares its work among threads.
//
// Threads: the test thread plays the host's event thread; the checks run on
// the DLL's own threads.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "core/crc/crc32.h"
#include "tests/support/dll_host_win32.h"
#include "tests/support/process_handles_win32.h"
#include "tests/support/temp_directory_win32.h"
#include "tools/support/test_data.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using testing::BitwiseCrc32;
using testing::DefaultMeterName;
using testing::DirectoryExists;
using testing::FileExists;
using testing::Listing;
using testing::PluginHost;
using testing::RandomBytes;
using testing::ReadFileBytes;
using testing::SfvLine;
using testing::TempDirectory;
using testing::WriteFileBytes;

// The server calls the hooks as __cdecl and the init entry as __stdcall,
// whatever the plug-in's header says (the hosts here take their types from
// it). In a 32-bit build another convention unbalances the server's stack on
// every event; in a 64-bit build there is only one convention.
static_assert(std::is_same_v<EventHookFunction, std::int16_t(__cdecl*)(HostEventRecord*)>,
              "the server calls the hooks as __cdecl");
static_assert(std::is_same_v<InitEntryFunction, void(__stdcall*)(void*)>,
              "the server calls the init entry as __stdcall");

// From this size a file is hashed in two halves at once, the second on a
// helper thread: its offsets and sizes are where a 32-bit build can go wrong.
constexpr std::size_t kTwoHalvesSize = (16u << 20) + 4097;

class SmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PluginHost::Get().loaded());
    testing::UseDefaultSettings();
  }

  std::string Path(const std::string& name) const { return upload_ / name; }

  // set.sfv listing `names` with the CRCs of `contents`.
  void WriteList(const std::vector<std::string>& names, const std::vector<std::string>& contents) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) list += SfvLine(names[i], BitwiseCrc32(contents[i]));
    WriteFileBytes(Path("set.sfv"), list);
  }

  void ExpectComplete() {
    EXPECT_TRUE(DirectoryExists(Path(DefaultMeterName(100)))) << Listing(upload_.path());
    EXPECT_FALSE(FileExists(Path(".qdrl.set.sfv.state"))) << Listing(upload_.path());
  }

  TempDirectory upload_;
};

// Markers, a file moved aside, the meter and the state file, then the set
// completed by the last file's event.
TEST_F(SmokeTest, ASetIsCheckedAndCompletedByFileEvents) {
  const std::vector<std::string> names = {"a.bin", "b.bin", "c.bin"};
  const std::vector<std::string> contents = {RandomBytes(70000, 1), RandomBytes(300001, 2), RandomBytes(5, 3)};
  WriteList(names, contents);
  WriteFileBytes(Path("a.bin"), contents[0]);
  std::string corrupt = contents[1];
  corrupt[150000] ^= 0x40;
  WriteFileBytes(Path("b.bin"), corrupt);
  PluginHost::Get().CheckNow(Path("b.bin"));

  EXPECT_FALSE(FileExists(Path("b.bin")));
  EXPECT_EQ(ReadFileBytes(Path("b-[BAD].bin")), corrupt);
  EXPECT_EQ(ReadFileBytes(Path("c-[MISSING].bin")), "");
  EXPECT_FALSE(FileExists(Path("a-[MISSING].bin")));
  EXPECT_TRUE(DirectoryExists(Path(DefaultMeterName(33)))) << Listing(upload_.path());
  EXPECT_TRUE(FileExists(Path(".qdrl.set.sfv.state")));

  WriteFileBytes(Path("b.bin"), contents[1]);
  WriteFileBytes(Path("c.bin"), contents[2]);
  PluginHost::Get().CheckNow(Path("c.bin"));
  ExpectComplete();
  EXPECT_FALSE(DirectoryExists(Path(DefaultMeterName(33))));
  EXPECT_FALSE(FileExists(Path("c-[MISSING].bin")));
}

// The shutdown event sent right after a file event returns only when the
// check it started has ended, here one that hashes a file in two halves.
TEST_F(SmokeTest, TheShutdownWaitsForARunningCheck) {
  const std::string big = RandomBytes(kTwoHalvesSize, 4);
  WriteList({"big.bin"}, {big});
  WriteFileBytes(Path("big.bin"), big);
  PluginHost::Get().FileArrived(Path("big.bin"));
  PluginHost::Get().WaitForChecks("the check of a file hashed in two halves");
  ExpectComplete();
  EXPECT_TRUE(FileExists(Path("big.bin"))) << Listing(upload_.path());
}

// The first pass finds late.bin still being written (MISSING) and goes on
// hashing the file listed after it; late.bin's own event, sent then, gets a
// check that sees it whole.
TEST_F(SmokeTest, AnEventDuringAPassGetsACheckAfterIt) {
  const std::vector<std::string> names = {"late.bin", "after.bin"};
  const std::vector<std::string> contents = {RandomBytes(1000, 5), RandomBytes(4u << 20, 6)};
  WriteList(names, contents);
  WriteFileBytes(Path("after.bin"), contents[1]);
  OwnedFile writing(CreateFileA(Path("late.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writing);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writing.get(), contents[0].data(), static_cast<DWORD>(contents[0].size()), &written, nullptr));

  PluginHost::Get().FileArrived(Path("after.bin"));
  const std::string lateMarker = Path("late-[MISSING].bin");
  for (int i = 0; i < 120000 && !FileExists(lateMarker); ++i) Sleep(1);
  ASSERT_TRUE(FileExists(lateMarker)) << "the first pass looked at late.bin";
  writing.reset();
  PluginHost::Get().FileArrived(Path("late.bin"));
  PluginHost::Get().WaitForChecks("the check after late.bin's event");

  ExpectComplete();
  EXPECT_FALSE(FileExists(lateMarker));
}

// A check's thread, once ended, is reaped by the idle event: the process's
// handles come back to what they were. The shutdown event reaps too, so the
// count is taken after one.
TEST_F(SmokeTest, TheIdleEventReapsEndedChecks) {
  WriteList({"one.bin"}, {"one"});
  WriteFileBytes(Path("one.bin"), "one");
  PluginHost::Get().CheckNow(Path("one.bin"), "warm-up");
  HostEventRecord idle{};
  idle.eventCode = kEventIdle;
  EXPECT_EQ(PluginHost::Get().QndrlEvent(idle), 0);
  const DWORD before = testing::HandlesOfThisProcess();
  ASSERT_NE(before, 0u);

  RemoveDirectoryA(Path(DefaultMeterName(100)).c_str());
  PluginHost::Get().FileArrived(Path("one.bin"));
  DWORD now = 0;
  for (int i = 0; i < 6000; ++i) {
    Sleep(10);
    idle.eventCode = kEventIdle;
    EXPECT_EQ(PluginHost::Get().QndrlEvent(idle), 0);
    now = testing::HandlesOfThisProcess();
    if (now == before && DirectoryExists(Path(DefaultMeterName(100)))) break;
  }
  EXPECT_TRUE(DirectoryExists(Path(DefaultMeterName(100)))) << "the check ran";
  EXPECT_EQ(now, before) << "idle events reap the ended check's thread";
}

// Each CRC tier this processor runs (as the emulator presents it, where
// there is one) hashes a file as the per-byte reference does. The tiers run
// and not run are printed for the test command's summary.
TEST_F(SmokeTest, EveryCrcTierHereHashesAFileAsTheReferenceDoes) {
  WriteFileBytes(Path("tiers.bin"), RandomBytes((1u << 20) + 77, 7));
  const std::string bytes = ReadFileBytes(Path("tiers.bin"));
  const std::uint32_t expected = Crc32Reference(0, bytes.data(), bytes.size());
  std::string run;
  std::string notRun;
  for (CrcTier tier : {CrcTier::kReference, CrcTier::kSlicing, CrcTier::kClmul, CrcTier::kAvx2, CrcTier::kAvx512}) {
    if (!CrcTierRuns(Crc32Features(), tier)) {
      notRun += std::string(" ") + CrcTierName(tier);
      continue;
    }
    run += std::string(" ") + CrcTierName(tier);
    EXPECT_EQ(CrcTierKernel(tier)(0, bytes.data(), bytes.size()), expected) << CrcTierName(tier);
  }
  std::printf("CRC tiers run:%s; not run (not in this processor):%s; whole files: %s\n", run.c_str(),
              notRun.empty() ? " none" : notRun.c_str(), CrcTierName(FileCrc32Tier()));
}

}  // namespace
}  // namespace sfvcheck
