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
  static constexpr std::size_t kReadSize = 1 << 20;

  explicit FileCrc32(FileSystem& fs);

  // False when the file cannot be opened (for reading, denying others write
  // access) or a read fails. An empty file gives 0.
  bool ComputeFileCrc(const std::string& path, std::uint32_t* crc);

 private:
  FileSystem& fs_;
  std::unique_ptr<unsigned char[]> buffer_;
};

}  // namespace sfvcheck
