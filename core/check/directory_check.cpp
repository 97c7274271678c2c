// Runs on checking worker threads. The only state shared between threads is
// the CheckLock, held for the whole of each verification pass; everything
// else (list, settings, CRC buffer, the state file's lines) belongs to the
// pass that made it.
#include "core/check/directory_check.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/check/file_crc.h"
#include "core/check/naming.h"
#include "core/check/sfv_list.h"
#include "core/check/text.h"

namespace sfvcheck {
namespace {

constexpr char kListPattern[] = "*.sfv";
constexpr char kListSuffix[] = ".sfv";
constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kStateReadSize = 4096;

// The lines of a state file that equal a listed entry's path, split at LF,
// CR LF or a lone CR, terminators dropped. Anyone can upload a file under the
// state file's name, so nothing else is kept and no line is held beyond the
// longest listed path: memory stays bounded by the list whatever the file
// holds. On a read error the lines completed so far are kept but a partial
// last line is not, since a cut-off path could equal another entry.
// `endsInsideLine` tells whether the file ends without a line end, so that
// an append must begin with one.
std::unordered_set<std::string> ReadStateLines(FileSystem& fs, const std::string& statePath,
                                               const SfvList& list, bool* endsInsideLine) {
  std::unordered_set<std::string> lines;
  *endsInsideLine = false;
  std::unique_ptr<ReadableFile> file = fs.OpenForCheck(statePath);
  if (!file) return lines;
  std::unordered_set<std::string_view> listed;
  std::size_t longest = 0;
  for (const SfvEntry& entry : list) {
    listed.insert(entry.path);
    longest = std::max(longest, entry.path.size());
  }
  char buffer[kStateReadSize];
  std::string line;
  bool tooLong = false;
  auto endLine = [&] {
    if (!tooLong && listed.count(line) != 0) lines.insert(line);
    line.clear();
    tooLong = false;
  };
  bool afterCr = false;
  for (;;) {
    std::size_t got = 0;
    if (!file->Read(buffer, sizeof buffer, &got)) return lines;
    if (got == 0) break;
    *endsInsideLine = buffer[got - 1] != '\r' && buffer[got - 1] != '\n';
    for (std::size_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (afterCr) {
        afterCr = false;
        if (c == '\n') continue;
      }
      if (c == '\r' || c == '\n') {
        endLine();
        afterCr = c == '\r';
      } else if (line.size() < longest) {
        line += c;
      } else {
        tooLong = true;
      }
    }
  }
  if (!line.empty()) endLine();
  return lines;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// A listed name that the listing shows only in part: a character beyond
// ASCII, which the system may fold to an ASCII letter (and whose trail byte
// may look like ASCII), or a '?' or '*' standing for a character the code
// page lacks. Each such character, with the byte after it, becomes a '*':
// the pattern matches every ASCII name the entry could answer to.
bool IsUnsureCharacter(char c) { return static_cast<unsigned char>(c) >= 0x80 || c == '?' || c == '*'; }

bool IsPartlyShown(std::string_view name) {
  return std::any_of(name.begin(), name.end(), IsUnsureCharacter);
}

std::string PartlyShownPattern(std::string_view name) {
  std::string pattern;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (IsUnsureCharacter(c)) {
      if (static_cast<unsigned char>(c) >= 0x80) ++i;  // a possible trail byte
      if (pattern.empty() || pattern.back() != '*') pattern += '*';
    } else {
      pattern += c;
    }
  }
  return pattern;
}

// One listing of the directory, taken when a pass starts and kept up to date
// with what the pass itself makes and removes, answers for most names the
// pass uses whether they exist, so that the pass need not ask the file
// system name by name: opening an absent file, recreating a MissingMarker
// that is already there and deleting markers that are not there cost more
// than the rest of a visit (under Wine on a case-sensitive file system every
// lookup of an absent name reads the whole directory). Names compare as the
// file system stores them (a listed "a.rar " is the file a.rar).
//
// It answers only where it is sure, and says kUnknown otherwise: for names in
// a subdirectory, names beyond ASCII, names that reach past the plain name
// (':' for a stream) or may be an 8.3 alias ('~'), names that a listed name
// shown only in part could stand for, names whose key several listed entries
// share (a case-sensitive directory holding a.rar and A.RAR, or a name with
// a trailing dot made through "\\?\"), and every name when the directory
// could not be listed to its end.
class DirectoryListing {
 public:
  enum class Kind { kUnknown, kAbsent, kEmptyFile, kFile, kDirectory };

