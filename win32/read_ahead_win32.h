// Reading that does not wait for hashing: a thread of its own reads the next
// block of a file into one buffer while the caller's sink takes the block
// before from the other.
#pragma once

#include <cstddef>

#include "core/check/file_system.h"

namespace sfvcheck {

// ReadableFile::ReadToEnd with `file`'s Read called on a reader thread, one
// block ahead of the sink. The same result: false on a read error, after the
// sink has taken every block before it. When no thread can be started the
// blocks are read one after the other on the caller's thread. The reader has
// ended when this returns, whatever happened.
bool ReadAheadToEnd(ReadableFile& file, unsigned char* const buffers[2], std::size_t size, BlockSink& sink);

}  // namespace sfvcheck
