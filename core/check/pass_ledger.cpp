#include "core/check/pass_ledger.h"

#include <optional>
#include <utility>

#include "core/check/naming.h"

namespace sfvcheck {

PassLedger::PassLedger() : ownLock_(std::make_unique<MutexLock>()), lock_(*ownLock_) {}

PassLedger::Ticket::~Ticket() { Release(); }

PassLedger::Ticket::Ticket(Ticket&& other) noexcept
    : ledger_(std::exchange(other.ledger_, nullptr)), prefix_(std::move(other.prefix_)), stamp_(other.stamp_) {}

PassLedger::Ticket& PassLedger::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    Release();
    ledger_ = std::exchange(other.ledger_, nullptr);
    prefix_ = std::move(other.prefix_);
    stamp_ = other.stamp_;
  }
  return *this;
}

void PassLedger::Ticket::Release() {
  if (ledger_ == nullptr) return;
  std::lock_guard<LedgerLock> guard(ledger_->lock_);
  auto directory = ledger_->directories_.find(prefix_);
  if (directory != ledger_->directories_.end() && --directory->second.openTickets == 0) {
    ledger_->directories_.erase(directory);
  }
  ledger_ = nullptr;
}

PassLedger::Ticket PassLedger::Receive(std::string_view path) {
  Ticket ticket;
  std::optional<std::string> prefix = DirectoryPrefix(path);
  if (!prefix) return ticket;
  ticket.prefix_ = std::move(*prefix);
  std::lock_guard<LedgerLock> guard(lock_);
  ++directories_[ticket.prefix_].openTickets;  // may throw: no ticket then
  ticket.ledger_ = this;
  ticket.stamp_ = ++lastStamp_;
  return ticket;
}

std::uint64_t PassLedger::PassStart() {
  std::lock_guard<LedgerLock> guard(lock_);
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
