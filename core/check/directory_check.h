// The directory check: brings every SFV list in an arrived file's directory
// up to date on disk (markers, bad files, state file, meter folder).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/check/file_system.h"
#include "core/check/lock.h"
#include "core/check/pass_ledger.h"
#include "core/settings/run_settings.h"

namespace sfvcheck {

// The process-wide lock that lets one verification pass run at a time.
using CheckLock = Lock;

// What one verification pass decided for each entry of its list.
//   good     present, and its CRC-32 matched (now or in an earlier pass, as
//            the state file records);
//   bad      present with a CRC-32 that does not match (the pass moves it to
//            its BadMarker name), or absent while its BadMarker name exists
//            (moved aside earlier);
//   missing  absent (or still being written, or unreadable) with no BadMarker.
enum class EntryOutcome { kGood, kBad, kMissing };

struct EntryResult {
  std::string path;
  EntryOutcome outcome;
};

struct PassResult {
  std::string prefix;    // the directory, ending in '\'
  std::string listName;  // the list's plain name
  bool listRead = false;  // false: the list could not be read and nothing was done
  std::vector<EntryResult> entries;  // in list order
  std::size_t good = 0;
  std::size_t bad = 0;
  std::size_t missing = 0;
  int percent = 0;  // what the meter folder shows
};

struct CheckContext {
  FileSystem& fs;
  CheckLock& checkLock;
  // Read afresh at the start of every pass, under the lock.
  std::function<RunSettings()> readSettings;
  // Told the result of every pass, after the pass has released the lock.
  std::function<void(const PassResult&)> passDone = nullptr;
  // The event's place in a burst: a list whose pass another event's check
  // has already run since this event was received is skipped (and no result
  // is told for it). Without a ledger or with an invalid ticket every list
  // gets its pass.
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
