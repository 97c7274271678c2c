// CRC-32 of a whole file, read through two buffers that live as long as the
// object (one object per verification pass). A large file is hashed in two
// halves at once, the second on a helper thread, each read through a handle
// of its own into a buffer of its own, and the two CRCs are joined: the
// copying out of the system's cache, most of the time a cached file takes,
// then runs on two processors.
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
  // One read buffer for each half, allocated as one.
  static constexpr std::size_t kBufferBytes = 2 * kReadSize;
  // Below this a second thread costs more than it saves.
  static constexpr std::uint64_t kTwoHalvesFrom = 16u << 20;

  // `kernel`: the CRC tier; the benchmark names one, the checker takes the
  // widest this processor runs.
  explicit FileCrc32(FileSystem& fs, Crc32Kernel kernel = FileCrc32Kernel);

  // False when the read buffers could not be allocated: every hash would fail.
  bool HasBuffer() const { return buffers_ != nullptr; }

  // False when the file cannot be opened (for reading, denying others write
  // access) or a read fails. An empty file gives 0.
  bool ComputeFileCrc(const std::string& path, std::uint32_t* crc);

  // Files of at least this many bytes are hashed in two halves; tests and the
  // benchmark move it.
  std::uint64_t twoHalvesFrom = kTwoHalvesFrom;

 private:
  FileSystem& fs_;
  Crc32Kernel kernel_;
  std::unique_ptr<unsigned char[]> buffers_;  // kBufferBytes: two of kReadSize, one after the other
  // Hashes second halves; started at the first file that has one, kept for
  // the rest of the pass.
  std::unique_ptr<FileSystem::Helper> helper_;
  bool helperFailed_ = false;  // none could be started: halves run one after the other
};

}  // namespace sfvcheck
