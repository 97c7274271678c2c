// Whole directory checks against a model of what they must leave on disk.
// From a few bytes it builds a directory (lists, files with the right, wrong
// or no bytes, directories, markers, state files, meter folders) and the
// settings; the model, written apart from the engine (its own names, its own
// per-byte CRC reference, its own reading of what each step does), says what
// every pass must decide and leave, and the invariants below are asked of
// every pass. The fuzz target drives it over the in-memory file system, the
// replay test over a real directory.
//
// Where the engine is deliberately sounder than the plain steps, the model
// follows the engine:
// - the percentage never rounds up to 100 while an entry is not good (99);
// - a name ending in blanks or dots names the file without them;
// - two spellings that fold alike name one file;
// - a UTF-8 byte-order mark at the start of a list is no part of its first name;
// - a listed file is never replaced or removed under the name of another
//   entry's marker, of the state file or of the temporary copy: that entry
//   then goes without its marker, the list without a state file, and a
//   corrupt file whose BadMarker name is listed stays where it is;
// - a listed file under an entry's BadMarker name does not make that entry bad;
// - a file is good when its CRC-32 is any that the list gives it (under any
//   spelling), as the state file, which records paths, already has it for
//   every listing after the first good one.
// Two lists that give one file different CRC-32s contradict each other: the
// later pass moves it aside, and the earlier list's outcome changes on the
// next check, so only there the second check may change the directory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/check/directory_check.h"
#include "core/crc/crc32.h"
#include "core/settings/run_settings.h"

