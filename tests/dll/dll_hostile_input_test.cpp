// Hostile SFV lists and hostile file events, fed to the plug-in DLL the way
// the host feeds it. Around every case a sandbox is fingerprinted before and
// after: the check may touch nothing outside the set's directory and may
// lose nothing inside it.
//
// Threads: the test thread drives the DLL; one case starts a writer thread
// that rewrites a list while checks read it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/host/host_record.h"
#include "tests/support/dll_host_win32.h"
#include "tests/support/temp_directory_win32.h"
#include "tests/support/tree_fingerprint_win32.h"
#include "tests/support/wine_host_win32.h"
#include "tools/support/test_data.h"

namespace sfvcheck {
namespace {

using testing::BitwiseCrc32;
using testing::ContainmentBreaches;
using testing::FingerprintTree;
using testing::GuardedRecord;
using testing::PluginHost;
using testing::SfvLine;
using testing::TempDirectory;
using testing::TreeFingerprint;
using testing::WriteFileBytes;

constexpr char kSetDirectory[] = "up\\set\\";
constexpr char kKeep[] = "contents of keep.rar, a good upload";
constexpr char kInner[] = "contents of sub\\inner.rar";
constexpr std::uint32_t kWrongCrc = 0x00000001;

// A folder with one set directory (up\set\) and, around it, a parent with a
// list of its own, a sibling set, a sibling folder and files at the root: the
// targets a list or a path might try to reach.
//
//   victim.txt  victim.rar  sibling\victim.txt
//   up\victim.txt  up\parentfile.rar  up\parent.sfv
//   up\other\a.rar  up\other\other.sfv
//   up\set\keep.rar  up\set\sub\inner.rar
//
// The current directory is up\ for the sandbox's life, so drive-relative
// names ("C:victim.txt") land inside it too.
class Sandbox {
 public:
  Sandbox() {
    testing::UseDefaultSettings();
    for (const char* directory : {"up\\", "up\\set\\", "up\\set\\sub\\", "up\\other\\", "sibling\\"}) {
      CreateDirectoryA(Path(directory).c_str(), nullptr);
    }
    Write("victim.txt", "victim at the root");
    Write("victim.rar", "another victim at the root");
    Write("sibling\\victim.txt", "victim in a sibling folder");
    Write("up\\victim.txt", "victim in the parent");
    Write("up\\parentfile.rar", "a file of the parent's own list");
    Write("up\\parent.sfv", SfvLine("parentfile.rar", kWrongCrc) + SfvLine("parentabsent.rar", kWrongCrc));
    Write("up\\other\\a.rar", "a file of the sibling set");
    Write("up\\other\\other.sfv", SfvLine("a.rar", kWrongCrc) + SfvLine("b.rar", kWrongCrc));
    Write("up\\set\\keep.rar", kKeep);
    Write("up\\set\\sub\\inner.rar", kInner);
    GetCurrentDirectoryA(MAX_PATH, savedDirectory_);
    SetCurrentDirectoryA(Path("up\\").c_str());
  }
  ~Sandbox() { SetCurrentDirectoryA(savedDirectory_); }

  const std::string& root() const { return temp_.path(); }
  std::string Path(const std::string& relative) const { return temp_ / relative; }
  std::string Set(const std::string& name = "") const { return Path(kSetDirectory + name); }
  void Write(const std::string& relative, const std::string& bytes) const { WriteFileBytes(Path(relative), bytes); }

  // The root without its drive ("\users\...\"), and its name on drive Z:
  // when Wine can tell the host path.
  std::string RootWithoutDrive() const { return root().substr(2); }
  std::string RootOnDriveZ() const {
    const std::string name = testing::HostNameOf(root());
    if (name.empty()) return "";
    std::string path = "Z:" + name;
    for (char& c : path) c = c == '/' ? '\\' : c;
    if (path.back() != '\\') path += '\\';
    return path;
  }

