// The rescan tool as an operator runs it, against a tree of sets in every
// state, and against the plug-in DLL checking a twin of the same tree: the
// tool must report what a check decides, change nothing with --report, and
// otherwise leave the disk exactly as file events would. Both programs take
// the machine-wide pass lock.
// Threads: the test thread plays the server and the operator; the tool runs
// as a child process, the plug-in's checks on its own thread.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings/run_settings.h"
#include "tests/support/directory_link_win32.h"
#include "tests/support/dll_host_win32.h"
#include "tests/support/temp_directory_win32.h"
#include "tests/support/tree_fingerprint_win32.h"
#include "tools/support/test_data.h"
#include "win32/machine_pass_lock_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

using testing::FileExists;
using testing::FingerprintTree;
using testing::PluginHost;
using testing::RandomBytes;
using testing::SfvLine;
using testing::TempDirectory;
using testing::WriteFileBytes;

std::string ThisProgram() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

// The tool beside this test program.
std::string ToolPath() {
  const std::string self = ThisProgram();
  return self.substr(0, self.find_last_of('\\') + 1) + "sfvcheck-rescan.exe";
}

// A child process with its stdout and stderr on one pipe: the tool, or this
// program playing another process.
class RunningTool {
 public:
  explicit RunningTool(const std::string& arguments, const std::string& program = ToolPath()) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return;
    output_.reset(readEnd);
    OwnedObject writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    startup.hStdInput = nullptr;
    std::string command = "\"" + program + "\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      ADD_FAILURE() << "cannot start " << command;
      return;
    }
    CloseHandle(process.hThread);
    process_.reset(process.hProcess);
  }

  // Reads output until `text` has come; false when the child ended first.
  bool AwaitOutput(const std::string& text) {
    std::string seen;
    char buffer[256];
    DWORD got = 0;
    while (seen.find(text) == std::string::npos) {
      if (!output_ || !ReadFile(output_.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
      seen.append(buffer, got);
    }
    return true;
  }

  void Kill() {
    if (process_) TerminateProcess(process_.get(), 1);
  }

  bool StillRunningAfter(DWORD milliseconds) {
    return process_ && WaitForSingleObject(process_.get(), milliseconds) == WAIT_TIMEOUT;
  }

  // Waits for the end; the tool's stdout and stderr together.
  std::string Finish(DWORD* exitCode) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (output_ && ReadFile(output_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
      text.append(buffer, got);
    }
    *exitCode = 0xFFFFFFFF;
    if (process_ && WaitForSingleObject(process_.get(), 120000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process_.get(), exitCode);
    }
    return text;
  }

 private:
  OwnedObject process_;
  OwnedObject output_;
};

struct ToolRun {
  DWORD exitCode;
  std::string output;
};

ToolRun RunTool(const std::string& arguments) {
  RunningTool tool(arguments);
  ToolRun run{};
  run.output = tool.Finish(&run.exitCode);
  return run;
}

// A set of two listed files, a.bin and b.bin, in `directory` (ending in '\').
// What is on disk beside the list is up to the caller.
struct TwoFileSet {
  std::string a = RandomBytes(3000, 1);
  std::string b = RandomBytes(5000, 2);

  void WriteList(const std::string& directory) const {
    WriteFileBytes(directory + "set.sfv", SfvLine("a.bin", testing::BitwiseCrc32(a)) +
                                             SfvLine("b.bin", testing::BitwiseCrc32(b)));
  }
};

// The tree, the same every time it is made:
//   complete\        both files good
//   nested\sub\      a list one level down; b.bin missing
//   nested\outside   a junction to a directory outside the tree
//   onebad\          b.bin corrupt
//   onemissing\      b.bin not uploaded
//   stale\           both files good, with a MissingMarker of a.bin and a
//                    BadMarker of b.bin left from before they arrived
void MakeTree(const std::string& root) {
  const TwoFileSet set;
  for (const char* name : {"complete\\", "nested\\", "nested\\sub\\", "onebad\\", "onemissing\\", "stale\\"}) {
    ASSERT_TRUE(CreateDirectoryA((root + name).c_str(), nullptr)) << root + name;
  }
  for (const char* name : {"complete\\", "nested\\sub\\", "onebad\\", "onemissing\\", "stale\\"}) {
    set.WriteList(root + name);
    WriteFileBytes(root + name + "a.bin", set.a);
  }
  WriteFileBytes(root + "complete\\b.bin", set.b);
  WriteFileBytes(root + "onebad\\b.bin", RandomBytes(5000, 3));
  WriteFileBytes(root + "stale\\b.bin", set.b);
  WriteFileBytes(root + "stale\\a-[MISSING].bin", "");
  WriteFileBytes(root + "stale\\b-[BAD].bin", RandomBytes(5000, 4));
}

// Where two trees differ, one line per name. State files hold full paths, so
// theirs are compared with each tree's root taken out.
std::vector<std::string> TreeDifferences(const std::string& rootA, const std::string& rootB) {
  const testing::TreeFingerprint a = FingerprintTree(rootA);
  const testing::TreeFingerprint b = FingerprintTree(rootB);
  auto relative = [](std::string text, const std::string& root) {
    for (std::size_t at; (at = text.find(root)) != std::string::npos;) text.erase(at, root.size());
    return text;
  };
  std::vector<std::string> differences;
  for (const auto& [name, entry] : a) {
    auto other = b.find(name);
    if (other == b.end()) {
      differences.push_back("only in the first: " + name);
    } else if (name.size() > 6 && name.compare(name.size() - 6, 6, ".state") == 0) {
      if (relative(testing::ReadFileBytes(rootA + name), rootA) !=
          relative(testing::ReadFileBytes(rootB + name), rootB)) {
        differences.push_back("differs: " + name);
      }
    } else if (!(other->second == entry)) {
      differences.push_back("differs: " + name);
    }
  }
  for (const auto& [name, entry] : b) {
    if (a.count(name) == 0) differences.push_back("only in the second: " + name);
  }
  return differences;
}

// A path as one argument of a command line. A trailing '\' would escape the
// closing quote, so it is left off.
std::string Quoted(std::string path) {
  if (path.size() > 3 && path.back() == '\\') path.pop_back();
  return "\"" + path + "\"";
}

class RescanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PluginHost::Get().loaded());
    testing::UseDefaultSettings();
    // A set outside the tree, incomplete, so any check that reached it
    // through the junction would leave a marker and a meter there.
    TwoFileSet set;
    set.WriteList(outside_.path());
    WriteFileBytes(outside_ / "a.bin", set.a);
  }

  // The report lines the tree calls for, in the tool's walk order.
  std::string ExpectedReport(const std::string& root) const {
    auto line = [&](const char* directory, int good, int bad, int missing, int percent) {
      return root + directory + "\tset.sfv\t2 entries\t" + std::to_string(good) + " good\t" +
             std::to_string(bad) + " bad\t" + std::to_string(missing) + " missing\t" + std::to_string(percent) +
             "%\n";
    };
    return line("complete\\", 2, 0, 0, 100) + line("nested\\sub\\", 1, 0, 1, 50) + line("onebad\\", 1, 1, 0, 50) +
           line("onemissing\\", 1, 0, 1, 50) + line("stale\\", 2, 0, 0, 100);
  }

  TempDirectory outside_;
};

