#include "core/check/file_crc.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/crc/crc32.h"
#include "tests/support/temp_directory_win32.h"
#include "tools/support/test_data.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

class FileCrcTest : public ::testing::Test {
 protected:
  Win32FileSystem fs_;
  FileCrc32 hasher_{fs_};
  testing::TempDirectory dir_;
};

// One object hashes many files: each result must depend on its own file only,
// including at every boundary of the read size, read whole and in halves.
TEST_F(FileCrcTest, HashesFilesOfSizesAroundTheReadSize) {
  constexpr std::size_t kRead = FileCrc32::kReadSize;
  const std::string data = testing::RandomBytes(3 * kRead + 1, 21);
  for (std::uint64_t twoHalvesFrom : {UINT64_MAX, std::uint64_t{0}}) {
    hasher_.twoHalvesFrom = twoHalvesFrom;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, kRead - 1, kRead, kRead + 1,
                             2 * kRead - 1, 2 * kRead, 2 * kRead + 1, 3 * kRead + 1}) {
      const std::string path = dir_ / ("f" + std::to_string(size));
      testing::WriteFileBytes(path, std::string_view(data).substr(0, size));
      std::uint32_t crc = 0xDEADBEEF;
      ASSERT_TRUE(hasher_.ComputeFileCrc(path, &crc)) << size;
      EXPECT_EQ(crc, Crc32Reference(0, data.data(), size)) << size << " halves from " << twoHalvesFrom;
    }
  }
}

// What the probing kernel saw: it hashes like the reference and meanwhile
// tries to open the file for writing, from whichever thread calls it.
std::string gProbedPath;
std::atomic<bool> gWritable{false};
std::mutex gThreadsMutex;
std::set<DWORD> gThreads;

std::uint32_t ProbingKernel(std::uint32_t crc, const void* data, std::size_t size) {
  OwnedFile writer(CreateFileA(gProbedPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (writer) gWritable = true;
  {
    std::lock_guard<std::mutex> guard(gThreadsMutex);
    gThreads.insert(GetCurrentThreadId());
  }
  // The first block waits up to 10 s for the other half to begin, so that a
  // helper slow to start on a busy machine still gets its half.
  static std::atomic<bool> waitedOnce{false};
  if (!waitedOnce.exchange(true)) {
    for (int waited = 0; waited < 1000; ++waited) {
      {
        std::lock_guard<std::mutex> guard(gThreadsMutex);
        if (gThreads.size() >= 2) break;
      }
      Sleep(10);
    }
  }
  return Crc32Reference(crc, data, size);
}

// A large file: its two halves are hashed on two threads at once, and no
// writer gets in while either is read.
TEST_F(FileCrcTest, ALargeFileIsHashedOnTwoThreadsWhileOthersAreDeniedWrite) {
  gProbedPath = dir_ / "large.rar";
  const std::string data = testing::RandomBytes(static_cast<std::size_t>(FileCrc32::kTwoHalvesFrom) + 12345, 5);
  testing::WriteFileBytes(gProbedPath, data);
  FileCrc32 hasher(fs_, ProbingKernel);
  std::uint32_t crc = 0;
  ASSERT_TRUE(hasher.ComputeFileCrc(gProbedPath, &crc));
  EXPECT_EQ(crc, Crc32Reference(0, data.data(), data.size()));
  EXPECT_FALSE(gWritable);
  EXPECT_EQ(gThreads.size(), 2u);
}

TEST_F(FileCrcTest, KnownContent) {
  const std::string path = dir_ / "digits.txt";
  testing::WriteFileBytes(path, "123456789");
  std::uint32_t crc = 0;
  ASSERT_TRUE(hasher_.ComputeFileCrc(path, &crc));
  EXPECT_EQ(crc, 0xCBF43926u);
}

TEST_F(FileCrcTest, MissingFileOrDirectoryFails) {
  std::uint32_t crc = 0;
  EXPECT_FALSE(hasher_.ComputeFileCrc(dir_ / "absent.rar", &crc));
  EXPECT_FALSE(hasher_.ComputeFileCrc(dir_ / "no such dir\\a.rar", &crc));
  ASSERT_TRUE(CreateDirectoryA((dir_ / "sub").c_str(), nullptr));
  EXPECT_FALSE(hasher_.ComputeFileCrc(dir_ / "sub", &crc));
}

// A file still being written (held with write access, sharing reads) does not
// hash; once the writer lets go it does. A concurrent reader is no obstacle.
TEST_F(FileCrcTest, FileHeldOpenForWritingFails) {
  const std::string path = dir_ / "uploading.rar";
  testing::WriteFileBytes(path, "partial");
  std::uint32_t crc = 0;
  {
    OwnedFile writer(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_FALSE(hasher_.ComputeFileCrc(path, &crc));
  }
  {
    OwnedFile reader(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    ASSERT_TRUE(hasher_.ComputeFileCrc(path, &crc));
    EXPECT_EQ(crc, Crc32Reference(0, "partial", 7));
  }
}

}  // namespace
}  // namespace sfvcheck
