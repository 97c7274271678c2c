// One verification pass: brings one SFV list up to date on disk (markers,
// bad files, state file, meter folder), under the check lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/check/file_system.h"
#include "core/check/lock.h"
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
  // Set when this pass found the file corrupt and copied it to its BadMarker
  // name: the file's size and both CRC-32 values.
  bool movedAside = false;
  std::uint64_t size = 0;
  std::uint32_t listedCrc = 0;
  std::uint32_t foundCrc = 0;
};

// What a pass could not do, with the system's error code (0 when none was
// given) and the path concerned.
enum class PassErrorKind {
  kReadList,         // the list could not be read: nothing else was done
  kCopyAside,        // a corrupt file could not be copied to its BadMarker name
  kRemoveAfterCopy,  // copied aside, but the file under its listed name stayed
  kWriteState,       // the state file could not be appended to
  kTakeLock,         // the lock shared with other processes could not be had
};

struct PassError {
  PassErrorKind kind;
  std::uint32_t code = 0;
  std::string path;
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
  // This pass brought the list to 100 % (once per completion: not on a later
  // pass over a set that was complete already). Then also the bytes of the
  // listed files and the list file's creation time (0: unknown).
  bool completed = false;
  std::uint64_t totalBytes = 0;
  std::uint64_t listCreated = 0;
  std::vector<PassError> errors;
};

// The lists a process has seen reach 100 %, for the one case the disk cannot
// tell: a complete set with the delete flag on leaves neither meter folder,
// markers nor state file, just as a set whose files all came before its list
// does. Keyed by the list's path as the file system folds it; bounded (when
// full it starts again, so a set may then be announced once more).
class CompletedLists {
 public:
  static constexpr std::size_t kCapacity = 4096;
  bool Contains(const std::string& key) const { return keys_.count(key) != 0; }
  void Add(const std::string& key) {
    if (keys_.size() >= kCapacity) keys_.clear();
    keys_.insert(key);
  }
  void Remove(const std::string& key) { keys_.erase(key); }

 private:
  std::unordered_set<std::string> keys_;
};

struct CheckContext {
  FileSystem& fs;
  CheckLock& checkLock;
  // Read afresh at the start of every pass, under the lock.
  std::function<RunSettings()> readSettings;
  // Told the result of every pass, after the pass has released the lock.
  std::function<void(const PassResult&)> passDone = nullptr;
  // Guarded by checkLock. Without it a complete set that left no trace on
  // disk counts as completed on every pass.
  CompletedLists* completedLists = nullptr;
};

// One list: sfvPath = prefix + list name. Takes and releases the lock.
void VerificationPass(const CheckContext& context, const std::string& prefix,
                      const std::string& listName);

}  // namespace sfvcheck
