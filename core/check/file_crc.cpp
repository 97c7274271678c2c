#include "core/check/file_crc.h"

#include <algorithm>
#include <new>

namespace sfvcheck {
namespace {

constexpr std::uint64_t kToTheEnd = UINT64_MAX;

// Hashes `count` bytes of a file from `from` on (kToTheEnd: up to its end,
// which must come after `toEnd` bytes where those are known), reading into
// `buffer`. A file shorter than that fails: it was held denying write, so the
// length it gave cannot have changed, and reads that end sooner cut it short.
class HalfHash : public FileSystem::Job {
 public:
  HalfHash(ReadableFile& file, unsigned char* buffer, Crc32Kernel kernel, std::uint64_t from, std::uint64_t count,
           std::uint64_t toEnd = kToTheEnd)
      : file_(file), buffer_(buffer), kernel_(kernel), from_(from), count_(count), toEnd_(toEnd) {}

  void Run() override {
    try {
      hashed_ = Hash();
    } catch (...) {
      hashed_ = false;  // Run may be a thread's whole work: nothing leaves it
    }
  }

  bool hashed() const { return hashed_; }
  std::uint32_t crc() const { return crc_; }
  std::uint64_t size() const { return size_; }

 private:
  bool Hash() {
    if (from_ != 0 && !file_.Seek(from_)) return false;
    for (;;) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(FileCrc32::kReadSize, count_ - size_));
      if (want == 0) return true;
      std::size_t got = 0;
      if (!file_.Read(buffer_, want, &got) || got > want) return false;
      if (got == 0) return count_ == kToTheEnd && (toEnd_ == kToTheEnd || size_ == toEnd_);
      crc_ = kernel_(crc_, buffer_, got);
      size_ += got;
    }
  }

  ReadableFile& file_;
  unsigned char* buffer_;
  Crc32Kernel kernel_;
  std::uint64_t from_;
  std::uint64_t count_;
  std::uint64_t toEnd_;
  bool hashed_ = false;
  std::uint32_t crc_ = 0;
  std::uint64_t size_ = 0;
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

  // The second half gets a handle of its own: reads through one handle may
  // be taken one at a time, and each half keeps its own position. It is
  // opened the same way, so the file stays denied to writers throughout.
  std::uint64_t length = 0;
  const bool lengthKnown = file->Length(&length);
  std::unique_ptr<ReadableFile> second;
  if (lengthKnown && length >= twoHalvesFrom && length >= 2 * kReadSize) {
    second = fs_.OpenForCheck(path);
  }
  if (!second) {
    HalfHash whole(*file, buffers_.get(), kernel_, 0, kToTheEnd, lengthKnown ? length : kToTheEnd);
    whole.Run();
    if (!whole.hashed()) return false;
    *crc = whole.crc();
    return true;
  }

  // The first half ends on a read boundary, so both read whole blocks.
  const std::uint64_t half = length / 2 / kReadSize * kReadSize;
  HalfHash front(*file, buffers_.get(), kernel_, 0, half);
  HalfHash back(*second, buffers_.get() + kReadSize, kernel_, half, kToTheEnd, length - half);
  if (!helper_ && !helperFailed_) {
    helper_ = fs_.StartHelper();
    helperFailed_ = !helper_;
  }
  if (helper_) {
    helper_->RunTogether(front, back);
  } else {
    front.Run();
    back.Run();
  }
  if (!front.hashed() || !back.hashed()) return false;
  *crc = Crc32Combine(front.crc(), back.crc(), back.size());
  return true;
}

}  // namespace sfvcheck