TEST_F(RescanTest, ReportChangesNothingAndRescanLeavesWhatFileEventsLeave) {
  TempDirectory byTool;
  TempDirectory byPlugin;
  MakeTree(byTool.path());
  MakeTree(byPlugin.path());
  const std::string outsideTarget = outside_.path().substr(0, outside_.path().size() - 1);
  testing::DirectoryLink toolLink(byTool / "nested\\outside", outsideTarget);
  testing::DirectoryLink pluginLink(byPlugin / "nested\\outside", outsideTarget);
  ASSERT_TRUE(toolLink.made() && pluginLink.made()) << "cannot link to " << outsideTarget;
  const testing::TreeFingerprint outsideBefore = FingerprintTree(outside_.path());
  const testing::TreeFingerprint treeBefore = FingerprintTree(byTool.path());

  ToolRun report = RunTool("--report --recursive " + Quoted(byTool.path()));
  EXPECT_EQ(report.exitCode, 1u);
  EXPECT_EQ(report.output, ExpectedReport(byTool.path()));
  EXPECT_TRUE(FingerprintTree(byTool.path()) == treeBefore) << "--report changed the tree";

  ToolRun rescan = RunTool("--recursive --quiet " + Quoted(byTool.path()));
  EXPECT_EQ(rescan.exitCode, 1u);
  EXPECT_EQ(rescan.output, ExpectedReport(byTool.path()));

  // The same tree checked by the plug-in: one file event per directory.
  for (const char* name : {"complete\\", "nested\\sub\\", "onebad\\", "onemissing\\", "stale\\"}) {
    PluginHost::Get().CheckNow(byPlugin.path() + name + "a.bin");
  }
  EXPECT_EQ(TreeDifferences(byTool.path(), byPlugin.path()), std::vector<std::string>{})
      << "the tool and the plug-in left different trees";
  EXPECT_TRUE(FileExists(byTool / "onebad\\b-[BAD].bin"));
  EXPECT_TRUE(FileExists(byTool / "onemissing\\b-[MISSING].bin"));
  EXPECT_FALSE(FileExists(byTool / "stale\\a-[MISSING].bin"));
  EXPECT_TRUE(FingerprintTree(outside_.path()) == outsideBefore) << "a check went through the junction";

  // After the rescan the corrupt file is gone from its name but still bad,
  // so a report tells the same; two given directories are reported in turn.
  ToolRun again = RunTool("--report --json \"" + byTool.path() + "onebad\" \"" + byTool.path() + "complete\"");
  EXPECT_EQ(again.exitCode, 1u);
  std::string onebad = byTool.path() + "onebad\\";
  std::string complete = byTool.path() + "complete\\";
  auto json = [](std::string text) {
    std::string escaped;
    for (char c : text) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
  };
  EXPECT_EQ(again.output,
            "{\"directory\":\"" + json(onebad) +
                "\",\"list\":\"set.sfv\",\"entries\":2,\"good\":1,\"bad\":1,\"missing\":0,\"percent\":50}\n"
                "{\"directory\":\"" + json(complete) +
                "\",\"list\":\"set.sfv\",\"entries\":2,\"good\":2,\"bad\":0,\"missing\":0,\"percent\":100}\n");

  ToolRun completeOnly = RunTool(Quoted(byTool / "complete"));
  EXPECT_EQ(completeOnly.exitCode, 0u) << completeOnly.output;

  // The missing file arrives: a recursive rescan completes the set, and the
  // old meter folder it removes on the way is no error.
  WriteFileBytes(byTool / "onemissing\\b.bin", TwoFileSet().b);
  ToolRun completed = RunTool("--recursive --quiet " + Quoted(byTool / "onemissing"));
  EXPECT_EQ(completed.exitCode, 0u) << completed.output;
}

