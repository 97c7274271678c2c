#include "win32/directory_checks_win32.h"

#include <memory>
#include <utility>

namespace sfvcheck {

// The event takes its ticket now, before its worker starts; the worker's
// body owns the ticket and drops it when the check ends.
void DirectoryChecks::FileArrived(std::string_view path) {
  std::shared_ptr<PassLedger::Ticket> ticket;
  try {
    bool joined = false;
    PassLedger::Ticket received = ledger_.Receive(path, &joined);
    if (joined) {
      // The waiting check may be one still without a thread: try again now.
      workers_.StartPending();
      return;
    }
    ticket = std::make_shared<PassLedger::Ticket>(std::move(received));
  } catch (...) {
    // Without a ticket the check runs every pass, as it would alone.
  }
  workers_.StartDirectoryCheck(path, [this, ticket](const std::string& copy) { return run_(copy, ticket.get()); });
}

}  // namespace sfvcheck
