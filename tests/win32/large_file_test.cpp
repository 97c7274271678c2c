// A file larger than 4 GiB, made sparse so that it costs almost no disk, is
// hashed by FileCrc32 over the Win32 file system exactly as the per-byte
// reference hashes the same bytes read back with ReadFile.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/check/file_crc.h"
#include "core/crc/crc32.h"
#include "tools/support/test_data.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kSize = 4 * kGiB + 3 * (1ull << 20) + 12345;  // not a whole number of blocks

// The file lives in the temporary folder under a fixed name, so that one
// left behind by a run that was killed is removed by the next run.
std::string LargeFilePath() {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  return std::string(base) + "sfvcheck-large-file-test.bin";
}

class RemovedOnExit {
 public:
  explicit RemovedOnExit(std::string path) : path_(std::move(path)) { Remove(); }
  ~RemovedOnExit() { Remove(); }
  RemovedOnExit(const RemovedOnExit&) = delete;
  RemovedOnExit& operator=(const RemovedOnExit&) = delete;

 private:
  void Remove() const {
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path_.c_str());
  }
  std::string path_;
};

struct Block {
  std::uint64_t offset;
  std::size_t size;
};

bool WriteAt(HANDLE file, std::uint64_t offset, const std::string& bytes) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  DWORD written = 0;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
         WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

TEST(LargeFileTest, ASparseFileBeyondFourGiBHashesLikeItsBytes) {
  const std::string path = LargeFilePath();
  RemovedOnExit cleanup(path);
  {
    OwnedFile file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "cannot create " << path;
    // Where the file system cannot mark the file sparse, the holes that
    // SetEndOfFile leaves are still holes on the host's file system.
    DWORD returned = 0;
    DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);

    const std::vector<Block> blocks = {
        {0, 65536},                             // the start
        {2 * kGiB - 7, 14},                     // across the sign bit of a 32-bit offset
        {4 * kGiB - 40000, 80000},              // across the 32-bit boundary
        {4 * kGiB + (1ull << 20) + 3, 4096},    // beyond it
        {kSize - 50000, 50000},                 // the end
    };
    std::uint32_t seed = 1;
    for (const Block& block : blocks) {
      ASSERT_TRUE(WriteAt(file.get(), block.offset, testing::RandomBytes(block.size, seed++)))
          << "cannot write at " << block.offset << ", error " << GetLastError();
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(kSize);
    ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
  }

  // The reference: every byte read back with ReadFile, in pieces of an odd
  // size, through the per-byte table.
  std::uint32_t expected = 0;
  std::uint64_t total = 0;
  {
    OwnedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(file.get(), &size));
    ASSERT_EQ(static_cast<std::uint64_t>(size.QuadPart), kSize);
    const DWORD piece = (1u << 20) + 7;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[piece]);
    DWORD got = 0;
    while (ReadFile(file.get(), buffer.get(), piece, &got, nullptr) && got > 0) {
      expected = Crc32Reference(expected, buffer.get(), got);
      total += got;
    }
  }
  ASSERT_EQ(total, kSize) << "the reference read stopped early";

  Win32FileSystem fs;
  FileCrc32 fileCrc(fs);
  std::uint32_t crc = 0;
  ASSERT_TRUE(fileCrc.ComputeFileCrc(path, &crc));
  EXPECT_EQ(crc, expected);
}

}  // namespace
}  // namespace sfvcheck