namespace sfvcheck::passmodel {

// What a directory holds: by folded key, each entry's stored name (relative
// to the directory, '\' between components), kind and bytes.
struct Node {
  std::string name;
  bool isDirectory = false;
  std::string bytes;
  bool operator==(const Node& other) const {
    return name == other.name && isDirectory == other.isDirectory && bytes == other.bytes;
  }
};
using Disk = std::map<std::string, Node>;

enum class Outcome { kGood, kBad, kMissing };

struct Entry {
  std::string name;  // as listed, relative to the list's directory
  std::uint32_t crc = 0;
};

struct GeneratedState {
  Disk disk;
  std::map<std::string, std::vector<Entry>> lists;  // by the list's name
  RunSettings first;                                // for the first check
  RunSettings second;                               // for the second; equal to `first` unless the trail changes
};

inline const char* const kNames[] = {"a.rar",
                                     "A.RAR",
                                     "a.rar.",
                                     "a.rar ",
                                     "b.rar",
                                     "a-[BAD].rar",
                                     "a-[MISSING].rar",
                                     "b-[BAD].rar",
                                     "b-[MISSING].rar",
                                     ".qdrl.set.sfv.state",
                                     ".qdrl.a-[BAD].rar.copy.tmp",
                                     "c",
                                     "c-[BAD]",
                                     "sub\\d.rar",
                                     "--==[ 50% complete ]==-- ",
                                     "a.rar-[BAD]"};
inline const char* const kContents[] = {"", "alpha", "bravo!", "charlie."};
inline const char* const kStartTrails[] = {"--==[", "", "A", "["};
inline const char* const kEndTrails[] = {"]==-- ", ""};
inline const char* const kListNames[] = {"set.sfv", "two.sfv"};

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The last component without trailing blanks and dots (unless that leaves
// nothing), '/' as '\'.
inline std::string Stored(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  const std::size_t start = name.rfind('\\') + 1;
  std::size_t end = name.size();
  while (end > start && (name[end - 1] == ' ' || name[end - 1] == '.')) --end;
  if (end > start) name.resize(end);
  return name;
}

inline std::string Key(const std::string& name) {
  std::string key = Stored(name);
  for (char& c : key) c = Lower(c);
  return key;
}

inline bool StartsWithFolded(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

inline std::string Parent(const std::string& key) {
  const std::size_t cut = key.rfind('\\');
  return cut == std::string::npos ? std::string() : key.substr(0, cut);
}

inline std::string WithTag(const std::string& name, const char* tag) {
  const std::size_t start = name.find_last_of("\\/") + 1;
  const std::size_t dot = name.rfind('.');
  const std::size_t at = dot == std::string::npos || dot < start ? name.size() : dot;
  return name.substr(0, at) + tag + name.substr(at);
}
inline std::string MissingName(const std::string& name) { return WithTag(name, "-[MISSING]"); }
inline std::string BadName(const std::string& name) { return WithTag(name, "-[BAD]"); }
inline std::string StateName(const std::string& list) { return ".qdrl." + list + ".state"; }
inline std::string AsideName(const std::string& bad) {
  const std::size_t start = bad.find_last_of("\\/") + 1;
  return bad.substr(0, start) + ".qdrl." + bad.substr(start) + ".copy.tmp";
}

inline std::uint32_t Crc(const std::string& bytes) { return Crc32Reference(0, bytes.data(), bytes.size()); }

inline std::string Hex8(std::uint32_t value) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(value));
  return digits;
}

inline int Percent(std::size_t good, std::size_t total) {
  if (total == 0) return 0;
  if (good >= total) return 100;
  return static_cast<int>(std::min<std::size_t>(99, (good * 100 + total / 2) / total));
}

inline std::string MeterName(int percent, const RunSettings& settings) {
  const std::string number = std::to_string(percent) + "% complete";
  if (settings.meterFlag == 0) return settings.startTrail + " " + number + " " + settings.endTrail;
  const int cells = percent / 5;
  return settings.startTrail + std::string(cells, '#') + std::string(20 - cells, '-') + settings.endTrail + " " +
         number;
}

inline bool IsFile(const Disk& disk, const std::string& key) {
  auto it = disk.find(key);
  return it != disk.end() && !it->second.isDirectory;
}
inline bool HasParent(const Disk& disk, const std::string& key) {
  const std::string parent = Parent(key);
  if (parent.empty()) return true;
  auto it = disk.find(parent);
  return it != disk.end() && it->second.isDirectory;
}
inline bool HasChildren(const Disk& disk, const std::string& key) {
  auto it = disk.upper_bound(key + "\\");
  return it != disk.end() && it->first.compare(0, key.size() + 1, key + "\\") == 0;
}

// A file written (created, replaced, appended to or renamed over) keeps the
// spelling of a file it replaces, as Windows does (and Wine, for a rename).
inline void PutFile(Disk& disk, const std::string& name, std::string bytes) {
  const std::string key = Key(name);
  auto it = disk.find(key);
  const std::string stored = it != disk.end() ? it->second.name : Stored(name);
  disk[key] = Node{stored, false, std::move(bytes)};
}

// Builds a state from fuzz bytes: one byte of flags, then pairs (operation,
// argument). Every name comes from a small alphabet chosen to collide.
inline GeneratedState Generate(const std::uint8_t* data, std::size_t size, const std::string& prefix) {
  GeneratedState state;
  if (size == 0) return state;
  const std::uint8_t flags = data[0];
  state.first.meterFlag = flags & 1;
  state.first.deleteFlag = (flags >> 1) & 1;
  state.first.startTrail = kStartTrails[(flags >> 2) & 3];
  state.first.endTrail = kEndTrails[(flags >> 4) & 1];
  state.second = state.first;
  if ((flags & 0x20) != 0) state.second.startTrail = kStartTrails[((flags >> 2) + 1) & 3];
  const bool byteOrderMark = (flags & 0x40) != 0;
  std::map<std::string, std::string> stateText;
  state.lists[kListNames[0]];
  constexpr std::size_t kMostOperations = 24;
  for (std::size_t i = 1; i + 1 < size && i / 2 < kMostOperations; i += 2) {
    const unsigned op = data[i] % 6;
    const unsigned arg = data[i + 1];
    const std::string name = kNames[arg % 16];
    const unsigned variant = (arg / 16) % 4;
    const std::string key = Key(name);
    switch (op) {
      case 0:  // a file
        if (!Parent(key).empty()) {
          auto parent = state.disk.find(Parent(key));
          if (parent != state.disk.end() && !parent->second.isDirectory) break;
          if (parent == state.disk.end()) state.disk[Parent(key)] = Node{Stored(Parent(name)), true, ""};
        }
        if (state.disk.count(key) != 0 && state.disk[key].isDirectory) break;
        PutFile(state.disk, name, kContents[variant]);
        break;
      case 1:  // a directory
        if (!HasParent(state.disk, key) || state.disk.count(key) != 0) break;
        state.disk[key] = Node{Stored(name), true, ""};
        break;
      case 2:
      case 3:  // a list entry, listing the CRC of one of the contents
        state.lists[kListNames[op - 2]].push_back({name, Crc(kContents[variant])});
        break;
      case 4:  // a line of a state file naming an entry
        stateText[StateName(kListNames[variant % 2])] += prefix + name + "\r\n";
        break;
      case 5: {  // a meter folder, perhaps of other settings
        RunSettings other = state.first;
        other.startTrail = kStartTrails[variant];
        other.meterFlag = (arg >> 6) & 1;
        const int percents[] = {0, 50, 99, 100};
        const std::string meter = MeterName(percents[arg % 4], other);
        if (state.disk.count(Key(meter)) == 0) state.disk[Key(meter)] = Node{Stored(meter), true, ""};
        break;
      }
    }
  }
  for (const auto& [name, text] : stateText) {
    if (state.disk.count(Key(name)) == 0) PutFile(state.disk, name, text);
  }
  for (const auto& [list, entries] : state.lists) {
    if (entries.empty() && list != kListNames[0]) continue;
    std::string text = byteOrderMark && list == kListNames[0] ? "\xEF\xBB\xBF" : "";
    for (const Entry& entry : entries) text += entry.name + " " + Hex8(entry.crc) + "\r\n";
    PutFile(state.disk, list, text);
  }
  return state;
}

// What the model says one pass over one list decides.
struct PassOutcome {
  std::vector<Outcome> outcomes;  // in list order
  int percent = 0;
  std::string appended;  // the lines added to the state file
  Disk disk;             // the directory afterwards
};

inline std::set<std::string> StateLines(const std::string& bytes) {
  std::set<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      lines.insert(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.insert(line);
  return lines;
}

inline void RemoveFileIfThere(Disk& disk, const std::string& key) {
  if (IsFile(disk, key)) disk.erase(key);
}

// Removes the empty directories of the top level whose names begin with the
// start trail, but the one spelt `keep`.
inline void RemoveMeters(Disk& disk, const std::string& trail, const std::string& keep) {
  for (auto it = disk.begin(); it != disk.end();) {
    const Node& node = it->second;
    const bool meterLike = node.isDirectory && Parent(it->first).empty() && StartsWithFolded(node.name, trail) &&
                           node.name != keep && !HasChildren(disk, it->first);
    it = meterLike ? disk.erase(it) : std::next(it);
  }
}

inline void MakeMeter(Disk& disk, const std::string& meter) {
  auto it = disk.find(Key(meter));
  if (it == disk.end()) disk[Key(meter)] = Node{Stored(meter), true, ""};
}

// One pass over `list` (its entries as generated), changing `disk` as the
// pass must.
inline PassOutcome ModelPass(Disk& disk, const std::string& prefix, const std::string& list,
                             const std::vector<Entry>& entries, const RunSettings& settings) {
  PassOutcome result;
  std::set<std::string> listed;
  std::set<std::string> listedPaths;
  for (const Entry& entry : entries) {
    listed.insert(Key(entry.name));
    listedPaths.insert(prefix + entry.name);
  }
  const std::string stateKey = Key(StateName(list));
  const bool keepsState = listed.count(stateKey) == 0;
  std::set<std::string> recorded;
  if (keepsState && IsFile(disk, stateKey)) {
    for (const std::string& line : StateLines(disk[stateKey].bytes)) {
      if (listedPaths.count(line) != 0) recorded.insert(line);
    }
  }
  auto removeMarker = [&](const std::string& marker) {
    if (listed.count(Key(marker)) == 0) RemoveFileIfThere(disk, Key(marker));
  };
  std::size_t good = 0;
  for (const Entry& entry : entries) {
    const std::string key = Key(entry.name);
    const std::string path = prefix + entry.name;
    const std::string missing = MissingName(entry.name);
    const std::string bad = BadName(entry.name);
    const bool found = IsFile(disk, key);
    bool verified = found && recorded.count(path) != 0;
    const auto listsCrc = [&](std::uint32_t crc) {
      return std::any_of(entries.begin(), entries.end(),
                         [&](const Entry& other) { return Key(other.name) == key && other.crc == crc; });
    };
    if (found && !verified && listsCrc(Crc(disk[key].bytes))) {
      verified = true;
      recorded.insert(path);
      result.appended += path + "\r\n";
    }
    if (found && verified) {
      ++good;
      result.outcomes.push_back(Outcome::kGood);
      removeMarker(missing);
      removeMarker(bad);
    } else if (found) {
      result.outcomes.push_back(Outcome::kBad);
      const std::string aside = AsideName(bad);
      if (listed.count(Key(bad)) != 0 || listed.count(Key(aside)) != 0) continue;
      auto asideNode = disk.find(Key(aside));
      if (asideNode != disk.end() && asideNode->second.isDirectory) continue;  // the copy fails
      auto badNode = disk.find(Key(bad));
      if (badNode != disk.end() && badNode->second.isDirectory) {
        disk.erase(Key(aside));  // the rename fails, and the copy is removed
        continue;
      }
      const std::string bytes = disk[key].bytes;
      disk.erase(Key(aside));
      PutFile(disk, bad, bytes);
      disk.erase(key);
      removeMarker(missing);
    } else if (listed.count(Key(bad)) == 0 && disk.count(Key(bad)) != 0) {
      result.outcomes.push_back(Outcome::kBad);  // moved aside before
    } else {
      result.outcomes.push_back(Outcome::kMissing);
      auto marker = disk.find(Key(missing));
      const bool emptyFile = marker != disk.end() && !marker->second.isDirectory && marker->second.bytes.empty();
      const bool blocked = marker != disk.end() && marker->second.isDirectory;
      if (!emptyFile && !blocked && listed.count(Key(missing)) == 0 && HasParent(disk, Key(missing))) {
        PutFile(disk, missing, "");
      }
    }
  }
  result.percent = Percent(good, entries.size());
  const std::string meter = MeterName(result.percent, settings);
  if (result.percent < 100 && keepsState && !result.appended.empty()) {
    auto state = disk.find(stateKey);
    if (state == disk.end()) {
      PutFile(disk, StateName(list), result.appended);
    } else if (!state->second.isDirectory) {
      // A last line without its end gets one first.
      std::string& bytes = state->second.bytes;
      if (!bytes.empty() && bytes.back() != '\r' && bytes.back() != '\n') bytes += "\r\n";
      bytes += result.appended;
    }
  }
  const bool meterStays = result.percent < 100 || settings.deleteFlag == 0;
  RemoveMeters(disk, settings.startTrail, meterStays ? Stored(meter) : std::string());
  if (meterStays) MakeMeter(disk, meter);
  if (result.percent == 100 && keepsState) RemoveFileIfThere(disk, stateKey);
  result.disk = disk;
  return result;
}

// The lists a check finds, in the order the in-memory file system gives them.
inline std::vector<std::string> ListsOf(const Disk& disk) {
  std::vector<std::string> lists;
  for (const auto& [key, node] : disk) {
    if (Parent(key).empty() && key.size() >= 4 && key.compare(key.size() - 4, 4, ".sfv") == 0) {
      lists.push_back(node.name);
    }
  }
  return lists;
}

inline std::string Describe(const Disk& disk) {
  std::string text;
  for (const auto& [key, node] : disk) {
    text += "  [" + node.name + "] " +
            (node.isDirectory ? std::string("<dir>")
                              : std::to_string(node.bytes.size()) + " bytes " + Hex8(Crc(node.bytes))) +
            "\n";
  }
  return text;
}

// The invariants of one pass, from the disk before and after it and what the
// engine said (outcomes in list order, percentage). Empty when all hold, else
// what failed.
inline std::string CheckInvariants(const Disk& before, const Disk& after, const std::string& prefix,
                                   const std::vector<Entry>& entries, const std::string& list,
                                   const RunSettings& settings, const std::vector<Outcome>& outcomes, int percent,
                                   const PassOutcome& model) {
  std::set<std::string> listed;
  std::set<std::string> owned;  // names the pass may write or remove: markers, state, temporary copies
  for (const Entry& entry : entries) listed.insert(Key(entry.name));
  for (const Entry& entry : entries) {
    for (const std::string& name : {MissingName(entry.name), BadName(entry.name), AsideName(BadName(entry.name))}) {
      if (listed.count(Key(name)) == 0) owned.insert(Key(name));
    }
  }
  if (listed.count(Key(StateName(list))) == 0) owned.insert(Key(StateName(list)));

  // No byte is lost: every file is still there, or a listed file whose CRC
  // differs from a listing of it is under that entry's BadMarker name.
  for (const auto& [key, node] : before) {
    if (node.isDirectory || owned.count(key) != 0) continue;
    if (IsFile(after, key) && after.at(key).bytes == node.bytes) continue;
    bool moved = false;
    for (const Entry& entry : entries) {
      const std::string bad = Key(BadName(entry.name));
      moved = moved || (Key(entry.name) == key && entry.crc != Crc(node.bytes) && IsFile(after, bad) &&
                        after.at(bad).bytes == node.bytes);
    }
    if (!moved) return "bytes lost or changed: " + node.name + "\n" + Describe(after);
  }

  // Every entry ends as the model says, with the markers its outcome calls for.
  if (outcomes != model.outcomes) return "an entry's outcome differs from the model's";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string key = Key(entries[i].name);
    const std::string missing = Key(MissingName(entries[i].name));
    const std::string bad = Key(BadName(entries[i].name));
    const bool movedNow = outcomes[i] == Outcome::kBad && IsFile(before, key) && !IsFile(after, key) &&
                          owned.count(bad) != 0 && IsFile(after, bad) && after.at(bad).bytes == before.at(key).bytes;
    const bool goodHere = outcomes[i] == Outcome::kGood && IsFile(after, key);
    if ((goodHere || movedNow) && owned.count(missing) != 0 && IsFile(after, missing)) {
      return "a MISSING marker beside the good or moved file " + entries[i].name;
    }
    if (goodHere && owned.count(bad) != 0 && IsFile(after, bad)) {
      return "a BAD file beside the good file " + entries[i].name;
    }
    if (outcomes[i] == Outcome::kMissing && owned.count(missing) != 0 && IsFile(after, missing) &&
        !after.at(missing).bytes.empty()) {
      return "a MISSING marker with data for " + entries[i].name;
    }
  }

  // One meter folder showing the model's percentage (none when the set is
  // complete and the delete flag is on); never 100 % unless all are good.
  const bool allGood = std::all_of(outcomes.begin(), outcomes.end(), [](Outcome o) { return o == Outcome::kGood; });
  if (percent == 100 && (!allGood || entries.empty())) return "100 % while an entry is not good";
  if (percent != model.percent) return "the percentage differs from the model's";
  std::vector<std::string> meters;
  for (const auto& [key, node] : after) {
    if (node.isDirectory && Parent(key).empty() && StartsWithFolded(node.name, settings.startTrail) &&
        !HasChildren(after, key)) {
      meters.push_back(node.name);
    }
  }
  const bool noMeter = percent == 100 && settings.deleteFlag != 0;
  const std::string meter = Stored(MeterName(percent, settings));
  const bool meterBlocked = IsFile(after, Key(meter));
  if (noMeter ? !meters.empty()
              : (meters.size() != (meterBlocked ? 0u : 1u) || (!meterBlocked && meters[0] != meter))) {
    return "the meter folders are not the one for " + std::to_string(percent) + " %:\n" + Describe(after);
  }

  // The state file gains only entries found good.
  for (const std::string& line : StateLines(model.appended)) {
    bool good = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      good = good || (prefix + entries[i].name == line && outcomes[i] == Outcome::kGood);
    }
    if (!good) return "the state file records " + line + ", which is not good";
  }
  const std::string stateKey = Key(StateName(list));
  if (owned.count(stateKey) != 0 && IsFile(after, stateKey)) {
    const std::string was = IsFile(before, stateKey) ? before.at(stateKey).bytes : std::string();
    const std::string& is = after.at(stateKey).bytes;
    if (is.compare(0, was.size(), was) != 0) return "the state file was rewritten";
    for (const std::string& line : StateLines(is.substr(was.size()))) {
      bool good = line.empty();  // the end of a last line that had none
      for (std::size_t i = 0; i < entries.size(); ++i) {
        good = good || (prefix + entries[i].name == line && outcomes[i] == Outcome::kGood);
      }
      if (!good) return "the state file gained " + line + ", which is not good";
    }
  }

