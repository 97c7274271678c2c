// A CheckLock over std::mutex for tests, which can tell whether it is held.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "core/check/directory_check.h"

namespace sfvcheck::testing {

class StdCheckLock : public CheckLock {
 public:
  void lock() override {
    mutex_.lock();
    held_ = true;
    ++acquisitions_;
  }
  void unlock() override {
    held_ = false;
    mutex_.unlock();
  }

  bool held() const { return held_; }
  std::size_t acquisitions() const { return acquisitions_; }

 private:
  std::mutex mutex_;
  std::atomic<bool> held_{false};
  std::atomic<std::size_t> acquisitions_{0};
};

}  // namespace sfvcheck::testing
