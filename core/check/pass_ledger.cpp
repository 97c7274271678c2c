#include "core/check/pass_ledger.h"

#include <optional>
#include <utility>

#include "core/check/naming.h"

namespace sfvcheck {

PassLedger::PassLedger(std::chrono::milliseconds maxDeferral)
    : ownLock_(std::make_unique<MutexLock>()), lock_(*ownLock_), maxDeferral_(maxDeferral) {}

PassLedger::Ticket::~Ticket() { Release(); }

PassLedger::Ticket::Ticket(Ticket&& other) noexcept
    : ledger_(std::exchange(other.ledger_, nullptr)),
      prefix_(std::move(other.prefix_)),
      stamp_(other.stamp_),
      received_(other.received_) {}

PassLedger::Ticket& PassLedger::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    Release();
    ledger_ = std::exchange(other.ledger_, nullptr);
    prefix_ = std::move(other.prefix_);
    stamp_ = other.stamp_;
    received_ = other.received_;
  }
  return *this;
}

// A check waiting in HandOff for this one to start must now run its own.
void PassLedger::Ticket::Release() {
  if (ledger_ == nullptr) return;
  std::lock_guard<LedgerLock> guard(ledger_->lock_);
  auto directory = ledger_->directories_.find(prefix_);
  if (directory != ledger_->directories_.end()) {
    directory->second.openTickets.erase(stamp_);
    if (directory->second.openTickets.empty()) ledger_->directories_.erase(directory);
  }
  ledger_->NotifyWaiters();
  ledger_ = nullptr;
}

PassLedger::Ticket PassLedger::Receive(std::string_view path) {
  Ticket ticket;
  std::optional<std::string> prefix = DirectoryPrefix(path);
  if (!prefix) return ticket;
  ticket.prefix_ = std::move(*prefix);
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.try_emplace(ticket.prefix_).first;  // may throw: no ticket then
  try {
    directory->second.openTickets.emplace(lastStamp_ + 1, false);
  } catch (...) {
    if (directory->second.openTickets.empty()) directories_.erase(directory);
    throw;
  }
  ticket.ledger_ = this;
  ticket.stamp_ = ++lastStamp_;
  ticket.received_ = std::chrono::steady_clock::now();
  return ticket;
}

std::chrono::steady_clock::time_point PassLedger::HandOffUntil(const Ticket& ticket,
                                                               const Directory& record) const {
  return record.oldestHandedOff.value_or(ticket.received_) + maxDeferral_;
}

bool PassLedger::HandOff(const Ticket& ticket) {
  if (ticket.ledger_ != this) return false;
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end()) return false;
  Directory& record = directory->second;
  bool& started = record.openTickets[ticket.stamp_];
  if (!started) {
    started = true;
    NotifyWaiters();
  }
  for (;;) {
    bool laterStarted = false;
    bool laterReceived = false;
    for (auto later = record.openTickets.rbegin();
         later != record.openTickets.rend() && later->first > ticket.stamp_ && !laterStarted; ++later) {
      laterStarted = later->second;
      laterReceived = true;
    }
    const auto until = HandOffUntil(ticket, record);
    const auto now = std::chrono::steady_clock::now();
    if (!laterReceived || now >= until) return false;
    if (laterStarted) {
      if (!record.oldestHandedOff || ticket.received_ < *record.oldestHandedOff) {
        record.oldestHandedOff = ticket.received_;
      }
      return true;
    }
    // The host is starting that event's check: wait for it to start or end.
    ++waiters_;
    lock_.WaitFor(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    --waiters_;
  }
}

bool PassLedger::LaterEventPending(const Ticket& ticket) {
  if (ticket.ledger_ != this) return false;
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end()) return false;
  const Directory& record = directory->second;
  return record.openTickets.rbegin()->first > ticket.stamp_ &&
         std::chrono::steady_clock::now() < HandOffUntil(ticket, record);
}

void PassLedger::NotifyWaiters() {
  if (waiters_ != 0) lock_.NotifyAll();
}

std::uint64_t PassLedger::StampNow() {
  std::lock_guard<LedgerLock> guard(lock_);
  return lastStamp_;
}

std::uint64_t PassLedger::PassStarting(const Ticket& ticket) {
  std::lock_guard<LedgerLock> guard(lock_);
  if (ticket.ledger_ == this) {
    auto directory = directories_.find(ticket.prefix_);
    if (directory != directories_.end()) directory->second.oldestHandedOff.reset();
  }
  return lastStamp_;
}

bool PassLedger::Covered(const Ticket& ticket, const std::string& listName) {
  if (ticket.ledger_ != this) return false;
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end()) return false;
  auto list = directory->second.lastPassStart.find(listName);
  return list != directory->second.lastPassStart.end() && list->second >= ticket.stamp_;
}

void PassLedger::PassCompleted(const Ticket& ticket, const std::string& listName, std::uint64_t start) {
  if (ticket.ledger_ != this) return;
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end()) return;
  std::uint64_t& last = directory->second.lastPassStart[listName];
  if (start > last) last = start;
}

bool PassLedger::ListsSeen(const Ticket& ticket, std::vector<std::string>* listNames) {
  if (ticket.ledger_ != this) return false;
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end() || directory->second.listsStart < ticket.stamp_) return false;
  *listNames = directory->second.listNames;
  return true;
}

void PassLedger::ListsEnumerated(const Ticket& ticket, std::uint64_t start, const std::vector<std::string>& listNames) {
  if (ticket.ledger_ != this) return;
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end() || start <= directory->second.listsStart) return;
  directory->second.listNames = listNames;
  directory->second.listsStart = start;
}

std::size_t PassLedger::DirectoryCount() {
  std::lock_guard<LedgerLock> guard(lock_);
  return directories_.size();
}

}  // namespace sfvcheck