  // Last, the whole directory as the model says.
  if (after != model.disk) {
    return "the directory differs from the model's:\nengine\n" + Describe(after) + "model\n" + Describe(model.disk);
  }
  return std::string();
}

// Two checks of a generated state through `fs`, every pass checked against
// the model as it ends. `snapshot` reads the directory without counting as
// a hash; `check` runs one check over the lists given (in the model's order);
// `resetReads` and `reads` (may be null) count how often a path was read, so
// that the second check can be shown to hash nothing already recorded good.
struct Runner {
  FileSystem& fs;
  std::string prefix;
  std::function<Disk()> snapshot;
  std::function<void(const CheckContext&, const std::vector<std::string>&)> check;
  std::function<void()> resetReads = nullptr;
  std::function<std::size_t(const std::string&)> reads = nullptr;
};

// Two lists judge in turn, each pass after the other's changes (a file one
// list finds good another may move aside, under a spelling of its own), so
// only a directory with one list is held to a second check that changes
// nothing; every pass of two lists is still held to the model.
// Likewise a file listed under two spellings: the later one may move it aside
// under a BadMarker name the earlier spelling does not see.
inline bool Contradicting(const GeneratedState& state) {
  std::size_t lists = 0;
  std::map<std::string, std::set<std::string>> spellings;
  for (const auto& [list, entries] : state.lists) {
    lists += entries.empty() && list != kListNames[0] ? 0 : 1;
    for (const Entry& entry : entries) spellings[Key(entry.name)].insert(entry.name);
  }
  return lists > 1 ||
         std::any_of(spellings.begin(), spellings.end(), [](const auto& key) { return key.second.size() > 1; });
}

