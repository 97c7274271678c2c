#include "core/check/file_crc.h"

#include <new>

namespace sfvcheck {
namespace {

class CrcSink : public BlockSink {
 public:
  explicit CrcSink(Crc32Kernel kernel) : kernel_(kernel) {}
  void Take(const unsigned char* data, std::size_t size) override { crc_ = kernel_(crc_, data, size); }
  std::uint32_t crc() const { return crc_; }

 private:
  Crc32Kernel kernel_;
  std::uint32_t crc_ = 0;
};

}  // namespace

// The buffers are allocated once here rather than per file; without them
// every hash fails, so callers ask HasBuffer() before they rely on a hash.
FileCrc32::FileCrc32(FileSystem& fs, Crc32Kernel kernel)
    : fs_(fs), kernel_(kernel), buffers_(new (std::nothrow) unsigned char[kBufferBytes]) {}

bool FileCrc32::ComputeFileCrc(const std::string& path, std::uint32_t* crc) {
  if (!buffers_) return false;
  std::unique_ptr<ReadableFile> file = fs_.OpenForCheck(path);
  if (!file) return false;
  unsigned char* const buffers[2] = {buffers_.get(), buffers_.get() + kReadSize};
  CrcSink sink(kernel_);
  if (!file->ReadToEnd(buffers, kReadSize, sink)) return false;
  *crc = sink.crc();
  return true;
}

}  // namespace sfvcheck
