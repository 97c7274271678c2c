// Runs on checking worker threads. The only state shared between threads is
// the CheckLock, held for the whole of each verification pass; everything
// else (list, settings, CRC buffer, the state file's lines) belongs to the
// pass that made it.
#include "engine/directory_check.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "engine/file_crc.h"
#include "engine/naming.h"
#include "engine/sfv_list.h"
#include "engine/text.h"

namespace sfvcheck {
namespace {

constexpr char kListPattern[] = "*.sfv";
constexpr char kListSuffix[] = ".sfv";
constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kStateReadSize = 4096;

// The lines of a state file: split at LF, CR LF or a lone CR, terminators
// dropped. On a read error the lines completed so far are kept but a
// partial last line is not, since a cut-off path could equal another entry.
std::unordered_set<std::string> ReadStateLines(FileSystem& fs, const std::string& statePath) {
  std::unordered_set<std::string> lines;
  std::unique_ptr<ReadableFile> file = fs.OpenForCheck(statePath);
  if (!file) return lines;
  char buffer[kStateReadSize];
  std::string line;
  bool afterCr = false;
  for (;;) {
    std::size_t got = 0;
    if (!file->Read(buffer, sizeof buffer, &got)) return lines;
    if (got == 0) break;
    for (std::size_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (afterCr) {
        afterCr = false;
        if (c == '\n') continue;
      }
      if (c == '\r' || c == '\n') {
        lines.insert(std::move(line));
        line.clear();
        afterCr = c == '\r';
      } else {
        line += c;
      }
    }
  }
  if (!line.empty()) lines.insert(std::move(line));
  return lines;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The markers of one kind in the directory: those listed when the pass
// starts and those it makes. Where looking up an absent name reads the whole
// directory (Wine on a case-sensitive file system does), deleting both
// markers of every good entry by name would make a pass quadratic in the
// number of files; one listing per pass keeps it linear. Names are compared
// as the file system stores them (a listed "a.rar " makes "a-[MISSING].rar").
// Answers "absent" only when sure: a name in a subdirectory or beyond ASCII,
// where the system's folding and the file system's could differ, is always
// looked up.
class MarkerIndex {
 public:
  MarkerIndex(FileSystem& fs, const std::string& prefix, std::string_view tag) : fs_(fs), prefix_(prefix) {
    for (const std::string& name : fs.ListMatches(prefix + "*" + std::string(tag) + "*")) Remember(name);
  }

  bool MayExist(const std::string& path) const {
    if (lookUpAll_) return true;
    std::string_view name = NameInDirectory(path);
    return name.empty() || !IsAscii(name) || names_.count(NameKey(fs_, name)) != 0;
  }

  void Add(const std::string& path) {
    std::string_view name = NameInDirectory(path);
    if (name.empty()) return;  // always looked up anyway
    Remember(name);
  }

 private:
  // The plain name when the path lies directly in the directory, else empty.
  std::string_view NameInDirectory(std::string_view path) const {
    if (path.size() <= prefix_.size() || path.compare(0, prefix_.size(), prefix_) != 0) return {};
    std::string_view name = path.substr(prefix_.size());
    if (!IsAscii(name)) return name;  // checked by the caller; may hold trail bytes like '\\'
    return name.find_first_of("\\/") == std::string_view::npos ? name : std::string_view();
  }

  void Remember(std::string_view name) {
    if (!IsAscii(name)) lookUpAll_ = true;
    names_.insert(NameKey(fs_, name));
  }

  FileSystem& fs_;
  const std::string& prefix_;
  std::unordered_set<std::string> names_;
  bool lookUpAll_ = false;
};

// Removes every empty directory whose name begins with the start trail.
// Wildcard matching on Windows can also match through 8.3 short names, so
// each name is tested again.
void RemoveMeterFolders(FileSystem& fs, const std::string& prefix, const std::string& startTrail) {
  for (const std::string& name : fs.ListMatches(prefix + startTrail + "*")) {
    if (!StartsWithAsStored(fs, name, startTrail)) continue;
    fs.RemoveEmptyDirectory(prefix + name);
  }
}

// False when the list could not be read, so nothing was done.
bool RunPass(const CheckContext& context, const std::string& prefix, const std::string& listName) {
  FileSystem& fs = context.fs;
  FileCrc32 fileCrc(fs);
  SfvList list;
  RunSettings settings = context.readSettings ? context.readSettings() : RunSettings{};

  if (!ReadSfvList(fs, prefix + listName, list)) return false;

  const std::string statePath = StateFileName(prefix, listName);
  // Read on the first found entry, then kept up to date with what this pass
  // appends, so a later duplicate of an entry sees it as verified.
  std::optional<std::unordered_set<std::string>> stateLines;
  std::size_t good = 0;
  MarkerIndex missingMarkers(fs, prefix, kMissingTag);
  MarkerIndex badMarkers(fs, prefix, kBadTag);

  for (SfvEntry& entry : list) {
    entry.found = fs.OpenForCheck(entry.path) != nullptr;

    if (entry.found) {
      if (!stateLines) stateLines = ReadStateLines(fs, statePath);
      entry.verified = stateLines->count(entry.path) != 0;
    }

    if (entry.found && !entry.verified) {
      std::uint32_t crc = 0;
      if (!fileCrc.ComputeFileCrc(entry.path, &crc)) {
        entry.found = false;
      } else if (crc == entry.expectedCrc) {
        entry.verified = true;
        // A lost append only costs a second hash on a later pass.
        if (fs.AppendBytes(statePath, entry.path + kLineEnd)) stateLines->insert(entry.path);
      }
    }

    const std::string missingMarker = MissingMarkerName(entry.path);
    const std::string badMarker = BadMarkerName(entry.path);
    if (entry.found && entry.verified) {
      ++good;
      if (missingMarkers.MayExist(missingMarker)) fs.RemoveFile(missingMarker);
      if (badMarkers.MayExist(badMarker)) fs.RemoveFile(badMarker);
    } else if (entry.found) {
      // Move aside: the listed file goes only once its copy is safe. A failed
      // copy may still leave a partial file behind.
      // Once moved aside the file is bad, no longer missing: an earlier
      // MissingMarker would tell users the wrong thing.
      badMarkers.Add(badMarker);
      if (fs.CopyOver(entry.path, badMarker)) {
        fs.RemoveFile(entry.path);
        if (missingMarkers.MayExist(missingMarker)) fs.RemoveFile(missingMarker);
      }
    } else if (!badMarkers.MayExist(badMarker) || !fs.Exists(badMarker)) {
      missingMarkers.Add(missingMarker);
      fs.CreateEmptyFile(missingMarker);
    }
  }

  RemoveMeterFolders(fs, prefix, settings.startTrail);

  int percent = CompletePercentage(good, list.size());
  std::string meterPath = prefix + MeterFolderName(percent, settings);
  if (percent < 100) {
    fs.MakeDirectory(meterPath);
    return true;
  }
  if (settings.deleteFlag != 0) {
    RemoveMeterFolders(fs, prefix, settings.startTrail);
  } else {
    fs.MakeDirectory(meterPath);
  }
  fs.RemoveFile(statePath);
  return true;
}

}  // namespace

void VerificationPass(const CheckContext& context, const std::string& prefix,
                      const std::string& listName) {
  std::lock_guard<CheckLock> guard(context.checkLock);
  try {
    // The ticket's directory is this one unless the path was spelt otherwise.
    PassLedger* ledger = context.ledger != nullptr && context.ticket != nullptr &&
                                 context.ticket->valid() && context.ticket->prefix() == prefix
                             ? context.ledger
                             : nullptr;
    if (ledger != nullptr && ledger->Covered(*context.ticket, listName)) return;
    const std::uint64_t start = ledger != nullptr ? ledger->PassStart() : 0;
    // Only a pass that ran to its end covers the events received before it.
    if (RunPass(context, prefix, listName) && ledger != nullptr) {
      ledger->PassCompleted(*context.ticket, listName, start);
    }
  } catch (...) {
    // Out of memory or a failing settings reader: this list waits for the
    // next event; nothing may leave a worker.
  }
}

int DirectoryCheck(const CheckContext& context, const std::string& path) {
  try {
    std::optional<std::string> prefix = DirectoryPrefix(path);
    if (!prefix) return 0;
    std::vector<std::string> names = context.fs.ListMatches(*prefix + kListPattern);
    for (const std::string& name : names) {
      // An 8.3 short name can match "*.sfv" for a longer extension.
      if (!EndsWithNoCase(name, kListSuffix)) continue;
      VerificationPass(context, *prefix, name);
    }
  } catch (...) {
  }
  return 1;
}

}  // namespace sfvcheck