  DirectoryListing(FileSystem& fs, const std::string& prefix) : fs_(fs), prefix_(prefix) {
    std::vector<DirectoryEntry> entries;
    complete_ = fs.ListDirectory(prefix, &entries);
    if (!complete_) return;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      const DirectoryEntry& entry = entries[index];
      const Kind kind = entry.isDirectory ? Kind::kDirectory : entry.size == 0 ? Kind::kEmptyFile : Kind::kFile;
      for (const std::string* name : {&entry.name, &entry.shortName}) {
        if (name->empty()) continue;
        if (IsPartlyShown(*name)) {
          partlyShown_.push_back(PartlyShownPattern(*name));
          if (entry.isDirectory) partlyShownDirectory_ = true;
          continue;
        }
        std::string key = NameKey(fs, *name);
        auto [it, added] = names_.try_emplace(key, Name{kind, entry.name, index});
        // Which of two entries a name reaches is the file system's to say.
        if (!added && it->second.entry != index) shared_.insert(std::move(key));
      }
    }
  }

  // Whether the listing knows every directory by name.
  bool knowsDirectories() const { return complete_ && !partlyShownDirectory_ && shared_.empty(); }

  Kind Look(const std::string& path) const {
    std::string key;
    if (!KeyOf(path, &key)) return Kind::kUnknown;
    auto it = names_.find(key);
    return it == names_.end() ? Kind::kAbsent : it->second.kind;
  }

  // The pass made, replaced or removed `path` (kUnknown: it may have).
  void Note(const std::string& path, Kind kind) {
    std::string key;
    if (!KeyOf(path, &key)) return;
    if (kind == Kind::kAbsent) {
      names_.erase(key);
      return;
    }
    auto it = names_.find(key);
    if (it != names_.end()) {
      it->second.kind = kind;  // a replaced file keeps its stored spelling
    } else {
      names_[key] = {kind, fs_.StoredName(path.substr(prefix_.size())), kMadeByPass};
    }
  }

  // The stored names of the listed directories that begin with `trail`.
  std::vector<std::string> DirectoriesStartingWith(const std::string& trail) const {
    std::vector<std::string> names;
    for (const auto& [key, name] : names_) {
      if (name.kind == Kind::kDirectory && NameKey(fs_, name.stored) == key &&
          StartsWithAsStored(fs_, name.stored, trail)) {
        names.push_back(name.stored);
      }
    }
    return names;
  }

  // Whether a directory of exactly this stored spelling is listed.
  bool HoldsDirectorySpelt(const std::string& path) const {
    std::string key;
    if (!KeyOf(path, &key)) return false;
    auto it = names_.find(key);
    return it != names_.end() && it->second.kind == Kind::kDirectory &&
           it->second.stored == fs_.StoredName(path.substr(prefix_.size()));
  }

 private:
  static constexpr std::size_t kMadeByPass = static_cast<std::size_t>(-1);

  struct Name {
    Kind kind;
    std::string stored;
    std::size_t entry;  // its index in the listing (kMadeByPass: made since)
  };

  // The key of a plain name of this directory that the listing can vouch for.
  bool KeyOf(const std::string& path, std::string* key) const {
    if (!complete_ || path.size() <= prefix_.size() || path.compare(0, prefix_.size(), prefix_) != 0) {
      return false;
    }
    const std::string_view name = std::string_view(path).substr(prefix_.size());
    if (!IsAscii(name) || name.find_first_of("\\/:~") != std::string_view::npos) return false;
    *key = NameKey(fs_, name);
    if (key->empty() || shared_.count(*key) != 0) return false;
    for (const std::string& pattern : partlyShown_) {
      if (WildcardMatchNoCase(pattern, *key)) return false;
    }
    return true;
  }

