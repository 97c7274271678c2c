// The list of the handles of the plug-in's checking threads.
#pragma once

#include <windows.h>

#include <memory>

namespace sfvcheck {

// An unordered, growable array of thread handles: 10 slots at first, 10 more
// whenever it is full. It never closes a handle; whoever removes one owns it.
class WorkerList {
 public:
  static constexpr int kGrowthStep = 10;

  WorkerList();
  virtual ~WorkerList();
  WorkerList(const WorkerList&) = delete;
  WorkerList& operator=(const WorkerList&) = delete;

  // Throws std::bad_alloc when the list cannot grow; the list is unchanged then.
  void Append(HANDLE handle);
  // Takes out the first slot holding `handle`, moving the last handle into
  // its place. False when the handle is not listed.
  bool Remove(HANDLE handle);

  int count() const { return count_; }
  int capacity() const { return capacity_; }
  HANDLE at(int index) const { return slots_[index]; }
  const HANDLE* slots() const { return slots_.get(); }

 private:
  int count_ = 0;
  int capacity_ = kGrowthStep;
  std::unique_ptr<HANDLE[]> slots_;
};

}  // namespace sfvcheck
