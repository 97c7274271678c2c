// CRC-32 of a whole file, read through one buffer that lives as long as the
// object (one object per verification pass).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/file_system.h"

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

// Carry-less multiply on 512-bit registers (AVX-512F with VPCLMULQDQ): on a
// cached file the 128-bit kernel takes longer than ReadFile's own copy, this
// one several times less. Same contract as Crc32; only valid where
// Crc32Avx512Supported() is true (processor and operating system).
bool Crc32Avx512Supported();
std::uint32_t Crc32Avx512(std::uint32_t crc, const void* data, std::size_t size);

// The kernel ComputeFileCrc uses: Crc32Avx512 where supported, else Crc32.
std::uint32_t FileCrc32Kernel(std::uint32_t crc, const void* data, std::size_t size);

}  // namespace sfvcheck