  FileSystem& fs_;
  const std::string& prefix_;
  bool complete_ = false;
  std::unordered_map<std::string, Name> names_;  // by NameKey, 8.3 aliases too
  std::unordered_set<std::string> shared_;       // keys of more than one listed entry
  std::vector<std::string> partlyShown_;         // patterns, see PartlyShownPattern
  bool partlyShownDirectory_ = false;
};

using Kind = DirectoryListing::Kind;

// Removes every empty directory whose name begins with the start trail, but
// `keep` (a meter folder about to be made again under the same name). Without
// a listing, wildcard matching on Windows can also match through 8.3 short
// names, so each name is tested again.
void RemoveMeterFolders(FileSystem& fs, DirectoryListing& listing, const std::string& prefix,
                        const std::string& startTrail, const std::string& keep) {
  if (!listing.knowsDirectories()) {
    for (const std::string& name : fs.ListMatches(prefix + startTrail + "*")) {
      if (!StartsWithAsStored(fs, name, startTrail)) continue;
      if (fs.RemoveEmptyDirectory(prefix + name)) listing.Note(prefix + name, Kind::kAbsent);
    }
    return;
  }
  for (const std::string& name : listing.DirectoriesStartingWith(startTrail)) {
    const std::string path = prefix + name;
    if (path == keep) continue;
    if (fs.RemoveEmptyDirectory(path)) listing.Note(path, Kind::kAbsent);
  }
}

void MakeMeterFolder(FileSystem& fs, DirectoryListing& listing, const std::string& meterPath) {
  if (listing.HoldsDirectorySpelt(meterPath)) return;  // kept from the last pass
  listing.Note(meterPath, fs.MakeDirectory(meterPath) ? Kind::kDirectory : Kind::kUnknown);
}

// Whether this pass brought the list to 100 %, and what is told of a
// completion. Before any change to the meter folder or the state file, which
// are the evidence: the state file (deleted at 100 %) or a marker this pass
// removed shows the set was incomplete before; a meter folder showing 100 %
// already (delete flag clear), or the process's memory, shows it was
// complete. With neither, the set is taken as completed now: its files all
// came before its list, or no pass has seen it yet.
void NoteCompletion(const CheckContext& context, DirectoryListing& listing, const std::string& prefix,
                    const std::string& listName, const std::string& meterPath, const RunSettings& settings,
                    const SfvList& list, bool removedMarker, PassResult& result) {
  FileSystem& fs = context.fs;
  CompletedLists* memory = context.completedLists;
  const std::string key = memory != nullptr ? fs.FoldCase(prefix + listName) : std::string();
  if (result.percent < 100) {
    if (memory != nullptr) memory->Remove(key);
    return;
  }
  auto exists = [&](const std::string& path) {
    const Kind kind = listing.Look(path);
    return kind == Kind::kUnknown ? fs.Exists(path) : kind != Kind::kAbsent;
  };
  const bool wasIncomplete = removedMarker || exists(StateFileName(prefix, listName));
  const bool wasComplete =
      (memory != nullptr && memory->Contains(key)) || (settings.deleteFlag == 0 && exists(meterPath));
  result.completed = wasIncomplete || !wasComplete;
  if (memory != nullptr) memory->Add(key);
  if (!result.completed || !context.passDone) return;
  std::unordered_set<std::string_view> counted;  // a file listed twice is one file
  for (const SfvEntry& entry : list) {
    FileDetails details;
    if (counted.insert(entry.path).second && fs.Details(entry.path, &details)) result.totalBytes += details.size;
  }
  FileDetails listDetails;
  if (fs.Details(prefix + listName, &listDetails)) result.listCreated = listDetails.created;
}

// A path as the file system finds it, for telling whether two paths name
// one file: '/' as '\', the last component as stored, letters folded.
std::string PathKey(FileSystem& fs, std::string_view path) {
  std::string key(path);
  std::replace(key.begin(), key.end(), '/', '\\');
  const std::size_t nameStart = FindLastChar(key, '\\') + 1;  // 0 when none
  key = key.substr(0, nameStart) + fs.StoredName(std::string_view(key).substr(nameStart));
  return fs.FoldCase(key);
}

// The keys of the listed paths (files the pass itself must never replace or
// remove under the name of a marker or of the state file), each with every
// CRC-32 the list gives it.
using ListedKeys = std::unordered_map<std::string, std::vector<std::uint32_t>>;

ListedKeys ListedKeysOf(FileSystem& fs, const SfvList& list) {
  ListedKeys keys;
  for (const SfvEntry& entry : list) keys[PathKey(fs, entry.path)].push_back(entry.expectedCrc);
  return keys;
}

bool ListsCrc(const ListedKeys& listed, const std::string& key, std::uint32_t crc) {
  auto it = listed.find(key);
  return it != listed.end() && std::find(it->second.begin(), it->second.end(), crc) != it->second.end();
}

// Copies a corrupt file to its BadMarker name without ever leaving a part of
// it there: the copy goes to a temporary name beside the BadMarker and is
// renamed over it only once whole, so a copy that fails part way (a full
// disk) leaves an older BadMarker as it was, and its temporary file is
// removed. The temporary name is the pass's own, like the state file's:
// ".qdrl.", the BadMarker's plain name, ".copy.tmp". No list ends so, no
// meter folder (a directory) is a file, and no marker either: a marker's
// tag ends in ']' just before its last '.'. A crash between copy and rename
// leaves that file beside a whole listed file; the next move aside of the
// same file replaces it. Neither the BadMarker nor the temporary name may be
// a listed file: then the corrupt file stays where it is.
// True when the BadMarker holds the file; on failure the step is recorded.
bool CopyAside(FileSystem& fs, DirectoryListing& listing, const ListedKeys& listed,
               const std::string& path, const std::string& badMarker, PassResult& result) {
  const std::size_t nameStart = FindLastOf(badMarker, "\\/") + 1;  // 0 when none
  const std::string temporary =
      badMarker.substr(0, nameStart) + ".qdrl." + badMarker.substr(nameStart) + ".copy.tmp";
  if (listed.count(PathKey(fs, badMarker)) != 0 || listed.count(PathKey(fs, temporary)) != 0) {
    result.errors.push_back({PassErrorKind::kCopyAside, 0, path});
    return false;
  }
  // What a failed step leaves as it was (a directory of either name, which
  // the meter folders' removal must still see).
  const Kind badKind = listing.Look(badMarker);
  const Kind temporaryKind = listing.Look(temporary);
  listing.Note(badMarker, Kind::kUnknown);
  if (fs.CopyOver(path, temporary) && fs.MoveOver(temporary, badMarker)) {
    listing.Note(temporary, Kind::kAbsent);
    return true;
  }
  result.errors.push_back({PassErrorKind::kCopyAside, fs.LastError(), path});
  listing.Note(badMarker, badKind);
  if (temporaryKind == Kind::kDirectory) return false;
  listing.Note(temporary, fs.RemoveFile(temporary) ? Kind::kAbsent : Kind::kUnknown);
  return false;
}

// result.listRead stays false when the list could not be read, so nothing
// was done.
void RunPass(const CheckContext& context, const std::string& prefix, const std::string& listName,
             PassResult& result) {
  FileSystem& fs = context.fs;
  FileCrc32 fileCrc(fs);
  // Without its buffer every hash fails, and present files would be taken for
  // missing ones: the pass ends before it changes anything; the next event
  // tries again.
  if (!fileCrc.HasBuffer()) return;
  SfvList list;
  RunSettings settings = context.readSettings ? context.readSettings() : RunSettings{};

  if (!ReadSfvList(fs, prefix + listName, list)) {
    result.errors.push_back({PassErrorKind::kReadList, fs.LastError(), prefix + listName});
    return;
  }
  result.listRead = true;

  const std::string statePath = StateFileName(prefix, listName);
  const ListedKeys listed = ListedKeysOf(fs, list);
  // A listed file under the state file's name is an upload: no state is kept.
  const bool keepsState = listed.count(PathKey(fs, statePath)) == 0;
  DirectoryListing listing(fs, prefix);
  // Read on the first found entry, then kept up to date with what this pass
  // verifies, so a later duplicate of an entry sees it as verified.
  std::optional<std::unordered_set<std::string>> stateLines;
  // Lines for the state file, appended in one write when the pass ends with
  // the set incomplete (a complete set's state file is deleted anyway).
  std::string stateAppend;
  // A state file whose last line has no end: a path appended to it would
  // join that line, and never be read back.
  bool stateEndsInsideLine = false;
  // A marker removed by this pass: the set was incomplete before it.
  bool removedMarker = false;

  for (SfvEntry& entry : list) {
    const Kind kind = listing.Look(entry.path);
    entry.found = kind != Kind::kAbsent && kind != Kind::kDirectory;
    if (entry.found) {
      if (!stateLines) {
        stateLines = !keepsState || listing.Look(statePath) == Kind::kAbsent
                         ? std::unordered_set<std::string>()
                         : ReadStateLines(fs, statePath, list, &stateEndsInsideLine);
      }
      // Still opened when listed: a file being written must not count as
      // found. A file to be hashed is opened for that, denying write in the
      // same way; a recorded one is opened just to see.
      if (stateLines->count(entry.path) != 0) {
        entry.found = fs.CanOpenForCheck(entry.path);
        entry.verified = entry.found;
      }
    }

    std::uint32_t crc = 0;
    if (entry.found && !entry.verified) {
      if (!fileCrc.ComputeFileCrc(entry.path, &crc)) {
        entry.found = false;
      } else if (ListsCrc(listed, PathKey(fs, entry.path), crc)) {
        // Good by this entry or by another listing of the same file (perhaps
        // spelt otherwise): the state file records paths, which vouch for
        // every listing of the file, so a file listed twice with different
        // CRCs is judged alike whichever listing comes first.
        entry.verified = true;
        stateAppend += entry.path + kLineEnd;
        stateLines->insert(entry.path);
      }
    }

    const std::string missingMarker = MissingMarkerName(entry.path);
    const std::string badMarker = BadMarkerName(entry.path);
    // A marker's name may be a listed file's too: that file is left alone.
    auto removeMarker = [&](const std::string& marker) {
      if (listed.count(PathKey(fs, marker)) != 0) return;
      if (listing.Look(marker) != Kind::kAbsent && fs.RemoveFile(marker)) {
        listing.Note(marker, Kind::kAbsent);
        removedMarker = true;
      }
    };
    EntryOutcome outcome = EntryOutcome::kGood;
    bool movedAside = false;
    FileDetails details;
    if (entry.found && entry.verified) {
      removeMarker(missingMarker);
      removeMarker(badMarker);
    } else if (entry.found) {
      // Move aside: the listed file goes only once its copy is safe.
      // Once moved aside the file is bad, no longer missing: an earlier
      // MissingMarker would tell users the wrong thing.
      outcome = EntryOutcome::kBad;
      if (context.passDone) fs.Details(entry.path, &details);  // the size, for the result
      if (CopyAside(fs, listing, listed, entry.path, badMarker, result)) {
        movedAside = true;
        if (fs.RemoveFile(entry.path)) {
          listing.Note(entry.path, Kind::kAbsent);
        } else {
          result.errors.push_back({PassErrorKind::kRemoveAfterCopy, fs.LastError(), entry.path});
          listing.Note(entry.path, Kind::kUnknown);
        }
        removeMarker(missingMarker);
      }
    } else {
      // A listed file under the BadMarker's name is an upload of its own, not
      // this file moved aside.
      const Kind bad = listed.count(PathKey(fs, badMarker)) != 0 ? Kind::kAbsent : listing.Look(badMarker);
      const bool badExists = bad == Kind::kUnknown ? fs.Exists(badMarker) : bad != Kind::kAbsent;
      if (badExists) {
        outcome = EntryOutcome::kBad;  // moved aside by an earlier pass
      } else {
        outcome = EntryOutcome::kMissing;
        // An empty file of the marker's name is what create-always would
        // leave; a directory of that name it cannot replace.
        const Kind marker = listing.Look(missingMarker);
        if (marker != Kind::kEmptyFile && marker != Kind::kDirectory && listed.count(PathKey(fs, missingMarker)) == 0) {
          listing.Note(missingMarker, fs.CreateEmptyFile(missingMarker) ? Kind::kEmptyFile : Kind::kUnknown);
        }
      }
    }
    if (context.passDone) {
      result.entries.push_back({entry.path, outcome, movedAside, details.size, entry.expectedCrc, crc});
    }
    switch (outcome) {
      case EntryOutcome::kGood: ++result.good; break;
      case EntryOutcome::kBad: ++result.bad; break;
      case EntryOutcome::kMissing: ++result.missing; break;
    }
  }

  int percent = CompletePercentage(result.good, list.size());
  result.percent = percent;
  std::string meterPath = prefix + MeterFolderName(percent, settings);
  const bool meterStays = percent < 100 || settings.deleteFlag == 0;
  // A lost append only costs a second hash on a later pass.
  if (stateEndsInsideLine && !stateAppend.empty()) stateAppend.insert(0, kLineEnd);
  if (percent < 100 && keepsState && !stateAppend.empty() && !fs.AppendBytes(statePath, stateAppend)) {
    result.errors.push_back({PassErrorKind::kWriteState, fs.LastError(), statePath});
  }
  NoteCompletion(context, listing, prefix, listName, meterPath, settings, list, removedMarker, result);

  const std::string keep = meterStays ? prefix + fs.StoredName(meterPath.substr(prefix.size())) : std::string();
  RemoveMeterFolders(fs, listing, prefix, settings.startTrail, keep);
  if (percent < 100) {
    MakeMeterFolder(fs, listing, meterPath);
    return;
  }
  if (settings.deleteFlag != 0) {
    RemoveMeterFolders(fs, listing, prefix, settings.startTrail, std::string());
  } else {
    MakeMeterFolder(fs, listing, meterPath);
  }
  if (keepsState && listing.Look(statePath) != Kind::kAbsent) fs.RemoveFile(statePath);
}

// The ledger that the event's ticket belongs to, when the event shares passes
// in this directory (null otherwise, also when the path was spelt otherwise).
PassLedger* SharedLedger(const CheckContext& context, const std::string& prefix) {
  const bool shared = context.ledger != nullptr && context.ticket != nullptr && context.ticket->valid() &&
                      context.ticket->prefix() == prefix;
  return shared ? context.ledger : nullptr;
}

// The "*.sfv" names in the directory, in enumeration order, and the stamp
// of when the enumeration started. An enumeration that another event's check
// started after this event was received serves this one too.
std::vector<std::string> ListNames(const CheckContext& context, const std::string& prefix,
                                   std::uint64_t* listedAt) {
  PassLedger* ledger = SharedLedger(context, prefix);
  std::vector<std::string> names;
  if (ledger != nullptr && ledger->ListsSeen(*context.ticket, &names, listedAt)) return names;

  *listedAt = ledger != nullptr ? ledger->StampNow() : 0;
  std::vector<std::string> matches;
  bool toEnd = false;
  try {
    toEnd = context.fs.ListMatchesToEnd(prefix + kListPattern, &matches);
    for (std::string& name : matches) {
      // An 8.3 short name can match "*.sfv" for a longer extension.
      if (EndsWithNoCase(name, kListSuffix)) names.push_back(std::move(name));
    }
  } catch (...) {
    // Earlier checks waiting to hand off must learn that this one failed.
    if (ledger != nullptr) ledger->ListsEnumerated(*context.ticket, *listedAt, names, false);
    throw;
  }
  // Only an enumeration that ran to its end may stand for another event's.
  if (ledger != nullptr) ledger->ListsEnumerated(*context.ticket, *listedAt, names, toEnd);
  return names;
}

}  // namespace