class NoLock : public CheckLock {
 public:
  void lock() override {}
  void unlock() override {}
};

// Whether a second check with the same settings must leave the directory
// as the first left it and hash nothing recorded good.
inline bool SecondCheckStable(const GeneratedState& state, const Disk& afterFirst) {
  // A start trail that other directories begin with (empty, or "A") makes
  // the first check remove them as old meters, which may change outcomes.
  const bool directoryRemoved = std::any_of(state.disk.begin(), state.disk.end(), [&](const auto& node) {
    return node.second.isDirectory && afterFirst.count(node.first) == 0 && !StartsWithFolded(node.second.name, "--==[");
  });
  // A state file trusted over the bytes (it records a path, not a CRC) is
  // deleted at 100 %, and the next check hashes what it vouched for.
  const bool stateDeleted = std::any_of(state.lists.begin(), state.lists.end(), [&](const auto& list) {
    return IsFile(state.disk, Key(StateName(list.first))) && !IsFile(afterFirst, Key(StateName(list.first)));
  });
  return state.second.startTrail == state.first.startTrail && !Contradicting(state) && !directoryRemoved &&
         !stateDeleted;
}

// A path that every list naming it recorded good in the first check, and
// that the second check has read nonetheless (empty when none).
inline std::string HashedAgain(const Runner& runner, const GeneratedState& state, const Disk& afterFirst) {
  for (const auto& [list, entries] : state.lists) {
    for (const Entry& entry : entries) {
      bool recorded = IsFile(afterFirst, Key(entry.name));
      for (const auto& [other, otherEntries] : state.lists) {
        for (const Entry& same : otherEntries) {
          if (Key(same.name) != Key(entry.name)) continue;
          auto stateFile = afterFirst.find(Key(StateName(other)));
          recorded = recorded && stateFile != afterFirst.end() &&
                     StateLines(stateFile->second.bytes).count(runner.prefix + same.name) != 0;
        }
      }
      if (recorded && runner.reads(runner.prefix + entry.name) != 0) {
        return "the second check hashed " + entry.name + ", recorded good";
      }
    }
  }
  return std::string();
}

