#include "core/check/file_crc.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/crc/crc32.h"
#include "tests/support/temp_directory_win32.h"
#include "tools/support/test_data.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/read_ahead_win32.h"

namespace sfvcheck {
namespace {

class FileCrcTest : public ::testing::Test {
 protected:
  Win32FileSystem fs_;
  FileCrc32 hasher_{fs_};
  testing::TempDirectory dir_;
};

// One object hashes many files: each result must depend on its own file only,
// including at every boundary of the read size, read one block after another
// and read ahead.
TEST_F(FileCrcTest, HashesFilesOfSizesAroundTheReadSize) {
  constexpr std::size_t kRead = FileCrc32::kReadSize;
  const std::string data = testing::RandomBytes(3 * kRead + 1, 21);
  for (std::uint64_t readAheadFrom : {UINT64_MAX, std::uint64_t{0}}) {
    fs_.readAheadFrom = readAheadFrom;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, kRead - 1, kRead, kRead + 1,
                             2 * kRead - 1, 2 * kRead, 2 * kRead + 1, 3 * kRead + 1}) {
      const std::string path = dir_ / ("f" + std::to_string(size));
      testing::WriteFileBytes(path, std::string_view(data).substr(0, size));
      std::uint32_t crc = 0xDEADBEEF;
      ASSERT_TRUE(hasher_.ComputeFileCrc(path, &crc)) << size;
      EXPECT_EQ(crc, Crc32Reference(0, data.data(), size)) << size << " read ahead from " << readAheadFrom;
    }
  }
}

// Hands blocks to a CRC, and checks at each that the file cannot be opened
// for writing meanwhile.
class WriteProbingSink : public BlockSink {
 public:
  explicit WriteProbingSink(std::string path) : path_(std::move(path)) {}
  void Take(const unsigned char* data, std::size_t size) override {
    crc = Crc32Reference(crc, data, size);
    ++blocks;
    OwnedFile writer(CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (writer) writable = true;
  }
  std::uint32_t crc = 0;
  int blocks = 0;
  bool writable = false;

 private:
  std::string path_;
};

// Read ahead: every block in order, and no writer gets in while the reading
// goes on.
TEST_F(FileCrcTest, AFileReadAheadIsReadWholeWhileOthersAreDeniedWrite) {
  constexpr std::size_t kRead = FileCrc32::kReadSize;
  const std::string path = dir_ / "large.rar";
  const std::string data = testing::RandomBytes(9 * kRead + kRead / 2 + 3, 5);
  fs_.readAheadFrom = 0;
  testing::WriteFileBytes(path, data);
  std::unique_ptr<ReadableFile> file = fs_.OpenForCheck(path);
  ASSERT_TRUE(file);
  std::vector<unsigned char> buffer(2 * kRead);
  unsigned char* const buffers[2] = {buffer.data(), buffer.data() + kRead};
  WriteProbingSink sink(path);
  ASSERT_TRUE(file->ReadToEnd(buffers, kRead, sink));
  EXPECT_EQ(sink.crc, Crc32Reference(0, data.data(), data.size()));
  EXPECT_EQ(sink.blocks, static_cast<int>(data.size() / kRead + 1));
  EXPECT_FALSE(sink.writable);
}

// A file that hands out `content` in pieces and fails its read number
// `failOnRead` (counted from 0).
class PieceFile : public ReadableFile {
 public:
  PieceFile(std::string content, std::size_t piece, int failOnRead)
      : content_(std::move(content)), piece_(piece), failOnRead_(failOnRead) {}
  bool Read(void* buffer, std::size_t size, std::size_t* got) override {
    if (reads_++ == failOnRead_) return false;
    *got = std::min({size, piece_, content_.size() - at_});
    std::memcpy(buffer, content_.data() + at_, *got);
    at_ += *got;
    return true;
  }

 private:
  std::string content_;
  std::size_t piece_;
  int failOnRead_;
  int reads_ = 0;
  std::size_t at_ = 0;
};

class CollectingSink : public BlockSink {
 public:
  void Take(const unsigned char* data, std::size_t size) override {
    taken.append(reinterpret_cast<const char*>(data), size);
  }
  std::string taken;
};

// A read that fails mid-file fails the whole, after the sink has taken every
// block before it and nothing after; the reader has ended by then.
TEST(ReadAheadTest, AFailedReadEndsItAfterTheBlocksBefore) {
  const std::string content = testing::RandomBytes(10000, 3);
  std::vector<unsigned char> buffer(2 * 4096);
  unsigned char* const buffers[2] = {buffer.data(), buffer.data() + 4096};
  for (int failOnRead : {0, 1, 2, 7, 10, -1}) {  // 10 reads hand out the file, the 11th finds its end
    PieceFile file(content, 1000, failOnRead);
    CollectingSink sink;
    EXPECT_EQ(ReadAheadToEnd(file, buffers, 4096, sink), failOnRead == -1) << failOnRead;
    const std::size_t before = failOnRead == -1 ? content.size() : 1000u * static_cast<std::size_t>(failOnRead);
    EXPECT_EQ(sink.taken, content.substr(0, before)) << failOnRead;
  }
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
