#include "win32/worker_list_win32.h"

#include <algorithm>
#include <utility>

namespace sfvcheck {

WorkerList::WorkerList() : slots_(new HANDLE[kGrowthStep]) {}

WorkerList::~WorkerList() = default;

void WorkerList::Append(HANDLE handle) {
  if (count_ >= capacity_) {
    std::unique_ptr<HANDLE[]> grown(new HANDLE[capacity_ + kGrowthStep]);
    std::copy(slots_.get(), slots_.get() + count_, grown.get());
    slots_ = std::move(grown);
    capacity_ += kGrowthStep;
  }
  slots_[count_++] = handle;
}

bool WorkerList::Remove(HANDLE handle) {
  for (int i = 0; i < count_; ++i) {
    if (slots_[i] == handle) {
      slots_[i] = slots_[count_ - 1];
      --count_;
      return true;
    }
  }
  return false;
}

}  // namespace sfvcheck
