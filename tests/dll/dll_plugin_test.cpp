// The plug-in as the host sees it: loaded with LoadLibraryA, reached only
// through its three exports by name, driven with event records.
// Threads: the test thread plays the host; one test adds a second host thread
// that sends idle events. The plug-in's checking thread is not visible here
// except through what it leaves on disk and the handles the process holds.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"
#include "tests/support/process_handles_win32.h"
#include "tests/support/temp_directory_win32.h"
#include "tests/support/thread_win32.h"
#include "tools/support/test_data.h"
#include "win32/machine_pass_lock_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using testing::DirectoryExists;
using testing::FileExists;
using testing::HandlesOfThisProcess;
using testing::ListDirectory;
using testing::Listing;
using testing::RandomBytes;
using testing::TempDirectory;
using testing::WriteFileBytes;

constexpr char kDllName[] = "sfvcheck.dll";

// A loaded copy of the plug-in, its init entry called; unloads on destruction.
class Plugin : public PluginLoader {
 public:
  Plugin() {
    if (Load(kDllName)) Init();
  }

  std::int16_t Qndrl(HostEventRecord& record) { return QndrlEvent(record); }
  std::int16_t Qndrl(std::int32_t code) {
    HostEventRecord record = FilledRecord(code);
    return QndrlEvent(record);
  }
  std::int16_t FileEvent(const std::string& path, std::int32_t code = kEventFileArrived) {
    HostEventRecord record = FilledRecord(code);
    SetRecordText(record, path);
    return Event(record);
  }
  // The shutdown event returns only when every started check has ended.
  void WaitForChecks() { Qndrl(kEventShutdown); }

  // A record whose every byte is set, so that any write shows.
  static HostEventRecord FilledRecord(std::int32_t code) {
    HostEventRecord record;
    std::memset(&record, 0xA5, sizeof record);
    record.eventCode = code;
    return record;
  }
};

using testing::StartThread;

bool SameBytes(const HostEventRecord& a, const HostEventRecord& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// A set of files with their SFV list; `contents` are what the list promises.
struct UploadSet {
  std::vector<std::string> names;
  std::vector<std::string> contents;

  std::string SfvText() const {
    std::string text = "; made by the test\r\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
      text += testing::SfvLine(names[i], testing::BitwiseCrc32(contents[i]));
    }
    return text;
  }
};

UploadSet MakeSet(int files, std::size_t size, std::uint32_t seed) {
  UploadSet set;
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "part%02d.bin", i);
    set.names.push_back(name);
    set.contents.push_back(RandomBytes(size, seed + i));
  }
  return set;
}

// Names of the directories in `directory` that show a percentage. Which
// settings are in force is not this test's concern: every form of the
// meter folder's name holds "<p>% complete".
std::vector<std::string> MeterFolders(const std::string& directory) {
  std::vector<std::string> meters;
  for (const std::string& name : ListDirectory(directory)) {
    if (name.find("% complete") != std::string::npos && DirectoryExists(directory + name)) {
      meters.push_back(name);
    }
  }
  return meters;
}

std::string Marker(const std::string& directory, const std::string& name, const char* tag) {
  const std::size_t dot = name.rfind('.');
  return directory + name.substr(0, dot) + tag + name.substr(dot);
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(plugin.ready()) << "cannot load " << kDllName << " with its three exports"; }
  void TearDown() override {
    if (plugin.ready()) plugin.WaitForChecks();
  }

  Plugin plugin;
};

TEST_F(PluginTest, ExportsAreReachableByNameAndOrdinal) {
  const HMODULE module = plugin.module();
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(1)), GetProcAddress(module, kEventHookName));
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(2)), GetProcAddress(module, kQndrlEventHookName));
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(3)), GetProcAddress(module, kInitEntryName));
  EXPECT_EQ(GetProcAddress(module, "QDXApiInit"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "_QDXApiInit"), nullptr);
}