  // Checks the set through the DLL and fails the test on any breach of the
  // containment rule. With `expectPass`, the list must also have been read:
  // keep.rar is still good and a meter folder stands in the set.
  void CheckSet(const std::string& what, bool expectPass = true) const {
    ASSERT_TRUE(PluginHost::Get().loaded());
    TreeFingerprint before = FingerprintTree(root());
    PluginHost::Get().CheckNow(Set("keep.rar"), what);
    ExpectContained(before, what, expectPass);
  }

  void ExpectContained(const TreeFingerprint& before, const std::string& what, bool expectPass) const {
    TreeFingerprint after = FingerprintTree(root());
    for (const std::string& breach : ContainmentBreaches(before, after, kSetDirectory)) {
      ADD_FAILURE() << what << ": " << breach;
    }
    if (!expectPass) return;
    EXPECT_TRUE(HasMeterFolder()) << what << ": the list was not read";
    EXPECT_TRUE(testing::FileExists(Set("keep.rar"))) << what;
    EXPECT_FALSE(testing::FileExists(Set("keep-[MISSING].rar"))) << what;
  }

  bool HasMeterFolder() const {
    for (const std::string& name : testing::ListDirectory(Set())) {
      if (name.rfind("--==[", 0) == 0 && testing::DirectoryExists(Set(name))) return true;
    }
    return false;
  }

