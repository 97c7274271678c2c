// CRC-32 of a whole file, read through two buffers that live as long as the
// object (one object per verification pass): where the file system can, the
// next block is read while the last one is hashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/check/file_system.h"
#include "core/crc/crc32.h"

namespace sfvcheck {

class FileCrc32 {
 public:
  // Measured best for reading and hashing a cached file: large enough that
  // the call overhead vanishes, small enough that the block is still in the
  // processor cache when the CRC passes over it.
  static constexpr std::size_t kReadSize = 256 * 1024;
  // Two read buffers, allocated as one.
  static constexpr std::size_t kBufferBytes = 2 * kReadSize;

  // `kernel`: the CRC tier; the benchmark names one, the checker takes the
  // widest this processor runs.
  explicit FileCrc32(FileSystem& fs, Crc32Kernel kernel = FileCrc32Kernel);

  // False when the read buffers could not be allocated: every hash would fail.
  bool HasBuffer() const { return buffers_ != nullptr; }

  // False when the file cannot be opened (for reading, denying others write
  // access) or a read fails. An empty file gives 0.
  bool ComputeFileCrc(const std::string& path, std::uint32_t* crc);

 private:
  FileSystem& fs_;
  Crc32Kernel kernel_;
  std::unique_ptr<unsigned char[]> buffers_;  // kBufferBytes: two of kReadSize, one after the other
};

}  // namespace sfvcheck