TEST_F(PluginTest, MenuQueryAnswersOnlyIndexZeroWithTheItem) {
  {
    HostEventRecord record = Plugin::FilledRecord(kEventMenuQuery);
    record.menuIndex = 0;
    HostEventRecord expected = record;
    std::memcpy(expected.text, "Plugins\\Configure SFV...", 25);
    EXPECT_EQ(plugin.Qndrl(record), 0);
    EXPECT_STREQ(record.text, "Plugins\\Configure SFV...");
    EXPECT_TRUE(SameBytes(record, expected)) << "only the 25 bytes of the item text are written";
  }
  {
    HostEventRecord record = Plugin::FilledRecord(kEventMenuQuery);
    record.menuIndex = -1;
    HostEventRecord expected = record;
    expected.menuFlag = 1;
    expected.text[0] = '\0';
    EXPECT_EQ(plugin.Qndrl(record), 0);
    EXPECT_TRUE(SameBytes(record, expected));
  }
  for (std::int32_t index : {1, 2, 1000}) {
    HostEventRecord record = Plugin::FilledRecord(kEventMenuQuery);
    record.menuIndex = index;
    record.menuFlag = 7;
    HostEventRecord expected = record;
    expected.text[0] = '\0';
    EXPECT_EQ(plugin.Qndrl(record), 0);
    EXPECT_TRUE(SameBytes(record, expected)) << "index " << index << ": empty text, menuFlag kept";
  }
}

TEST_F(PluginTest, MenuChoiceOfAnotherItemDoesNothing) {
  HostEventRecord record = Plugin::FilledRecord(kEventMenuChosen);
  record.menuIndex = 2;
  const HostEventRecord before = record;
  EXPECT_EQ(plugin.Qndrl(record), 0);
  EXPECT_TRUE(SameBytes(record, before));
}

// Codes outside a hook's table, including the other hook's codes, leave the
// record as it was and start nothing (a file code sent to the wrong hook
// would otherwise leave markers in this directory).
TEST_F(PluginTest, UnknownCodesLeaveTheRecordUntouched) {
  TempDirectory upload;
  WriteFileBytes(upload / "set.sfv", "absent.bin 01234567\r\n");
  const std::string arrived = upload / "set.sfv";

  auto expectUntouched = [&](bool eventHook, std::int32_t code) {
    HostEventRecord record = Plugin::FilledRecord(code);
    record.menuIndex = 0;
    SetRecordText(record, arrived);
    const HostEventRecord before = record;
    const std::int16_t result = eventHook ? plugin.Event(record) : plugin.Qndrl(record);
    EXPECT_EQ(result, 0) << (eventHook ? "HandleEventHook " : "HandleQNDRLEventHook ") << code;
    EXPECT_TRUE(SameBytes(record, before)) << (eventHook ? "HandleEventHook " : "HandleQNDRLEventHook ") << code;
  };
  for (std::int32_t code : {0, 1, 9, 11, 12, 14, 107, 109, 111, 115, 117, 200, -1, -10, 0x7FFFFFFF}) {
    expectUntouched(true, code);
    expectUntouched(false, code);
  }
  for (std::int32_t code : {112, 113, 114, 115, 116}) expectUntouched(true, code);
  for (std::int32_t code : {10, 13, 108}) expectUntouched(false, code);

  plugin.WaitForChecks();
  EXPECT_FALSE(FileExists(upload / "absent-[MISSING].bin")) << Listing(upload.path());
  EXPECT_TRUE(MeterFolders(upload.path()).empty()) << Listing(upload.path());
}

TEST_F(PluginTest, FileEventsLeaveTheRecordUntouched) {
  for (std::int32_t code : {10, 13}) {
    HostEventRecord record = Plugin::FilledRecord(code);
    std::strcpy(record.text, "C:\\no such folder\\x.bin");
    const HostEventRecord before = record;
    EXPECT_EQ(plugin.Event(record), 0);
    EXPECT_TRUE(SameBytes(record, before)) << code;
  }
  plugin.WaitForChecks();
}

// An event whose path holds no separator queues nothing and starts no
// thread. A real event starts the checking thread, whose handle is listed;
// once the thread has ended (soon after its queue empties), the idle event
// reaps it, so the handle count comes back.
TEST_F(PluginTest, TheCheckingThreadIsStartedByAnEventAndReapedAtIdleOnceEnded) {
  plugin.WaitForChecks();
  const DWORD before = HandlesOfThisProcess();
  ASSERT_NE(before, 0u);
  HostEventRecord record = Plugin::FilledRecord(kEventFileArrived);
  std::strcpy(record.text, "set.sfv");
  const HostEventRecord copy = record;
  EXPECT_EQ(plugin.Event(record), 0);
  EXPECT_TRUE(SameBytes(record, copy));
  EXPECT_EQ(HandlesOfThisProcess(), before) << "no thread for an event without a directory";

  TempDirectory upload;  // no list in it: the check finds nothing to do
  EXPECT_EQ(plugin.FileEvent(upload.path() + "a.rar"), 0);
  DWORD listed = HandlesOfThisProcess();
  EXPECT_EQ(listed, before + 1) << "the checking thread's handle is listed";
  for (int i = 0; i < 500 && listed != before; ++i) {
    Sleep(10);
    EXPECT_EQ(plugin.Qndrl(kEventIdle), 0);
    listed = HandlesOfThisProcess();
  }
  EXPECT_EQ(listed, before) << "the idle event reaps the ended thread";
}