void VerificationPass(const CheckContext& context, const std::string& prefix,
                      const std::string& listName) {
  PassLedger* ledger = SharedLedger(context, prefix);
  PassResult result;
  for (;;) {
    // A covering pass that has run to its end stays one (in a burst most
    // events learn so without waiting for the lock), and a later event's
    // check that has started will run one.
    if (ledger != nullptr &&
        (ledger->Covered(*context.ticket, listName) || ledger->HandOff(*context.ticket, &listName))) {
      return;
    }
    std::unique_lock<CheckLock> guard(context.checkLock);
    if (ledger != nullptr && ledger->Covered(*context.ticket, listName)) return;
    // Later events came while this one waited for the lock: their checks
    // may take this pass over.
    if (ledger != nullptr && ledger->LaterEventPending(*context.ticket, listName)) continue;
    try {
      const std::uint64_t start = ledger != nullptr ? ledger->PassStarting(*context.ticket, listName) : 0;
      result.prefix = prefix;
      result.listName = listName;
      if (const std::uint32_t failure = context.checkLock.LastLockFailure()) {
        result.errors.push_back({PassErrorKind::kTakeLock, failure, prefix + listName});
      }
      RunPass(context, prefix, listName, result);
      // Only a pass that ran to its end covers the events received before it.
      if (result.listRead && ledger != nullptr) ledger->PassCompleted(*context.ticket, listName, start);
    } catch (...) {
      // Out of memory or a failing settings reader: this list waits for the
      // next event; nothing may leave a worker.
      result.listRead = false;
    }
    break;
  }
  // Outside the lock, so a slow reader of results never holds up checks.
  if (context.passDone) context.passDone(result);
}

int DirectoryCheck(const CheckContext& context, const std::string& path) {
  try {
    std::optional<std::string> prefix = DirectoryPrefix(path);
    if (!prefix) return 0;
    PassLedger* ledger = SharedLedger(context, *prefix);
    if (ledger != nullptr && ledger->HandOff(*context.ticket)) return 1;
    // Events that joined this check after its lists were enumerated may have
    // brought a list: it enumerates again (lists already passed are covered).
    std::uint64_t listedAt = 0;
    do {
      for (const std::string& name : ListNames(context, *prefix, &listedAt)) {
        VerificationPass(context, *prefix, name);
      }
    } while (ledger != nullptr && ledger->EventJoinedSince(*context.ticket, listedAt));
  } catch (...) {
  }
  return 1;
}

}  // namespace sfvcheck
