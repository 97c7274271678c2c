// Two whole checks of a generated directory on the in-memory file system,
// each pass held to the model and the invariants of fuzz/pass_model.h.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/pass_model.h"
#include "tools/support/memory_file_system.h"

namespace {

using namespace sfvcheck;
using namespace sfvcheck::passmodel;
const std::string kDir = "C:\\up\\";

passmodel::Disk Snapshot(const testing::MemoryFileSystem& fs, const std::string& directory, const std::string& relative,
                         passmodel::Disk& disk) {
  for (const std::string& name : fs.Names(directory)) {
    const std::string path = directory + name;
    const std::string inside = relative + name;
    if (fs.IsDirectory(path)) {
      disk[Key(inside)] = Node{inside, true, ""};
      Snapshot(fs, path + "\\", inside + "\\", disk);
    } else {
      disk[Key(inside)] = Node{inside, false, *fs.FileBytes(path)};
    }
  }
  return disk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const GeneratedState state = Generate(data, size, kDir);
  if (state.disk.empty()) return 0;
  testing::MemoryFileSystem fs;
  fs.AddDirectory("C:\\up");
  for (const auto& [key, node] : state.disk) {
    if (node.isDirectory) {
      fs.AddDirectory(kDir + node.name);
    } else {
      fs.AddFile(kDir + node.name, node.bytes);
    }
  }
  Runner runner{
      fs,
      kDir,
      [&fs] {
        passmodel::Disk disk;
        return Snapshot(fs, kDir, "", disk);
      },
      [](const CheckContext& context, const std::vector<std::string>&) { DirectoryCheck(context, kDir + "x"); },
      [&fs] { fs.ResetCalls(); },
      [&fs](const std::string& path) { return fs.Calls(testing::FsOp::kRead, path); }};
  const std::string failure = RunChecks(runner, state);
  if (!failure.empty()) {
    // The state, so that a finding reads without a debugger.
    std::fprintf(stderr, "%s\nstate (start trail \"%s\", then \"%s\", meter %d, delete %d):\n%s", failure.c_str(),
                 state.first.startTrail.c_str(), state.second.startTrail.c_str(), state.first.meterFlag,
                 state.first.deleteFlag, Describe(state.disk).c_str());
    for (const auto& [list, entries] : state.lists) {
      for (const Entry& entry : entries)
        std::fprintf(stderr, "  %s: [%s] %s\n", list.c_str(), entry.name.c_str(), Hex8(entry.crc).c_str());
    }
  }
  FUZZ_CHECK(failure.empty());
  return 0;
}
