// pass: a DirectoryCheck over lists of many small files that are all already
// recorded in the state file, so nothing is hashed: the pass should take time
// in proportion to the number of files.
#include <cstdio>
#include <string>
#include <utility>

#include "bench/bench_common.h"
#include "core/check/directory_check.h"
#include "core/check/naming.h"
#include "core/crc/crc32.h"
#include "core/settings/run_settings.h"
#include "win32/critical_section_win32.h"
#include "win32/file_system_win32.h"

namespace sfvcheck {
namespace bench {
namespace {

constexpr int kPassRepeats = 5;  // each pass figure is the best of this many runs

// A directory of `count` small files, their list, and the state file text
// that names them all. The listed CRCs are all wrong, so the state file alone
// makes the entries good: a pass that hashed anything would move files aside,
// which the check after each pass catches.
struct RecordedSet {
  std::size_t count = 0;
  std::string folder;
  std::string state;
};

bool MakeRecordedSet(std::size_t count, RecordedSet* set) {
  set->count = count;
  set->folder = MakeWorkFolder(std::to_string(count).c_str());
  if (set->folder.empty()) return false;
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = SmallFileName(i);
    const std::string content = "small file " + std::to_string(i) + "\r\n";
    if (!WriteWholeFile(set->folder + name, content)) return false;
    list += SfvLine(name, ~Crc32(0, content.data(), content.size()));
    set->state += set->folder + name + "\r\n";
  }
  return WriteWholeFile(set->folder + kListName, list);
}

// Times DirectoryCheck alone over the set. The state file is written afresh
// first (the pass deletes it, the set being complete). Negative on failure.
double TimePassOverRecordedSet(const RecordedSet& set) {
  Win32FileSystem fs;
  CriticalSectionLock lock;  // the plug-in serialises its passes in-process the same way
  const RunSettings settings;
  const CheckContext context{fs, lock, [&settings] { return settings; }};
  const std::string statePath = StateFileName(set.folder, kListName);
  const std::string meterPath = set.folder + MeterFolderName(100, settings);
  if (!WriteWholeFile(statePath, set.state)) return -1;

  const double start = Seconds();
  DirectoryCheck(context, set.folder + SmallFileName(0));
  const double seconds = Seconds() - start;

  bool complete = Exists(meterPath) && !Exists(statePath);
  for (std::size_t f = 0; f < set.count && complete; ++f) complete = Exists(set.folder + SmallFileName(f));
  if (!complete) {
    std::printf("  the pass over %zu files did not find them all recorded\n", set.count);
    return -1;
  }
  return seconds;
}

}  // namespace

int RunPass(std::size_t smallCount, std::size_t largeCount) {
  std::printf("pass: DirectoryCheck over small files all recorded in the state file (nothing hashed), "
              "%d-bit build, best of %d\n",
              static_cast<int>(sizeof(void*) * 8), kPassRepeats);
  RecordedSet small;
  RecordedSet large;
  int result = 1;
  do {
    if (!MakeRecordedSet(smallCount, &small) || !MakeRecordedSet(largeCount, &large)) {
      std::fprintf(stderr, "cannot write the small files\n");
      break;
    }
    // Alternating, so both sizes meet the same load from elsewhere.
    double smallBest = -1;
    double largeBest = -1;
    bool failed = false;
    for (int i = 0; i < kPassRepeats && !failed; ++i) {
      const double smallSeconds = TimePassOverRecordedSet(small);
      const double largeSeconds = TimePassOverRecordedSet(large);
      failed = smallSeconds < 0 || largeSeconds < 0;
      if (smallBest < 0 || smallSeconds < smallBest) smallBest = smallSeconds;
      if (largeBest < 0 || largeSeconds < largeBest) largeBest = largeSeconds;
    }
    if (failed) break;
    for (const auto& [count, seconds] : {std::make_pair(smallCount, smallBest), std::make_pair(largeCount, largeBest)}) {
      std::printf("  %6zu files   %9.3f ms   %7.2f us per file\n", count, seconds * 1e3, seconds * 1e6 / count);
    }
    const double countRatio = static_cast<double>(largeCount) / smallCount;
    const double ratio = largeBest / smallBest;
    std::printf("  time ratio %.2f for %.0fx the files (linear: %.0f; target %.0f or less): %s\n", ratio,
                countRatio, countRatio, 1.5 * countRatio, ratio <= 1.5 * countRatio ? "met" : "MISSED");
    result = 0;
  } while (false);
  RemoveWorkFolder(small.folder);
  RemoveWorkFolder(large.folder);
  return result;
}

}  // namespace bench
}  // namespace sfvcheck
