// A CRITICAL_SECTION owned by an object, a guard that holds it for a scope,
// and the engine's lock made of one.
#pragma once

#include <windows.h>

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

// A lock for the engine (the check lock in benchmarks and tests) that takes
// no system object under contention, so contention leaves no handle behind.
class CriticalSectionLock : public Lock {
 public:
  void lock() override { section_.Enter(); }
  void unlock() override { section_.Leave(); }

 private:
  CriticalSection section_;
};

}  // namespace sfvcheck