// A set arrives file by file; after each event the test waits for the check
// (the shutdown event returns only then) and looks at the folder.
TEST_F(PluginTest, AnUploadIsCheckedFileByFile) {
  TempDirectory upload;
  UploadSet set = MakeSet(5, 100000, 11);  // part00..part04
  const std::string& dir = upload.path();
  auto arrive = [&](const std::string& name, const std::string& bytes, std::int32_t code = kEventFileArrived) {
    WriteFileBytes(dir + name, bytes);
    EXPECT_EQ(plugin.FileEvent(dir + name, code), 0);
    EXPECT_EQ(plugin.Qndrl(kEventIdle), 0);
    plugin.WaitForChecks();
  };
  auto expectMeter = [&](const char* percent) {
    const std::vector<std::string> meters = MeterFolders(dir);
    ASSERT_EQ(meters.size(), 1u) << Listing(dir);
    EXPECT_NE(meters[0].find(std::string(percent) + "% complete"), std::string::npos) << meters[0];
  };

  arrive("set.sfv", set.SfvText());
  for (const std::string& name : set.names) EXPECT_TRUE(FileExists(Marker(dir, name, "-[MISSING]"))) << name;
  expectMeter(" 0");

  arrive(set.names[0], set.contents[0]);
  EXPECT_FALSE(FileExists(Marker(dir, set.names[0], "-[MISSING]")));
  expectMeter("20");

  arrive(set.names[1], set.contents[1], kEventFileArrivedAlt);
  EXPECT_FALSE(FileExists(Marker(dir, set.names[1], "-[MISSING]")));
  expectMeter("40");

  std::string corrupt = set.contents[2];
  corrupt[5000] ^= 0x01;
  arrive(set.names[2], corrupt);
  EXPECT_FALSE(FileExists(dir + set.names[2])) << "a corrupt file is moved aside";
  EXPECT_EQ(testing::ReadFileBytes(Marker(dir, set.names[2], "-[BAD]")), corrupt);
  expectMeter("40");

  arrive(set.names[3], set.contents[3]);
  expectMeter("60");
  EXPECT_TRUE(FileExists(Marker(dir, set.names[4], "-[MISSING]"))) << "part04 never arrives";
  EXPECT_TRUE(FileExists(dir + ".qdrl.set.sfv.state"));

  // The corrupt file uploaded again, now whole: the set is complete.
  arrive(set.names[4], set.contents[4]);
  expectMeter("80");
  arrive(set.names[2], set.contents[2]);
  for (const std::string& name : set.names) {
    EXPECT_TRUE(FileExists(dir + name)) << name;
    EXPECT_FALSE(FileExists(Marker(dir, name, "-[MISSING]"))) << name;
  }
  for (const std::string& meter : MeterFolders(dir)) EXPECT_NE(meter.find("100% complete"), std::string::npos) << meter;
  EXPECT_FALSE(FileExists(dir + ".qdrl.set.sfv.state")) << "a complete set needs no state";
}

