// A lock handed to the engine, so that the platform chooses what it is made
// of (a critical section in the plug-in, a std::mutex in tests).
#pragma once

namespace sfvcheck {

class Lock {
 public:
  virtual ~Lock() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

}  // namespace sfvcheck