 private:
  TempDirectory temp_;
  char savedDirectory_[MAX_PATH] = {};
};

std::string KeepLine() { return SfvLine("keep.rar", BitwiseCrc32(kKeep)); }

// Every victim and every absent name, reached through `up1` (one level up
// from the set) and `up2` (two levels up), with a checksum that does not
// match: a check that followed these names would move the victims aside or
// leave markers outside the set.
std::string ClimbingList(const std::string& up1, const std::string& up2) {
  std::string list = KeepLine();
  for (const char* name : {"victim.txt", "parentfile.rar", "other\\a.rar", "absent1.txt"}) {
    list += SfvLine(up1 + name, kWrongCrc);
  }
  for (const char* name : {"victim.txt", "victim.rar", "sibling\\victim.txt", "absent2.txt"}) {
    list += SfvLine(up2 + name, kWrongCrc);
  }
  return list;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

struct ClimbForm {
  const char* label;
  std::string step;         // one level up, repeated
  std::string lead = "";    // written once before the steps
};

// The rule itself: each kind of breach is seen, and a move aside is not one.
TEST(HostileListTest, TheSandboxSeesEveryKindOfBreach) {
  Sandbox sandbox;
  TreeFingerprint before = FingerprintTree(sandbox.root());
  sandbox.Write("victim.txt", "changed");
  DeleteFileA(sandbox.Path("up\\victim.txt").c_str());
  sandbox.Write("sibling\\victim-[MISSING].txt", "");
  DeleteFileA(sandbox.Set("sub\\inner.rar").c_str());
  MoveFileA(sandbox.Set("keep.rar").c_str(), sandbox.Set("keep-[BAD].rar").c_str());
  sandbox.Write("up\\set\\keep-[MISSING].rar", "");
  std::vector<std::string> breaches = ContainmentBreaches(before, FingerprintTree(sandbox.root()), kSetDirectory);
  std::sort(breaches.begin(), breaches.end());
  EXPECT_EQ(breaches, (std::vector<std::string>{"changed outside: victim.txt",
                                                "created outside: sibling\\victim-[MISSING].txt",
                                                "deleted outside: up\\victim.txt",
                                                "file lost inside: up\\set\\sub\\inner.rar"}));
}

TEST(HostileListTest, RelativeClimbsStayInTheSet) {
  const std::vector<ClimbForm> forms = {
      {"..\\", "..\\"},
      {"../", "../"},
      {"mixed ..\\ and ../", "..\\", "../"},
      {"sub\\..\\..\\", "..\\", "sub\\..\\"},
      {"sub/../../", "../", "sub/../"},
      {"sub\\.\\..\\..\\", "..\\", "sub\\.\\..\\"},
      {".\\..\\", ".\\..\\"},
      {"'.. '", ".. \\"},
      {"'..  '", "..  \\"},
      {"' ..'", " ..\\"},
      {"'. .'", ". .\\"},
      {"...", "...\\"},
      {"....", "....\\"},
      {"'.. .'", ".. .\\"},
      {"..\\\\ doubled separator", "..\\\\"},
      {"sub\\\\..\\\\..\\\\", "..\\\\", "sub\\\\..\\\\"},
      {"..<tab>", "..\t\\"},
      {"..<nbsp>", "..\xA0\\"},
      {"%2e%2e", "%2e%2e\\"},
      {"..%5c", "..%5c"},
  };
  for (const ClimbForm& form : forms) {
    Sandbox sandbox;
    sandbox.Write("up\\set\\set.sfv", ClimbingList(form.lead + form.step, form.lead + Repeat(form.step, 2)));
    sandbox.CheckSet(std::string("climb form ") + form.label);
  }
}

// The sandbox's root written in every absolute form Windows knows.
std::vector<std::string> AbsoluteRoots(const Sandbox& sandbox) {
  const std::string full = sandbox.root();
  const std::string noDrive = sandbox.RootWithoutDrive();
  std::string forward = full;
  for (char& c : forward) c = c == '\\' ? '/' : c;
  std::vector<std::string> roots = {
      full,                                   // C:\...
      noDrive,                                // \users\...
      forward.substr(2),                      // /users/...
      forward,                                // C:/users/...
      "\\\\?\\" + full,                       // \\?\C:\...
      "\\\\.\\" + full,                       // \\.\C:\...
      "//?/" + forward,                       // //?/C:/...
      "\\??\\" + full,                        // \??\C:\... (native form)
      "\\\\localhost\\C$" + noDrive,          // \\localhost\C$\...
      "\\\\?\\UNC\\localhost\\C$" + noDrive,  // \\?\UNC\localhost\C$\...
      "c:" + noDrive,                         // lower-case drive letter
  };
  std::string onZ = sandbox.RootOnDriveZ();
  if (!onZ.empty()) roots.push_back(onZ);
  return roots;
}

TEST(HostileListTest, AbsoluteNamesStayInTheSet) {
  const std::size_t count = AbsoluteRoots(Sandbox()).size();
  for (std::size_t i = 0; i < count; ++i) {
    Sandbox sandbox;
    const std::string root = AbsoluteRoots(sandbox)[i];
    const std::string up = root + (root.find('/') != std::string::npos ? "up/" : "up\\");
    sandbox.Write("up\\set\\set.sfv", ClimbingList(up, root));
    sandbox.CheckSet("absolute form " + root);
  }
  // Drive-relative names resolve against the current directory, up\ of the
  // sandbox.
  for (const auto& [up1, up2] : std::vector<std::pair<std::string, std::string>>{
           {"C:", "C:..\\"}, {"c:", "c:../"}, {"C:.\\", "C:.\\..\\"}}) {
    Sandbox sandbox;
    sandbox.Write("up\\set\\set.sfv", ClimbingList(up1, up2));
    sandbox.CheckSet("drive-relative form " + up1);
  }
}

TEST(HostileListTest, StreamNamesTouchNoOtherFile) {
  Sandbox sandbox;
  std::string list = KeepLine();
  for (const char* name : {"keep.rar:evil", "keep.rar::$DATA", "keep.rar:evil:$DATA", "absent.rar:x",
                           "sub:x\\inner.rar", "sub\\inner.rar:$DATA", ":x", "x:", "..:\\victim.txt"}) {
    list += SfvLine(name, kWrongCrc);
  }
  sandbox.Write("up\\set\\set.sfv", list);
  sandbox.CheckSet("stream names");
  EXPECT_EQ(testing::ReadFileBytes(sandbox.Set("keep.rar")), kKeep);
}

// A NUL inside a name cuts it short for every file function: "keep.rar\0.x"
// would hash keep.rar, copy it onto itself and delete it.
TEST(HostileListTest, NulBytesInNamesLoseNothing) {
  const std::vector<std::string> names = {
      std::string("keep.rar\0.x", 11),
      std::string("keep.rar\0\\x", 11),
      std::string("keep.rar\0", 9),
      std::string("keep\0.rar", 9),
      std::string("sub\\inner.rar\0.x", 16),
      std::string("sub\0\\..\\..\\victim.txt", 22),
      std::string("\0..\\..\\victim.txt", 17),
      std::string("..\0\\..\\victim.txt", 17),
      std::string("x\0..\\..\\victim.txt", 18),
  };
  for (const std::string& name : names) {
    Sandbox sandbox;
    sandbox.Write("up\\set\\set.sfv", KeepLine() + SfvLine(name, kWrongCrc));
    std::string shown = name;
    for (char& c : shown) c = c == '\0' ? '@' : c;
    sandbox.CheckSet("NUL in name " + shown + " (@ = NUL)");
    EXPECT_EQ(testing::ReadFileBytes(sandbox.Set("keep.rar")), kKeep) << shown;
  }

  // NUL bytes elsewhere: after the checksum, between lines, a list of random
  // bytes, and a list in UTF-16 (a NUL after every character).
  Sandbox sandbox;
  sandbox.Write("up\\set\\tail.sfv", KeepLine() + std::string("sub\\inner.rar 00000001\0junk\r\n", 29) +
                                         std::string("\0\0\0\r\n\0", 6));
  sandbox.Write("up\\set\\random.sfv", testing::RandomBytes(256 * 1024, 7));
  std::string wide = "\xFF\xFE";
  for (char c : std::string("keep.rar 00000001\r\n..\\..\\victim.txt 00000001\r\n")) wide += std::string{c, '\0'};
  sandbox.Write("up\\set\\wide.sfv", wide);
  sandbox.CheckSet("NUL bytes around lines, random bytes, UTF-16");
}

// Names the system takes for devices. Reading one may never end (a console
// waits for a key), which would hold the process-wide lock for good.
TEST(HostileListTest, DeviceNamesNeitherHangNorEscape) {
  Sandbox sandbox;
  std::string list = KeepLine();
  for (const char* name : {"CON", "con", "CON.rar", "CON .rar", "NUL", "NUL.rar", "nul.a.b", "AUX", "PRN",
                           "COM1", "COM9", "LPT1", "CONIN$", "CONOUT$", "CLOCK$", "sub\\CON", "sub\\NUL.txt"}) {
    list += SfvLine(name, kWrongCrc);
    list += SfvLine(name, 0);  // the CRC of no bytes at all
  }
  sandbox.Write("up\\set\\set.sfv", list);
  sandbox.CheckSet("device names");
}

TEST(HostileListTest, OddNamesLoseNothing) {
  Sandbox sandbox;
  std::string list = KeepLine();
  for (const char* name : {"*.rar", "?eep.rar", "k*", "<>|\"", "sub", "sub\\", ".", "sub\\.", "set.sfv",
                           ".qdrl.set.sfv.state", "keep-[BAD].rar", "\x01\x02\x1F", "\xFF\xFE"}) {
    list += SfvLine(name, kWrongCrc);
  }
  list += SfvLine(std::string(300, 'n'), kWrongCrc);                  // longer than a path may be
  list += SfvLine(std::string(240, 'm') + ".rar", kWrongCrc);        // markers cross the limit
  list += " " + SfvLine("keep.rar", BitwiseCrc32(kKeep));            // leading space: another name
  sandbox.Write("up\\set\\set.sfv", list);
  sandbox.CheckSet("odd names");

  // Spellings Windows takes for keep.rar itself (case folded, trailing dots
  // and spaces dropped): with a wrong checksum they may move keep.rar aside,
  // but only aside, with its contents whole.
  for (const char* alias : {"KEEP.RAR", "keep.rar.", "keep.rar. .", "keep.rar  "}) {
    Sandbox aliased;
    aliased.Write("up\\set\\set.sfv", SfvLine(alias, kWrongCrc));
    aliased.CheckSet(std::string("alias '") + alias + "'", /*expectPass=*/false);
    EXPECT_TRUE(aliased.HasMeterFolder()) << alias;
  }
}

TEST(HostileListTest, OversizedListsAreReadOrSkippedSafely) {
  {
    Sandbox sandbox;
    // One line of 10 MB: a name no file system takes, then a checksum.
    sandbox.Write("up\\set\\long.sfv", KeepLine() + std::string(10 << 20, 'A') + " 00000001\r\n");
    // 10 MB of climbing with a valid checksum at the end.
    sandbox.Write("up\\set\\climb.sfv", KeepLine() + Repeat("..\\", (10 << 20) / 3) + "victim.txt 00000001\r\n");
    // 10 MB without any line end or space.
    sandbox.Write("up\\set\\flat.sfv", std::string(10 << 20, '7'));
    sandbox.CheckSet("10 MB lines");
  }
  {
    Sandbox sandbox;
    // A million lines, almost all of them refused: comments, malformed
    // lines, climbs and blank lines, with a few good ones spread through.
    std::string list;
    list.reserve(24 << 20);
    const std::string climb = SfvLine("..\\..\\victim.txt", kWrongCrc);
    for (int i = 0; i < 1000000; ++i) {
      switch (i % 5) {
        case 0: list += "; comment line\r\n"; break;
        case 1: list += "malformed 1234\r\n"; break;
        case 2: list += climb; break;
        case 3: list += "\r\n"; break;
        default: list += (i % 250000 == 4) ? KeepLine() : std::string("x 0x12345678\r\n"); break;
      }
    }
    sandbox.Write("up\\set\\million.sfv", list);
    sandbox.CheckSet("a million lines");
  }
}

// Some layers of the file functions keep a path's length in 16 bits, so a
// path of 65536 bytes and more wraps round to its first few bytes. With P
// the set's path, "important.doc" + 65525 x "Z" + "." then misses as a file
// (it wraps to P + "imp"), its -[BAD] name is absent (P + "important"), and
// its marker name, ten bytes longer, wraps to P + "important.doc" and would
// empty it; "keep.rar" + 65528 x "Z" + ".x" hashes keep.rar and would move it
// to P + "keep.rarZZZZZZ". Lengths around these are all tried.
TEST(HostileListTest, NamesTooLongForTheSystemDoNotWrapToShortOnes) {
  Sandbox sandbox;
  sandbox.Write("up\\set\\important.doc", "an upload that must survive");
  std::string list = KeepLine();
  for (int delta = -16; delta <= 16; ++delta) {
    list += SfvLine("important.doc" + std::string(65525 + delta, 'Z') + ".", kWrongCrc);
    list += SfvLine("keep.rar" + std::string(65528 + delta, 'Z') + ".x", kWrongCrc);
  }
  sandbox.Write("up\\set\\set.sfv", list);
  sandbox.CheckSet("names of about 65536 bytes");
  EXPECT_EQ(testing::ReadFileBytes(sandbox.Set("important.doc")), "an upload that must survive");
}

TEST(HostileListTest, AListThatIsADirectoryIsSkipped) {
  Sandbox sandbox;
  for (const char* directory : {"up\\set\\dir.sfv\\", "up\\set\\UPPER.SFV\\", "up\\set\\.sfv\\"}) {
    CreateDirectoryA(sandbox.Path(directory).c_str(), nullptr);
    sandbox.Write(std::string(directory) + "keep.rar", "a file inside a directory named like a list");
    sandbox.Write(std::string(directory) + "inner.sfv", SfvLine("keep.rar", kWrongCrc));
  }
  TreeFingerprint before = FingerprintTree(sandbox.root());
  PluginHost::Get().CheckNow(sandbox.Set("keep.rar"), "lists that are directories");
  sandbox.ExpectContained(before, "lists that are directories", /*expectPass=*/false);
  EXPECT_TRUE(testing::DirectoryExists(sandbox.Set("dir.sfv")));
  // Nothing was read: no list, no meter.
  EXPECT_FALSE(sandbox.HasMeterFolder());
}

// The list is rewritten over and over, by several means, while checks read
// it. A check sees some whole version, a cut-off one or none; whichever, it
// stays inside the set and loses nothing.
TEST(HostileListTest, AListRewrittenWhileChecksReadIt) {
  Sandbox sandbox;
  const std::string listPath = sandbox.Set("set.sfv");
  std::string shortList = ClimbingList("..\\", "..\\..\\");
  std::string longList = "; padded\r\n" + SfvLine("sub\\inner.rar", BitwiseCrc32(kInner));
  while (longList.size() < 300 * 1024) longList += "; padding line to spread the list over many reads\r\n";
  longList += ClimbingList("../", "sub\\..\\..\\..\\");
  sandbox.Write("up\\set\\set.sfv", shortList);
  TreeFingerprint before = FingerprintTree(sandbox.root());

  std::atomic<bool> stop{false};
  std::atomic<int> rewrites{0};
  std::thread writer([&] {
    const std::string temporary = sandbox.Set("set.sfv.tmp");
    for (int round = 0; !stop; ++round) {
      const std::string& text = (round % 2) ? longList : shortList;
      switch (round % 3) {
        case 0: {  // truncate and write in pieces through one handle
          HANDLE file = CreateFileA(listPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
          if (file == INVALID_HANDLE_VALUE) break;
          for (std::size_t at = 0; at < text.size(); at += 4096) {
            DWORD written = 0;
            WriteFile(file, text.data() + at, static_cast<DWORD>(std::min<std::size_t>(4096, text.size() - at)),
                      &written, nullptr);
            if (at % (64 * 1024) == 0) Sleep(0);
          }
          CloseHandle(file);
          break;
        }
        case 1: {  // replace by renaming a finished copy over it
          HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
          if (file == INVALID_HANDLE_VALUE) break;
          DWORD written = 0;
          WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
          CloseHandle(file);
          MoveFileExA(temporary.c_str(), listPath.c_str(), MOVEFILE_REPLACE_EXISTING);
          DeleteFileA(temporary.c_str());
          break;
        }
        default: {  // shorten in place, then grow again
          HANDLE file = CreateFileA(listPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          if (file == INVALID_HANDLE_VALUE) break;
          SetFilePointer(file, static_cast<LONG>(text.size() / 3), nullptr, FILE_BEGIN);
          SetEndOfFile(file);
          DWORD written = 0;
          WriteFile(file, text.data() + text.size() / 3, static_cast<DWORD>(text.size() - text.size() / 3),
                    &written, nullptr);
          CloseHandle(file);
          break;
        }
      }
      ++rewrites;
    }
  });
  for (int i = 0; i < 40; ++i) {
    PluginHost::Get().FileArrived(sandbox.Set("keep.rar"));
    Sleep(20);
  }
  PluginHost::Get().WaitForChecks("checks of a list being rewritten");
  stop = true;
  writer.join();
  EXPECT_GT(rewrites.load(), 10);

  // The list as it was, so that only the check's own doings differ.
  sandbox.Write("up\\set\\set.sfv", shortList);
  DeleteFileA(sandbox.Set("set.sfv.tmp").c_str());
  sandbox.ExpectContained(before, "a list rewritten while read", /*expectPass=*/false);

  // A quiet pass afterwards puts everything right: keep.rar good, the four
  // climbing names that stay inside and exist nowhere are simply refused.
  sandbox.CheckSet("the pass after the rewriting");
  EXPECT_TRUE(testing::DirectoryExists(sandbox.Set(testing::DefaultMeterName(100))));
}

// ---------------------------------------------------------------------------
// Hostile file events: the path in the record's text area.

class HostileEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PluginHost::Get().loaded());
    testing::UseDefaultSettings();
    sandbox_.Write("up\\set\\set.sfv", KeepLine() + SfvLine("absent.rar", kWrongCrc));
  }

  // The event's outcome: either the set was checked (its meter shows 1 of
  // 2 good, 50 %) or nothing happened at all.
  void ExpectCheckedOrUntouched(const TreeFingerprint& before, const std::string& what, bool checked) {
    sandbox_.ExpectContained(before, what, checked);
    if (checked) {
      EXPECT_TRUE(testing::DirectoryExists(sandbox_.Set(testing::DefaultMeterName(50)))) << what;
      EXPECT_TRUE(testing::FileExists(sandbox_.Set("absent-[MISSING].rar"))) << what;
    } else {
      EXPECT_EQ(FingerprintTree(sandbox_.root()), before) << what;
    }
  }

  void SendPath(const std::string& path, const std::string& what, bool checked,
                std::int32_t code = kEventFileArrived) {
    TreeFingerprint before = FingerprintTree(sandbox_.root());
    PluginHost::Get().FileArrived(path, code);
    PluginHost::Get().WaitForChecks(what);
    ExpectCheckedOrUntouched(before, what, checked);
    Reset();
  }

  // Back to the state before any check.
  void Reset() {
    for (const std::string& name : testing::ListDirectory(sandbox_.Set())) {
      if (name.rfind("--==[", 0) == 0) RemoveDirectoryA(sandbox_.Set(name).c_str());
      if (name.find("-[MISSING]") != std::string::npos || name.rfind(".qdrl.", 0) == 0) {
        DeleteFileA(sandbox_.Set(name).c_str());
      }
    }
  }

  Sandbox sandbox_;
};

TEST_F(HostileEventTest, LongPathsAreCutAtTheirDirectory) {
  const std::string set = sandbox_.Set();
  // 1063 characters and the NUL: the whole text area.
  SendPath(set + std::string(kRecordTextSize - 1 - set.size(), 'f'), "a path of 1063 characters", true);
  // Longer than MAX_PATH, in the file name only.
  SendPath(set + std::string(400, 'g') + ".rar", "a file name beyond MAX_PATH", true);
  // Longer than MAX_PATH in the directory part: no such directory.
  SendPath(set + std::string(300, 'd') + "\\x.rar", "a directory beyond MAX_PATH", false);
  // Longer than the text area: cut to 1064 bytes with no NUL.
  SendPath(set + std::string(5000, 'h'), "a path longer than the text area", true);
  // Event 13 is a file event too.
  SendPath(set + std::string(2000, 'i'), "event 13 with a long path", true, kEventFileArrivedAlt);
}

// No NUL anywhere in the text area, and none in the record after it: a read
// past the area would run into the page that follows the record and fault.
TEST_F(HostileEventTest, ATextAreaWithoutNulIsReadToItsEndOnly) {
  const std::string set = sandbox_.Set();
  {
    GuardedRecord record(kEventFileArrived, 'j');
    std::memcpy(record.get().text, set.data(), set.size());
    TreeFingerprint before = FingerprintTree(sandbox_.root());
    EXPECT_EQ(PluginHost::Get().Event(record.get()), 0);
    PluginHost::Get().WaitForChecks("a text area without NUL");
    ExpectCheckedOrUntouched(before, "a text area without NUL", true);
    Reset();
  }
  {
    // The bytes after the area, if read, would move the cut to another
    // directory: "...\jjj...j" then "\" from the record's next field.
    GuardedRecord record(kEventFileArrived, '\\');
    std::memset(record.get().text, 'k', kRecordTextSize);
    std::memcpy(record.get().text, set.data(), set.size());
    TreeFingerprint before = FingerprintTree(sandbox_.root());
    EXPECT_EQ(PluginHost::Get().Event(record.get()), 0);
    PluginHost::Get().WaitForChecks("a text area without NUL, separators after it");
    ExpectCheckedOrUntouched(before, "a text area without NUL, separators after it", true);
    Reset();
  }
  for (unsigned char fill : {'\\', '/'}) {
    GuardedRecord record(kEventFileArrivedAlt, fill);
    TreeFingerprint before = FingerprintTree(sandbox_.root());
    EXPECT_EQ(PluginHost::Get().Event(record.get()), 0);
    PluginHost::Get().WaitForChecks("a text area of 1064 separators");
    ExpectCheckedOrUntouched(before, "a text area of 1064 separators", false);
  }
}

TEST_F(HostileEventTest, PathsOfSeparatorsOnlyTouchNothing) {
  for (const char* path : {"", "\\", "/", "\\\\", "//", "\\\\\\\\\\\\", "//////", "\\/\\/", "/\\", ":", "C:",
                           "\\\\?\\", "\\\\.\\", "\\\\.\\\\", "..", "..\\", "../"}) {
    SendPath(path, std::string("path '") + path + "'", false);
  }
}

TEST_F(HostileEventTest, NonAsciiNamesAreCheckedUnderTheirOwnNames) {
  // Names in the ANSI code page: accents of code page 1252 and, where the
  // system's code page has them, whatever those bytes mean there.
  const std::string directory = "up\\s\xE9t \xC6\xD8\xC5\\";
  CreateDirectoryA(sandbox_.Path(directory).c_str(), nullptr);
  const std::string good = "caf\xE9 \xFC\xDF.rar";
  const std::string bad = "\xC0\xC9\xCE.rar";
  const std::string absent = "na\xEFve\xA9.rar";
  sandbox_.Write(directory + good, "good contents");
  sandbox_.Write(directory + bad, "bad contents");
  sandbox_.Write(directory + "l\xEDst\xE9.sfv", SfvLine(good, BitwiseCrc32("good contents")) +
                                                   SfvLine(bad, kWrongCrc) + SfvLine(absent, kWrongCrc));
  TreeFingerprint before = FingerprintTree(sandbox_.root());
  PluginHost::Get().CheckNow(sandbox_.Path(directory + good), "non-ASCII names");
  TreeFingerprint after = FingerprintTree(sandbox_.root());
  for (const std::string& breach : ContainmentBreaches(before, after, directory)) {
    ADD_FAILURE() << "non-ASCII names: " << breach;
  }
  SCOPED_TRACE("ANSI code page " + std::to_string(GetACP()));
  EXPECT_EQ(testing::ReadFileBytes(sandbox_.Path(directory + good)), "good contents");
  EXPECT_FALSE(testing::FileExists(sandbox_.Path(directory + bad)));
  EXPECT_EQ(testing::ReadFileBytes(sandbox_.Path(directory + "\xC0\xC9\xCE-[BAD].rar")), "bad contents");
  EXPECT_TRUE(testing::FileExists(sandbox_.Path(directory + "na\xEFve\xA9-[MISSING].rar")));
  EXPECT_TRUE(testing::DirectoryExists(sandbox_.Path(directory + testing::DefaultMeterName(33))));
  EXPECT_EQ(testing::ReadFileBytes(sandbox_.Path(directory + ".qdrl.l\xEDst\xE9.sfv.state")),
            sandbox_.Path(directory + good) + "\r\n");
}

}  // namespace
}  // namespace sfvcheck