// The notice's own close box does not end the shutdown wait: the check of a
// large file started before it is complete when the shutdown event returns.
TEST_F(PluginTest, ClosingTheNoticeDoesNotEndTheShutdownWait) {
  TempDirectory upload;
  UploadSet set = MakeSet(2, 32 << 20, 77);
  WriteFileBytes(upload / "set.sfv", set.SfvText());
  for (int i = 0; i < 2; ++i) WriteFileBytes(upload / set.names[i], set.contents[i]);
  plugin.WaitForChecks();  // the first window a process makes is slow to come

  // The closer holds the lock that passes share with other processes, so
  // the check waits (up to the plug-in's bound) and the notice stays up
  // until it has been closed a few times, however fast the machine hashes.
  struct Closer {
    std::atomic<bool> stop{false};
    std::atomic<bool> holding{false};
    std::atomic<int> closed{0};
  } closer;
  OwnedObject closeThread = StartThread([&closer] {
    OwnedObject passLock(CreateMutexExA(nullptr, kMachinePassLockName, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
    const DWORD waited = passLock ? WaitForSingleObject(passLock.get(), 2000) : WAIT_FAILED;
    closer.holding = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    const ULONGLONG releaseBy = GetTickCount64() + 3000;
    bool held = closer.holding;
    while (!closer.stop) {
      if (HWND notice = FindWindowA(nullptr, "Processing...")) {
        PostMessageA(notice, WM_SYSCOMMAND, SC_CLOSE, 0);
        PostMessageA(notice, WM_CLOSE, 0, 0);
        ++closer.closed;
      }
      if (held && (closer.closed >= 3 || GetTickCount64() > releaseBy)) {
        ReleaseMutex(passLock.get());
        held = false;
      }
      Sleep(5);
    }
    if (held) ReleaseMutex(passLock.get());
  });
  ASSERT_TRUE(closeThread);
  for (int i = 0; i < 400 && !closer.holding; ++i) Sleep(5);
  ASSERT_TRUE(closer.holding) << "the lock shared with other processes could not be taken";

  EXPECT_EQ(plugin.FileEvent(upload / set.names[1]), 0);
  plugin.WaitForChecks();
  closer.stop = true;
  WaitForSingleObject(closeThread.get(), INFINITE);

  EXPECT_GT(closer.closed.load(), 0) << "the notice was shown";
  EXPECT_FALSE(FileExists(upload / ".qdrl.set.sfv.state")) << Listing(upload.path());
  for (const std::string& name : set.names) EXPECT_FALSE(FileExists(Marker(upload.path(), name, "-[MISSING]")));
  const std::vector<std::string> meters = MeterFolders(upload.path());
  for (const std::string& meter : meters) EXPECT_NE(meter.find("100% complete"), std::string::npos) << meter;
}

// The host unloads the plug-in without a shutdown event while checks run:
// the module stays until the last check has ended, and every check finishes.
TEST(PluginUnloadTest, UnloadingWhileChecksRunLetsThemFinish) {
  constexpr int kFolders = 3;
  std::vector<std::unique_ptr<TempDirectory>> folders;
  std::vector<UploadSet> sets;
  for (int f = 0; f < kFolders; ++f) {
    folders.push_back(std::make_unique<TempDirectory>());
    sets.push_back(MakeSet(3, 4 << 20, 100 + 10 * f));
    WriteFileBytes(*folders[f] / "set.sfv", sets[f].SfvText());
    for (int i = 0; i < 3; ++i) WriteFileBytes(*folders[f] / sets[f].names[i], sets[f].contents[i]);
  }
  {
    Plugin plugin;
    ASSERT_TRUE(plugin.ready());
    for (int round = 0; round < 5; ++round) {
      for (int f = 0; f < kFolders; ++f) EXPECT_EQ(plugin.FileEvent(*folders[f] / sets[f].names[round % 3]), 0);
    }
    plugin.Unload();
    EXPECT_NE(GetModuleHandleA(kDllName), nullptr) << "running checks keep the module loaded";
  }
  for (int i = 0; i < 3000 && GetModuleHandleA(kDllName) != nullptr; ++i) Sleep(10);
  EXPECT_EQ(GetModuleHandleA(kDllName), nullptr) << "the module is unloaded once the last check has ended";

  for (int f = 0; f < kFolders; ++f) {
    const std::string& dir = folders[f]->path();
    for (const std::string& name : sets[f].names) {
      EXPECT_TRUE(FileExists(dir + name)) << Listing(dir);
      EXPECT_FALSE(FileExists(Marker(dir, name, "-[MISSING]"))) << Listing(dir);
    }
    for (const std::string& meter : MeterFolders(dir)) EXPECT_NE(meter.find("100% complete"), std::string::npos);
    EXPECT_FALSE(FileExists(dir + ".qdrl.set.sfv.state"));
  }

  // Loaded again, it starts afresh.
  Plugin again;
  ASSERT_TRUE(again.ready());
  again.WaitForChecks();
}

// Several hundred file events over several folders while another host thread
// sends idle events; then the shutdown. Every folder ends in the state its
// files call for, and no handle is left behind.
TEST_F(PluginTest, ManyEventsWithIdleEventsFromAnotherThread) {
  constexpr int kFolders = 4;
  constexpr int kFiles = 8;
  constexpr int kEventsPerFile = 12;

  // Warm up, so that whatever the system opens once is open before counting.
  TempDirectory warmUp;
  WriteFileBytes(warmUp / "set.sfv", "a.bin 00000000\r\n");
  plugin.FileEvent(warmUp / "set.sfv");
  plugin.WaitForChecks();
  plugin.Qndrl(kEventIdle);
  const DWORD handlesBefore = HandlesOfThisProcess();
  ASSERT_NE(handlesBefore, 0u);

  std::vector<std::unique_ptr<TempDirectory>> folders;
  std::vector<UploadSet> sets;
  for (int f = 0; f < kFolders; ++f) {
    folders.push_back(std::make_unique<TempDirectory>());
    // One more file is listed than ever arrives.
    sets.push_back(MakeSet(kFiles + 1, 20000, 1000 + 100 * f));
    WriteFileBytes(*folders[f] / "set.sfv", sets[f].SfvText());
  }

  struct Idler {
    Plugin* plugin;
    std::atomic<bool> stop{false};
    std::atomic<int> events{0};
  } idler{&plugin};
  OwnedObject idleThread = StartThread([&idler] {
    while (!idler.stop) {
      idler.plugin->Qndrl(kEventIdle);
      ++idler.events;
      Sleep(1);
    }
  });
  ASSERT_TRUE(idleThread);

  int events = 0;
  for (int i = 0; i < kFiles; ++i) {
    for (int f = 0; f < kFolders; ++f) {
      const std::string path = *folders[f] / sets[f].names[i];
      WriteFileBytes(path, sets[f].contents[i]);
      for (int e = 0; e < kEventsPerFile; ++e, ++events) {
        EXPECT_EQ(plugin.FileEvent(path, e % 2 ? kEventFileArrivedAlt : kEventFileArrived), 0);
      }
    }
  }
  // The shutdown wait and the idle events overlap on purpose.
  plugin.WaitForChecks();
  idler.stop = true;
  WaitForSingleObject(idleThread.get(), INFINITE);
  idleThread.reset();
  EXPECT_GT(idler.events.load(), 0);
  EXPECT_EQ(events, kFolders * kFiles * kEventsPerFile);

  for (int f = 0; f < kFolders; ++f) {
    const std::string& dir = folders[f]->path();
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_TRUE(FileExists(dir + sets[f].names[i])) << Listing(dir);
      EXPECT_FALSE(FileExists(Marker(dir, sets[f].names[i], "-[MISSING]"))) << Listing(dir);
      EXPECT_FALSE(FileExists(Marker(dir, sets[f].names[i], "-[BAD]"))) << Listing(dir);
    }
    EXPECT_TRUE(FileExists(Marker(dir, sets[f].names[kFiles], "-[MISSING]"))) << Listing(dir);
    const std::vector<std::string> meters = MeterFolders(dir);
    ASSERT_EQ(meters.size(), 1u) << Listing(dir);
    EXPECT_NE(meters[0].find("89% complete"), std::string::npos) << meters[0];  // 8 of 9
  }

  EXPECT_EQ(HandlesOfThisProcess(), handlesBefore);
}

// A file whose event comes while a check of its directory is already
// running gets a check that starts after the event and sees it. The
// first pass finds the late file still being written (so it is MISSING), and
// is kept busy by many files after it.
TEST_F(PluginTest, AFileArrivingDuringAPassIsCheckedByALaterPass) {
  TempDirectory upload;
  const std::string& dir = upload.path();
  UploadSet set = MakeSet(1, 1000, 500);
  set.names[0] = "late.bin";
  for (int i = 0; i < 1500; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "fill%04d.bin", i);
    set.names.push_back(name);
    set.contents.push_back(RandomBytes(64, 600 + i));
  }
  WriteFileBytes(dir + "set.sfv", set.SfvText());
  for (std::size_t i = 1; i < set.names.size(); ++i) WriteFileBytes(dir + set.names[i], set.contents[i]);
  plugin.WaitForChecks();  // the first window a process makes is slow to come

  OwnedFile writing(CreateFileA((dir + "late.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writing);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writing.get(), set.contents[0].data(), static_cast<DWORD>(set.contents[0].size()), &written,
                        nullptr));

  EXPECT_EQ(plugin.FileEvent(dir + set.names[1]), 0);
  const std::string lateMarker = Marker(dir, "late.bin", "-[MISSING]");
  for (int i = 0; i < 60000 && !FileExists(lateMarker); ++i) Sleep(1);
  ASSERT_TRUE(FileExists(lateMarker)) << "the first pass looked at late.bin";
  // The first pass is still hashing the files after late.bin (it makes its
  // meter folder last).

  writing.reset();
  EXPECT_EQ(plugin.FileEvent(dir + "late.bin"), 0);
  plugin.WaitForChecks();

  EXPECT_TRUE(FileExists(dir + "late.bin"));
  EXPECT_FALSE(FileExists(lateMarker));
  EXPECT_FALSE(FileExists(dir + ".qdrl.set.sfv.state"));
  const std::vector<std::string> meters = MeterFolders(dir);
  for (const std::string& meter : meters) EXPECT_NE(meter.find("100% complete"), std::string::npos) << meter;
}

}  // namespace
}  // namespace sfvcheck
