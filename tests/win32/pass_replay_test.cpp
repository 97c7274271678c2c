// Generated directory states, each checked twice on a real directory through
// the Win32 file system and on the in-memory one: every pass must end as the
// model of fuzz/pass_model.h says, and both must leave the same directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/pass_model.h"
#include "tests/support/temp_directory_win32.h"
#include "tools/support/memory_file_system.h"
#include "tools/support/test_data.h"
#include "win32/file_system_win32.h"

namespace sfvcheck {
namespace {

using namespace passmodel;

const std::string kMemoryDirectory = "C:\\up\\";

// The directory as the file system shows it, names relative to `prefix`.
void Snapshot(FileSystem& fs, const std::string& prefix, const std::string& relative, Disk& disk) {
  std::vector<DirectoryEntry> entries;
  EXPECT_TRUE(fs.ListDirectory(prefix + relative, &entries)) << prefix + relative;
  for (const DirectoryEntry& entry : entries) {
    const std::string name = relative + entry.name;
    if (entry.isDirectory) {
      disk[Key(name)] = Node{name, true, ""};
      Snapshot(fs, prefix, name + "\\", disk);
      continue;
    }
    std::string bytes;
    std::unique_ptr<ReadableFile> file = fs.OpenForCheck(prefix + name);
    char buffer[4096];
    std::size_t got = 0;
    while (file && file->Read(buffer, sizeof buffer, &got) && got > 0) bytes.append(buffer, got);
    EXPECT_TRUE(file) << prefix + name;
    disk[Key(name)] = Node{name, false, bytes};
  }
}

// Every list's pass, in the model's order.
void PassEach(const CheckContext& context, const std::string& prefix, const std::vector<std::string>& lists) {
  for (const std::string& list : lists) VerificationPass(context, prefix, list);
}

// Runs both checks of a state through `fs` at `prefix`; the directory they
// leave, with `prefix` in state files written as the in-memory one.
std::string Replay(FileSystem& fs, const std::string& prefix, const GeneratedState& state, Disk* end) {
  Runner runner{
      fs, prefix,
      [&] {
        Disk disk;
        Snapshot(fs, prefix, "", disk);
        return disk;
      },
      [&](const CheckContext& context, const std::vector<std::string>& lists) { PassEach(context, prefix, lists); }};
  const std::string failure = RunChecks(runner, state);
  Snapshot(fs, prefix, "", *end);
  for (auto& [key, node] : *end) {
    for (std::size_t at = 0; (at = node.bytes.find(prefix, at)) != std::string::npos; at += kMemoryDirectory.size()) {
      node.bytes.replace(at, prefix.size(), kMemoryDirectory);
    }
  }
  return failure;
}

TEST(PassReplayTest, RealDirectoriesEndAsTheModelAndTheInMemoryFileSystemSay) {
  constexpr std::uint32_t kStates = 300;
  testing::TempDirectory temp;
  std::uint32_t replayed = 0;
  for (std::uint32_t seed = 1; seed <= kStates; ++seed) {
    const std::string bytes = testing::RandomBytes(9 + seed % 40, seed);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());

    const GeneratedState inMemory = Generate(data, bytes.size(), kMemoryDirectory);
    testing::MemoryFileSystem memory;
    memory.AddDirectory(kMemoryDirectory);
    for (const auto& [key, node] : inMemory.disk) {
      if (node.isDirectory) {
        memory.AddDirectory(kMemoryDirectory + node.name);
      } else {
        memory.AddFile(kMemoryDirectory + node.name, node.bytes);
      }
    }
    Disk memoryEnd;
    ASSERT_EQ(Replay(memory, kMemoryDirectory, inMemory, &memoryEnd), "") << "seed " << seed;

    const std::string directory = temp / ("s" + std::to_string(seed) + "\\");
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr)) << directory;
    const GeneratedState onDisk = Generate(data, bytes.size(), directory);
    for (const auto& [key, node] : onDisk.disk) {  // parents sort before their children
      if (node.isDirectory) {
        ASSERT_TRUE(CreateDirectoryA((directory + node.name).c_str(), nullptr)) << node.name;
      } else {
        testing::WriteFileBytes(directory + node.name, node.bytes);
      }
    }
    Win32FileSystem win32;
    Disk diskEnd;
    EXPECT_EQ(Replay(win32, directory, onDisk, &diskEnd), "") << "seed " << seed;
    EXPECT_EQ(Describe(diskEnd), Describe(memoryEnd)) << "seed " << seed;
    ++replayed;
  }
  EXPECT_GE(replayed, kStates * 9 / 10);
}

}  // namespace
}  // namespace sfvcheck
