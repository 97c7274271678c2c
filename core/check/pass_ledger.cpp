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
    Directory& record = directory->second;
    record.openTickets.erase(stamp_);
    if (record.waiting == stamp_) record.waiting = 0;
    if (record.openTickets.empty()) ledger_->directories_.erase(directory);
  }
  ledger_->NotifyWaiters();
  ledger_ = nullptr;
}

PassLedger::Ticket PassLedger::Receive(std::string_view path, bool* joined) {
  if (joined != nullptr) *joined = false;
  Ticket ticket;
  std::optional<std::string> prefix = DirectoryPrefix(path);
  if (!prefix) return ticket;
  ticket.prefix_ = std::move(*prefix);
  std::lock_guard<LedgerLock> guard(lock_);
  auto directory = directories_.try_emplace(ticket.prefix_).first;  // may throw: no ticket then
  Directory& record = directory->second;
  if (joined != nullptr && record.waiting != 0) {
    OpenTicket& waiting = record.openTickets[record.waiting];
    waiting.covers = ++lastStamp_;
    waiting.lastJoined = std::chrono::steady_clock::now();
    *joined = true;
    ticket.prefix_.clear();
    return ticket;
  }
  try {
    // No event has joined it yet: a lone event's check does not wait to settle.
    record.openTickets.emplace(lastStamp_ + 1, OpenTicket{false, lastStamp_ + 1, Lists::kNotYet, {}});
  } catch (...) {
    if (record.openTickets.empty()) directories_.erase(directory);
    throw;
  }
  ticket.ledger_ = this;
  ticket.stamp_ = ++lastStamp_;
  ticket.received_ = std::chrono::steady_clock::now();
  if (joined != nullptr) record.waiting = ticket.stamp_;
  return ticket;
}

PassLedger::OpenTicket* PassLedger::Find(const Ticket& ticket, Directory** record) {
  if (ticket.ledger_ != this) return nullptr;
  auto directory = directories_.find(ticket.prefix_);
  if (directory == directories_.end()) return nullptr;
  auto open = directory->second.openTickets.find(ticket.stamp_);
  if (open == directory->second.openTickets.end()) return nullptr;
  if (record != nullptr) *record = &directory->second;
  return &open->second;
}

// The clock of a list runs from the oldest event that handed its pass off;
// a whole check's hand-off runs by the oldest of any list.
std::chrono::steady_clock::time_point PassLedger::HandOffUntil(const Ticket& ticket, const Directory& record,
                                                               const std::string* listName) const {
  auto oldest = ticket.received_;
  for (const auto& [name, handedOff] : record.oldestHandedOff) {
    if ((listName == nullptr || name == *listName) && handedOff < oldest) oldest = handedOff;
  }
  return oldest + maxDeferral_;
}

bool PassLedger::HandOff(const Ticket& ticket, const std::string* listName) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* found = nullptr;
  OpenTicket* own = Find(ticket, &found);
  if (own == nullptr) return false;
  Directory& record = *found;
  if (!own->started) {
    own->started = true;
    NotifyWaiters();
  }
  for (;;) {
    // A later check that has listed the directory to its end takes over; one
    // whose enumeration was cut short may miss a list and takes nothing.
    bool laterReady = false;
    bool laterComing = false;
    for (auto later = record.openTickets.rbegin();
         later != record.openTickets.rend() && later->first > ticket.stamp_ && !laterReady; ++later) {
      laterReady = later->second.started && later->second.lists == Lists::kToEnd;
      laterComing = laterComing || later->second.lists == Lists::kNotYet;
    }
    const auto until = HandOffUntil(ticket, record, listName);
    const auto now = std::chrono::steady_clock::now();
    const auto settled = own->lastJoined + settle_;
    const bool settling = listName != nullptr && record.waiting == ticket.stamp_ && now < settled;
    if (now >= until || !(laterReady || laterComing || settling)) return false;
    if (laterReady) {
      auto note = [&](const std::string& name) {
        auto [it, added] = record.oldestHandedOff.emplace(name, ticket.received_);
        if (!added && ticket.received_ < it->second) it->second = ticket.received_;
      };
      if (listName != nullptr) {
        note(*listName);
      } else {
        for (const std::string& name : record.listNames) note(name);
      }
      return true;
    }
    // The host is starting that event's check, or it is listing the
    // directory: wait for it to get there or to end. Or events still join
    // this check: wait for them to settle.
    ++waiters_;
    const auto wake = laterComing ? until : std::min(until, settled);
    lock_.WaitFor(std::chrono::ceil<std::chrono::milliseconds>(wake - now));
    --waiters_;
  }
}

