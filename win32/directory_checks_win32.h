// File events turned into checks on worker threads. An event whose directory
// already has a waiting check (one whose passes all start after now) joins
// it and needs no thread; any other event gets a check and a worker of its
// own. So a burst holds about two workers per directory (one in its pass,
// one waiting), not one per event.
//
// Threads: FileArrived runs on any host thread; the ledger and the workers
// have locks of their own. The object must outlive every worker it starts.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "core/check/pass_ledger.h"
#include "win32/workers_win32.h"

namespace sfvcheck {

class DirectoryChecks {
 public:
  // Runs the check of one event on its worker; the ticket may be null.
  using RunCheck = std::function<DWORD(const std::string& path, const PassLedger::Ticket* ticket)>;

  DirectoryChecks(Workers& workers, PassLedger& ledger, RunCheck run)
      : workers_(workers), ledger_(ledger), run_(std::move(run)) {}
  DirectoryChecks(const DirectoryChecks&) = delete;
  DirectoryChecks& operator=(const DirectoryChecks&) = delete;

  void FileArrived(std::string_view path);

 private:
  Workers& workers_;
  PassLedger& ledger_;
  const RunCheck run_;
};

}  // namespace sfvcheck