TEST_F(RescanTest, UsageAndAccessErrorsExitWithTwo) {
  EXPECT_EQ(RunTool("").exitCode, 2u);
  EXPECT_EQ(RunTool("--no-such-option .").exitCode, 2u);
  ToolRun absent = RunTool("\"" + outside_.path() + "no-such-directory\"");
  EXPECT_EQ(absent.exitCode, 2u);
  EXPECT_NE(absent.output.find("not a directory"), std::string::npos) << absent.output;
  // A list another process is still writing cannot be read: an error, not a
  // complete set, and not an incomplete one either, though another list of
  // the directory is.
  WriteFileBytes(outside_ / "other.sfv", SfvLine("a.bin", testing::BitwiseCrc32(TwoFileSet().a)) +
                                             SfvLine("c.bin", 0));
  OwnedFile held(CreateFileA((outside_ / "set.sfv").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  EXPECT_EQ(RunTool("--report " + Quoted(outside_.path())).exitCode, 2u);
}

// A step the check cannot do (here the rename over a BAD file that another
// process holds) is told on stderr with the system's message and makes the
// exit status 2; the corrupt file and the older BAD file stay as they were.
TEST_F(RescanTest, AFailedStepIsToldAndExitsWithTwo) {
  const std::string corrupt = RandomBytes(5000, 3);
  WriteFileBytes(outside_ / "b.bin", corrupt);
  WriteFileBytes(outside_ / "b-[BAD].bin", "older");
  OwnedFile held(CreateFileA((outside_ / "b-[BAD].bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  const ToolRun run = RunTool("--quiet " + Quoted(outside_.path()));
  held.reset();
  EXPECT_EQ(run.exitCode, 2u) << run.output;
  EXPECT_NE(run.output.find("cannot move the corrupt file " + outside_ / "b.bin" + " aside: "), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(" (error "), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("(error 0)"), std::string::npos) << run.output;
  EXPECT_EQ(testing::ReadFileBytes(outside_ / "b.bin"), corrupt);
  EXPECT_EQ(testing::ReadFileBytes(outside_ / "b-[BAD].bin"), "older");
  EXPECT_FALSE(FileExists(outside_ / ".qdrl.b-[BAD].bin.copy.tmp"));
}

// The lock shared with the plug-in, held here as another process's pass
// would hold it: neither the tool nor the plug-in may start a pass meanwhile.
TEST_F(RescanTest, NeitherProgramRunsAPassWhileTheOtherHoldsTheLock) {
  const std::string marker = outside_ / "b-[MISSING].bin";
  MachinePassLock lock;
  ASSERT_TRUE(lock.Open()) << "error " << lock.error();
  ASSERT_TRUE(lock.Acquire(0));

  RunningTool tool("--quiet " + Quoted(outside_.path()));
  EXPECT_TRUE(tool.StillRunningAfter(1500));
  EXPECT_FALSE(FileExists(marker)) << "the tool ran a pass under another's lock";
  lock.Release();
  DWORD exitCode = 0;
  tool.Finish(&exitCode);
  EXPECT_EQ(exitCode, 1u);
  EXPECT_TRUE(FileExists(marker));

  ASSERT_TRUE(DeleteFileA(marker.c_str()));
  ASSERT_TRUE(lock.Acquire(0));
  PluginHost::Get().FileArrived(outside_ / "a.bin");
  Sleep(1500);
  EXPECT_FALSE(FileExists(marker)) << "the plug-in ran a pass under another's lock";
  lock.Release();
  PluginHost::Get().WaitForChecks("check after the lock was released");
  EXPECT_TRUE(FileExists(marker));
}

// With the outcome log on, a set that a rescan completes is announced once,
// as the plug-in would announce it; a report logs nothing.
TEST_F(RescanTest, ARescanThatCompletesASetLogsItOnce) {
  TempDirectory logs;
  const std::string log = logs / "outcomes.log";
  testing::SetSettingText(kLogFileValue, log);
  EXPECT_EQ(RunTool("--report --quiet " + Quoted(outside_.path())).exitCode, 1u);
  EXPECT_FALSE(FileExists(log)) << "a report wrote to the log";
  WriteFileBytes(outside_ / "b.bin", TwoFileSet().b);
  EXPECT_EQ(RunTool("--quiet " + Quoted(outside_.path())).exitCode, 0u);
  EXPECT_EQ(RunTool("--quiet " + Quoted(outside_.path())).exitCode, 0u);
  testing::UseDefaultSettings();
  const std::string text = FileExists(log) ? testing::ReadFileBytes(log) : std::string();
  EXPECT_EQ(text.find("\"kind\":\"complete\""), text.rfind("\"kind\":\"complete\"")) << text;
  EXPECT_NE(text.find("\"files\":2,\"bytes\":8000,"), std::string::npos) << text;
}

// Files made through the wide API, for names the ANSI functions cannot
// reach; removed again, deepest first, when the object goes.
class WideTree {
 public:
  ~WideTree() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      if (!DeleteFileW(it->c_str())) RemoveDirectoryW(it->c_str());
    }
  }
  bool Directory(const std::wstring& path) { return Made(path, CreateDirectoryW(path.c_str(), nullptr) != FALSE); }
  bool File(const std::wstring& path, const std::string& bytes) {
    OwnedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return Made(path, file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                        nullptr) && written == bytes.size());
  }

 private:
  bool Made(const std::wstring& path, bool made) {
    if (made) made_.push_back(path);
    return made;
  }
  std::vector<std::wstring> made_;
};

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// What the tool cannot see is its error, never a complete set: a directory
// whose "\*.sfv" pattern is too long for a path although the directory's
// own path fits. A subdirectory whose name the ANSI code page cannot show
// is walked all the same (by its short name).
TEST_F(RescanTest, WhatCannotBeListedIsAnErrorAndUnshowableNamesAreWalked) {
  TempDirectory tree;
  TempDirectory walkedTree;
  const TwoFileSet set;
  const std::string list = SfvLine("a.bin", testing::BitwiseCrc32(set.a)) + SfvLine("b.bin", testing::BitwiseCrc32(set.b));
  WideTree made;
  // 256 characters: "dir\*" fits in a path, "dir\*.sfv" does not.
  const std::string longDirectory = tree.path() + std::string(256 - tree.path().size(), 'd');
  ASSERT_TRUE(made.Directory(L"\\\\?\\" + Wide(longDirectory)));
  ASSERT_TRUE(made.File(L"\\\\?\\" + Wide(longDirectory) + L"\\set.sfv", list));
  ToolRun tooLong = RunTool("--report " + Quoted(longDirectory));
  EXPECT_EQ(tooLong.exitCode, 2u) << tooLong.output;
  EXPECT_NE(tooLong.output.find("cannot list the SFV files in " + longDirectory), std::string::npos)
      << tooLong.output;

  // A Cyrillic name, which code page 1252 shows as '?'; a.bin there, b.bin
  // missing, so the set is incomplete.
  const std::wstring unshowable = Wide(walkedTree.path()) + L"\u0416\u0416\u0416";
  ASSERT_TRUE(made.Directory(unshowable));
  ASSERT_TRUE(made.File(unshowable + L"\\set.sfv", list));
  ASSERT_TRUE(made.File(unshowable + L"\\a.bin", set.a));
  ToolRun walked = RunTool("--report --recursive " + Quoted(walkedTree.path()));
  EXPECT_EQ(walked.exitCode, 1u) << walked.output;
  EXPECT_NE(walked.output.find("\tset.sfv\t2 entries\t1 good\t0 bad\t1 missing\t50%\n"), std::string::npos)
      << walked.output;
}

constexpr char kHoldLockVariable[] = "SFVCHECK_TEST_HOLD_PASS_LOCK";

// Not a test of its own: the child process of the test below, which holds the
// pass lock as another program that never lets go would.
TEST(PassLockHolder, HoldsTheLockWhenStartedToDoSo) {
  if (GetEnvironmentVariableA(kHoldLockVariable, nullptr, 0) == 0) GTEST_SKIP() << "run by the test below";
  MachinePassLock lock;
  ASSERT_TRUE(lock.Open() && lock.Acquire(0));
  std::printf("lock held\n");
  std::fflush(stdout);
  Sleep(120000);
}

// Another process takes the lock and keeps it: the plug-in waits for it a
// few seconds, then checks all the same, and the shutdown is not held up.
TEST_F(RescanTest, PluginChecksAndShutsDownWhileAnotherProcessKeepsTheLock) {
  const std::string marker = outside_ / "b-[MISSING].bin";
  SetEnvironmentVariableA(kHoldLockVariable, "1");
  RunningTool holder("--gtest_filter=PassLockHolder.*", ThisProgram());
  SetEnvironmentVariableA(kHoldLockVariable, nullptr);
  ASSERT_TRUE(holder.AwaitOutput("lock held"));

  PluginHost::Get().FileArrived(outside_ / "a.bin");
  Sleep(1000);
  EXPECT_FALSE(FileExists(marker)) << "the plug-in did not wait for the lock at all";
  const DWORD start = GetTickCount();
  PluginHost::Get().WaitForChecks("check while another process keeps the lock", 60);
  EXPECT_LT(GetTickCount() - start, 15000u) << "the shutdown waited too long for the lock";
  EXPECT_TRUE(FileExists(marker)) << "no check while another process keeps the lock";

  // Later checks do not wait again for a holder that did not let go.
  ASSERT_TRUE(DeleteFileA(marker.c_str()));
  const DWORD again = GetTickCount();
  PluginHost::Get().CheckNow(outside_ / "a.bin");
  EXPECT_LT(GetTickCount() - again, 4000u);
  EXPECT_TRUE(FileExists(marker));

  // Once the holder is gone the plug-in takes the lock again.
  holder.Kill();
  DWORD exitCode = 0;
  holder.Finish(&exitCode);
  PluginHost::Get().CheckNow(outside_ / "a.bin");
  MachinePassLock lock;
  ASSERT_TRUE(lock.Open());
  ASSERT_TRUE(lock.Acquire(0));
  ASSERT_TRUE(DeleteFileA(marker.c_str()));
  PluginHost::Get().FileArrived(outside_ / "a.bin");
  Sleep(1500);
  EXPECT_FALSE(FileExists(marker)) << "the plug-in no longer waits for the lock";
  lock.Release();
  PluginHost::Get().WaitForChecks("check after the holder ended");
  EXPECT_TRUE(FileExists(marker));
}

}  // namespace
}  // namespace sfvcheck
