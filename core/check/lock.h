// A lock handed to the engine, so that the platform chooses what it is made
// of (a critical section in the plug-in, a std::mutex in tests).
#pragma once

#include <cstdint>

namespace sfvcheck {

class Lock {
 public:
  virtual ~Lock() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
  // Asked by the holder: the system's error code when the last lock() went on
  // without part of what it guards with (a lock shared with other processes
  // that could not be had), 0 when it got all of it.
  virtual std::uint32_t LastLockFailure() const { return 0; }
};

}  // namespace sfvcheck