bool PassLedger::LaterEventPending(const Ticket& ticket, const std::string& listName) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  const OpenTicket* own = Find(ticket, &record);
  if (own == nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  bool later = record->waiting == ticket.stamp_ && now < own->lastJoined + settle_;
  for (auto open = record->openTickets.upper_bound(ticket.stamp_); open != record->openTickets.end() && !later;
       ++open) {
    later = open->second.lists != Lists::kCut;
  }
  return later && now < HandOffUntil(ticket, *record, &listName);
}

void PassLedger::NotifyWaiters() {
  if (waiters_ != 0) lock_.NotifyAll();
}

std::uint64_t PassLedger::StampNow() {
  std::lock_guard<LedgerLock> guard(lock_);
  return lastStamp_;
}

std::uint64_t PassLedger::PassStarting(const Ticket& ticket, const std::string& listName) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  if (Find(ticket, &record) != nullptr) {
    record->oldestHandedOff.erase(listName);
    if (record->waiting == ticket.stamp_) record->waiting = 0;
  }
  return lastStamp_;
}

bool PassLedger::EventJoinedSince(const Ticket& ticket, std::uint64_t listedAt) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  OpenTicket* own = Find(ticket, &record);
  if (own == nullptr) return false;
  if (own->covers > listedAt) return true;
  if (record->waiting == ticket.stamp_) record->waiting = 0;
  return false;
}

bool PassLedger::Covered(const Ticket& ticket, const std::string& listName) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  OpenTicket* own = Find(ticket, &record);
  if (own == nullptr) return false;
  auto list = record->lastPassStart.find(listName);
  return list != record->lastPassStart.end() && list->second >= own->covers;
}

void PassLedger::PassCompleted(const Ticket& ticket, const std::string& listName, std::uint64_t start) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  if (Find(ticket, &record) == nullptr) return;
  std::uint64_t& last = record->lastPassStart[listName];
  if (start > last) last = start;
}

bool PassLedger::ListsSeen(const Ticket& ticket, std::vector<std::string>* listNames, std::uint64_t* listedAt) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  OpenTicket* own = Find(ticket, &record);
  if (own == nullptr || record->listsStart < own->covers) return false;
  *listNames = record->listNames;
  *listedAt = record->listsStart;
  own->lists = Lists::kToEnd;
  NotifyWaiters();
  return true;
}

void PassLedger::ListsEnumerated(const Ticket& ticket, std::uint64_t start,
                                 const std::vector<std::string>& listNames, bool toEnd) {
  std::lock_guard<LedgerLock> guard(lock_);
  Directory* record = nullptr;
  OpenTicket* own = Find(ticket, &record);
  if (own == nullptr) return;
  // A check that enumerates again keeps the worse outcome: earlier checks
  // handed off to it on the strength of the first.
  if (own->lists != Lists::kCut) own->lists = toEnd ? Lists::kToEnd : Lists::kCut;
  NotifyWaiters();
  if (!toEnd || listNames.empty() || start <= record->listsStart) return;
  record->listNames = listNames;
  record->listsStart = start;
}

std::size_t PassLedger::DirectoryCount() {
  std::lock_guard<LedgerLock> guard(lock_);
  return directories_.size();
}

}  // namespace sfvcheck
