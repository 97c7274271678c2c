#include "core/check/file_crc.h"

#include <new>

#include "core/crc/crc32.h"

namespace sfvcheck {

// The buffer is allocated once here rather than per file; without it every
// hash fails, so callers ask HasBuffer() before they rely on a hash.
FileCrc32::FileCrc32(FileSystem& fs) : fs_(fs), buffer_(new (std::nothrow) unsigned char[kReadSize]) {}

bool FileCrc32::ComputeFileCrc(const std::string& path, std::uint32_t* crc) {
  if (!buffer_) return false;
  std::unique_ptr<ReadableFile> file = fs_.OpenForCheck(path);
  if (!file) return false;
  std::uint32_t value = 0;
  for (;;) {
    std::size_t got = 0;
    if (!file->Read(buffer_.get(), kReadSize, &got) || got > kReadSize) return false;
    if (got == 0) break;
    value = FileCrc32Kernel(value, buffer_.get(), got);
  }
  *crc = value;
  return true;
}

}  // namespace sfvcheck