inline std::string RunChecks(const Runner& runner, const GeneratedState& state) {
  NoLock lock;
  CompletedLists completed;
  Disk model = state.disk;
  Disk before = runner.snapshot();
  if (before != model) return "the directory was not made as generated:\n" + Describe(before);
  Disk afterFirst;
  for (int round = 0; round < 2; ++round) {
    const RunSettings settings = round == 0 ? state.first : state.second;
    const std::vector<std::string> lists = ListsOf(model);
    std::size_t next = 0;
    std::string failure;
    auto passDone = [&](const PassResult& result) {
      if (!failure.empty()) return;
      if (next >= lists.size() || result.listName != lists[next]) {
        failure = "a pass over an unexpected list " + result.listName;
        return;
      }
      const std::string list = lists[next++];
      const std::vector<Entry>& entries = state.lists.at(list);
      Disk after = runner.snapshot();
      if (!result.listRead || result.entries.size() != entries.size()) {
        failure = "the list " + list + " was not read whole";
        return;
      }
      std::vector<Outcome> outcomes;
      for (const EntryResult& entry : result.entries) {
        outcomes.push_back(entry.outcome == EntryOutcome::kGood  ? Outcome::kGood
                           : entry.outcome == EntryOutcome::kBad ? Outcome::kBad
                                                                 : Outcome::kMissing);
      }
      if (round == 1 && runner.reads && SecondCheckStable(state, afterFirst)) {
        failure = HashedAgain(runner, state, afterFirst);
        if (!failure.empty()) return;
      }
      const PassOutcome expected = ModelPass(model, runner.prefix, list, entries, settings);
      failure =
          CheckInvariants(before, after, runner.prefix, entries, list, settings, outcomes, result.percent, expected);
      if (!failure.empty()) failure = "check " + std::to_string(round + 1) + ", " + list + ": " + failure;
      before = std::move(after);
    };
    CheckContext context{runner.fs, lock, [&settings] { return settings; }};
    context.passDone = passDone;
    context.completedLists = &completed;
    if (round == 1 && runner.resetReads) runner.resetReads();
    runner.check(context, lists);
    if (!failure.empty()) return failure;
    if (next != lists.size()) return "a list had no pass";
    if (round == 0) {
      afterFirst = before;
      continue;
    }
    if (!SecondCheckStable(state, afterFirst)) break;
    if (before != afterFirst) {
      return "the second check changed the directory:\nfirst\n" + Describe(afterFirst) + "second\n" + Describe(before);
    }
  }
  return std::string();
}

}  // namespace sfvcheck::passmodel
