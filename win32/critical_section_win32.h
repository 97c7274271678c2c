// A CRITICAL_SECTION owned by an object, a guard that holds it for a scope,
// and the engine's lock made of one.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>

#include "core/check/lock.h"

namespace sfvcheck {

// A CRITICAL_SECTION that lives as long as the object.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }
  CRITICAL_SECTION* get() { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~CriticalSectionGuard() { section_.Leave(); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CriticalSection& section_;
};

// A lock for the engine (the check lock, a pass ledger's lock) that waits,
// for the lock or for a change, without taking a system object, so
// contention leaves no handle behind.
class CriticalSectionLock : public WaitableLock {
 public:
  void lock() override { section_.Enter(); }
  void unlock() override { section_.Leave(); }

  void WaitFor(std::chrono::milliseconds timeout) override {
    const auto count = std::max<std::chrono::milliseconds::rep>(0, std::min<std::chrono::milliseconds::rep>(
                                                                        timeout.count(), INFINITE - 1));
    SleepConditionVariableCS(&changed_, section_.get(), static_cast<DWORD>(count));
  }
  void NotifyAll() override { WakeAllConditionVariable(&changed_); }

 private:
  CriticalSection section_;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
};

}  // namespace sfvcheck
