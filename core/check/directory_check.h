// The directory check: brings every SFV list in an arrived file's directory
// up to date on disk (markers, bad files, state file, meter folder).
#pragma once

#include <functional>
#include <string>

#include "core/check/file_system.h"
#include "core/check/pass_ledger.h"
#include "core/settings/run_settings.h"

namespace sfvcheck {

// The process-wide lock that lets one verification pass run at a time.
class CheckLock {
 public:
  virtual ~CheckLock() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

struct CheckContext {
  FileSystem& fs;
  CheckLock& checkLock;
  // Read afresh at the start of every pass, under the lock.
  std::function<RunSettings()> readSettings;
  // The event's place in a burst: a list whose pass another event's check
  // has already run since this event was received is skipped. Without a
  // ledger or with an invalid ticket every list gets its pass.
  PassLedger* ledger = nullptr;
  const PassLedger::Ticket* ticket = nullptr;
};

// Runs one verification pass per "*.sfv" list in the path's directory.
// Returns 1 when it looked at the directory, 0 when the path holds no
// separator (nothing is done then).
int DirectoryCheck(const CheckContext& context, const std::string& path);

// One list: sfvPath = prefix + list name. Takes and releases the lock.
void VerificationPass(const CheckContext& context, const std::string& prefix,
                      const std::string& listName);

}  // namespace sfvcheck
