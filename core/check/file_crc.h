// CRC-32 of a whole file, read through one buffer that lives as long as the
// object (one object per verification pass).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/check/file_system.h"

namespace sfvcheck {

class FileCrc32 {
 public:
  // Measured best for reading and hashing a cached file: large enough that
  // the call overhead vanishes, small enough that the block is still in the
  // processor cache when the CRC passes over it.
  static constexpr std::size_t kReadSize = 256 * 1024;

  explicit FileCrc32(FileSystem& fs);

  // False when the read buffer could not be allocated: every hash would fail.
  bool HasBuffer() const { return buffer_ != nullptr; }

  // False when the file cannot be opened (for reading, denying others write
  // access) or a read fails. An empty file gives 0.
  bool ComputeFileCrc(const std::string& path, std::uint32_t* crc);

 private:
  FileSystem& fs_;
  std::unique_ptr<unsigned char[]> buffer_;
};

}  // namespace sfvcheck
