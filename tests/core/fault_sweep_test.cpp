// A representative pass (a good file, one remembered in the state file, a
// missing one, a corrupt one, an old meter) run again and again with the Nth
// file-system call failing, once or from then on, for every N the pass
// makes. Whatever fails, no listed file's bytes are lost, and the next
// fault-free pass leaves the disk as a pass that never failed does (the
// state file compared as the set of paths it remembers).
#include "core/check/directory_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/support/memory_file_system.h"
#include "tests/support/std_check_lock.h"
#include "tools/support/test_data.h"

namespace sfvcheck {
namespace {

using testing::MemoryFileSystem;
using testing::StdCheckLock;

const std::string kDir = "C:\\up\\";

// Every name in the folder with what it holds: "<dir>" for a directory, a
// file's bytes, or its size and CRC where it is large.
using Disk = std::map<std::string, std::string>;

// A state file stands for the set of paths it remembers: a pass that cannot
// read it hashes the remembered files again and appends them once more.
std::string RememberedPaths(const std::string& bytes) {
  std::set<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.insert(bytes.substr(start, end - start));
  }
  if (start < bytes.size()) lines.insert(bytes.substr(start));
  std::string text = "<remembers:";
  for (const std::string& line : lines) text += " " + line;
  return text + ">";
}

std::string Describe(const std::string& bytes) {
  if (bytes.size() <= 200) return bytes;
  char text[64];
  std::snprintf(text, sizeof text, "<%zu bytes, CRC %08X>", bytes.size(),
                static_cast<unsigned>(testing::BitwiseCrc32(bytes)));
  return text;
}

class FaultSweepTest : public ::testing::Test {
 protected:
  FaultSweepTest() {
    for (const char* name : {"a.rar", "b.rar", "c.rar", "d.rar"}) content_[name] = testing::RandomBytes(5000, name[0]);
  }

  // good a.rar (remembered), missing b.rar, corrupt c.rar, good d.rar, and
  // the meter of an earlier pass.
  void SetUpPass(MemoryFileSystem& fs) {
    fs.AddDirectory("C:\\up");
    std::string list;
    for (const auto& [name, bytes] : content_) {
      list += testing::SfvLine(name, testing::BitwiseCrc32(bytes));
    }
    fs.AddFile(kDir + "set.sfv", list);
    fs.AddFile(kDir + "a.rar", content_["a.rar"]);
    fs.AddFile(kDir + "c.rar", content_["c.rar"] + "x");
    fs.AddFile(kDir + "d.rar", content_["d.rar"]);
    fs.AddFile(kDir + ".qdrl.set.sfv.state", kDir + "a.rar\r\n");
    fs.AddDirectory(kDir + "--==[#####---------------]==--  25% complete");
  }

  void Pass(MemoryFileSystem& fs) {
    StdCheckLock lock;
    const CheckContext context{fs, lock, [] { return RunSettings{}; }};
    DirectoryCheck(context, kDir + "d.rar");
  }

  static Disk DiskOf(const MemoryFileSystem& fs) {
    Disk disk;
    for (const std::string& name : fs.Names(kDir)) {
      const std::optional<std::string> bytes = fs.FileBytes(kDir + name);
      const bool stateFile = name.size() > 6 && name.compare(name.size() - 6, 6, ".state") == 0;
      disk[name] = !bytes ? "<dir>" : stateFile ? RememberedPaths(*bytes) : Describe(*bytes);
    }
    return disk;
  }

  std::map<std::string, std::string> content_;
};

TEST_F(FaultSweepTest, NoFaultLosesAListedFileAndTheNextPassRepairsEverything) {
  MemoryFileSystem reference;
  SetUpPass(reference);
  const std::size_t before = reference.CallCount();
  Pass(reference);
  const std::size_t callsInAPass = reference.CallCount() - before;
  const Disk expected = DiskOf(reference);
  ASSERT_GT(callsInAPass, 10u);
  ASSERT_TRUE(expected.count("b-[MISSING].rar") && expected.count("c-[BAD].rar")) << "the pass is not representative";

  // The bytes of every listed file that was uploaded, good or corrupt.
  const std::vector<std::string> uploaded = {content_["a.rar"], content_["c.rar"] + "x", content_["d.rar"]};

  for (bool fromThenOn : {false, true}) {
    for (std::size_t n = 1; n <= callsInAPass; ++n) {
      SCOPED_TRACE(::testing::Message() << "call " << n << (fromThenOn ? " and every later one" : " alone") << " fails");
      MemoryFileSystem fs;
      SetUpPass(fs);
      fs.FailNthCall(n, fromThenOn);
      Pass(fs);
      fs.FailNthCall(0);

      for (const std::string& bytes : uploaded) {
        bool kept = false;
        for (const std::string& name : fs.Names(kDir)) kept = kept || fs.FileBytes(kDir + name) == bytes;
        EXPECT_TRUE(kept) << "an uploaded file of " << bytes.size() << " bytes is gone";
      }

      Pass(fs);
      EXPECT_EQ(DiskOf(fs), expected);
    }
  }
}

}  // namespace
}  // namespace sfvcheck
