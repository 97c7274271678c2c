// The only state shared between threads is the CheckLock, held for the whole
// of each verification pass; everything else (list, settings, CRC buffer,
// the state file's lines) belongs to the pass that made it.
#include "core/check/verification_pass.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/check/directory_listing.h"
#include "core/check/file_crc.h"
#include "core/check/naming.h"
#include "core/check/sfv_list.h"
#include "core/check/text.h"

namespace sfvcheck {
namespace {

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

}  // namespace

void VerificationPass(const CheckContext& context, const std::string& prefix,
                      const std::string& listName) {
  PassResult result;
  {
    std::lock_guard<CheckLock> guard(context.checkLock);
    try {
      result.prefix = prefix;
      result.listName = listName;
      if (const std::uint32_t failure = context.checkLock.LastLockFailure()) {
        result.errors.push_back({PassErrorKind::kTakeLock, failure, prefix + listName});
      }
      RunPass(context, prefix, listName, result);
    } catch (...) {
      // Out of memory or a failing settings reader: this list waits for the
      // next event.
      result.listRead = false;
    }
  }
  // Outside the lock, so a slow reader of results never holds up checks.
  if (context.passDone) context.passDone(result);
}

}  // namespace sfvcheck
