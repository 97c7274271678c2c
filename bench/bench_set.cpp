// set: sets of N files of 16 KiB checked through the DLL's exports, as the
// host drives them (file events, the shutdown event to wait for the checks):
// (a) one event over the complete set, (b) files arriving one at a time, an
// event after each and its check ended before the next file arrives, (c) all
// files there and N events back to back. Each as time and ratio to (a); (a),
// short and the base of every ratio, is the median of three runs.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/check/naming.h"
#include "core/crc/crc32.h"
#include "win32/file_system_win32.h"

namespace sfvcheck {
namespace bench {
namespace {

constexpr std::size_t kSetFileSize = 16 * 1024;
constexpr int kSetBaseRepeats = 3;

// N files of 16 KiB (contents in memory) and the list naming them with their
// right CRCs.
struct UploadSet {
  std::vector<std::string> names;
  std::vector<std::string> contents;
  std::string list;
};

UploadSet MakeUploadSet(std::size_t count) {
  UploadSet set;
  for (std::size_t i = 0; i < count; ++i) {
    set.names.push_back(SmallFileName(i));
    set.contents.push_back(RandomBytes(kSetFileSize, static_cast<std::uint32_t>(i + 7)));
    set.list += SfvLine(set.names.back(), Crc32(0, set.contents.back().data(), kSetFileSize));
  }
  return set;
}

bool WriteSetFile(const std::string& folder, const UploadSet& set, std::size_t index) {
  return WriteWholeFile(folder + set.names[index], set.contents[index]);
}

// After the last check the set must be complete: every file there, no
// marker, no state file.
bool SetIsComplete(const std::string& folder, const UploadSet& set) {
  Win32FileSystem fs;
  for (const std::string& name : fs.ListMatches(folder + "*")) {
    if (name.find(kMissingTag) != std::string::npos || name.find(kBadTag) != std::string::npos) return false;
  }
  for (const std::string& name : set.names) {
    if (!Exists(folder + name)) return false;
  }
  return !Exists(StateFileName(folder, kListName));
}

// Seconds for opening and closing one present file of the set, as every pass
// does for each present file (the median of three sweeps over the whole set):
// a one-at-a-time upload makes N(N-1)/2 such opens, whatever else it saves.
double PresenceOpenSeconds(const UploadSet& set) {
  const std::string folder = MakeWorkFolder("open");
  bool written = !folder.empty();
  for (std::size_t i = 0; i < set.names.size() && written; ++i) written = WriteSetFile(folder, set, i);
  std::vector<double> sweeps;
  Win32FileSystem fs;
  for (int sweep = 0; sweep < 3 && written; ++sweep) {
    const double start = Seconds();
    for (const std::string& name : set.names) written = fs.CanOpenForCheck(folder + name) && written;
    sweeps.push_back((Seconds() - start) / static_cast<double>(set.names.size()));
  }
  if (!folder.empty()) RemoveWorkFolder(folder);
  if (!written) return -1;
  std::sort(sweeps.begin(), sweeps.end());
  return sweeps[1];
}

// Seconds for one scenario, negative on failure. Writing the files is not
// timed; the file events and the waits for their checks are.
double RunSetScenario(Plugin& plugin, const UploadSet& set, char scenario) {
  const std::string folder = MakeWorkFolder((std::string("set") + scenario).c_str());
  if (folder.empty() || !WriteWholeFile(folder + kListName, set.list)) return -1;
  const std::size_t count = set.names.size();
  double seconds = 0;
  bool written = true;
  if (scenario == 'b') {
    for (std::size_t i = 0; i < count && written; ++i) {
      written = WriteSetFile(folder, set, i);
      const double start = Seconds();
      plugin.FileArrived(folder + set.names[i]);
      plugin.WaitForChecks();
      seconds += Seconds() - start;
    }
  } else {
    for (std::size_t i = 0; i < count && written; ++i) written = WriteSetFile(folder, set, i);
    const double start = Seconds();
    if (scenario == 'a') {
      plugin.FileArrived(folder + set.names[count - 1]);
    } else {
      for (std::size_t i = 0; i < count; ++i) plugin.FileArrived(folder + set.names[i]);
    }
    plugin.WaitForChecks();
    seconds = Seconds() - start;
  }
  const bool complete = written && SetIsComplete(folder, set);
  if (!complete) {
    std::printf("  (%c) with %zu files did not leave the set complete:", scenario, count);
    Win32FileSystem fs;
    for (const std::string& name : fs.ListMatches(folder + "*")) std::printf(" %s", name.c_str());
    std::printf("\n");
  }
  RemoveWorkFolder(folder);
  if (!complete) return -1;
  return seconds;
}

std::string LoadAverage() {
  char text[64] = {};
  HANDLE file = CreateFileA("Z:\\proc\\loadavg", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "unknown";
  DWORD got = 0;
  ReadFile(file, text, sizeof text - 1, &got, nullptr);
  CloseHandle(file);
  std::string load(text, got);
  std::size_t cut = 0;
  for (int field = 0; field < 3 && cut != std::string::npos; ++field) cut = load.find(' ', cut + 1);
  return load.substr(0, cut);
}

}  // namespace

int RunSet(const std::string& scenarios, const std::vector<std::size_t>& counts) {
  Plugin plugin;
  if (!plugin.Load()) {
    std::fprintf(stderr, "cannot load sfvcheck.dll and its entry points\n");
    return 1;
  }
  std::printf("set: N files of %zu KiB through sfvcheck.dll, %d-bit build, load %s\n",
              kSetFileSize / 1024, static_cast<int>(sizeof(void*) * 8), LoadAverage().c_str());
  std::printf("  (a) one event over the complete set (median of %d); (b) one at a time, each check ended "
              "before the next file;\n  (c) all there, N events back to back (one run each)\n",
              kSetBaseRepeats);
  // The wait itself, with no check running: part of every (b) step. The
  // first window a process makes is slow to come, so one is made first.
  plugin.WaitForChecks();
  {
    const double start = Seconds();
    for (int i = 0; i < 20; ++i) plugin.WaitForChecks();
    std::printf("  shutdown event with no check running: %.3f ms\n", (Seconds() - start) / 20 * 1e3);
  }
  std::printf("  %6s  %10s  %10s %8s  %10s %8s\n", "N", "(a)", "(b)", "x(a)", "(c)", "x(a)");
  struct Target {
    std::size_t count;
    const char* what;
    double ratio;
    double bound;
  };
  std::vector<Target> targets;
  int result = 0;
  for (std::size_t count : counts) {
    const UploadSet set = MakeUploadSet(count);
    double times[3] = {-1, -1, -1};
    for (char scenario : scenarios) {
      // (a) is short and every ratio rests on it: the median of
      // kSetBaseRepeats runs, since (b) and (c) run long enough to meet the
      // machine's load as it comes, bursts and lulls alike.
      const int repeats = scenario == 'a' ? kSetBaseRepeats : 1;
      std::vector<double> runs;
      for (int r = 0; r < repeats && result == 0; ++r) {
        const double seconds = RunSetScenario(plugin, set, scenario);
        if (seconds < 0) result = 1;
        runs.push_back(seconds);
      }
      if (result != 0) continue;
      std::sort(runs.begin(), runs.end());
      times[scenario - 'a'] = runs[runs.size() / 2];
    }
    if (times[0] > 0 && (count == 300 || count == 1000)) {
      if (times[1] >= 0) {
        targets.push_back({count, "(b) one at a time", times[1] / times[0], count == 300 ? 50.0 : 100.0});
      }
      if (times[2] >= 0) targets.push_back({count, "(c) back to back", times[2] / times[0], 1.5});
    }
    double openFloor = -1;
    if (times[0] > 0 && times[1] >= 0) {
      const double open = PresenceOpenSeconds(set);
      if (open > 0) openFloor = open * static_cast<double>(count * (count - 1) / 2);
    }
    std::printf("  %6zu", count);
    for (int s = 0; s < 3; ++s) {
      if (times[s] < 0) {
        std::printf(s == 0 ? "  %10s" : "  %10s %8s", "-", "");
        continue;
      }
      std::printf("  %8.3f s", times[s]);
      if (s > 0) {
        if (times[0] > 0) {
          std::printf(" %7.1fx", times[s] / times[0]);
        } else {
          std::printf(" %8s", "");
        }
      }
    }
    std::printf("\n");
    if (openFloor > 0) {
      std::printf("  %6s  (b) at least N(N-1)/2 presence opens: %.3f s, %.1fx (a)\n", "", openFloor,
                  openFloor / times[0]);
    }
    std::fflush(stdout);
  }
  if (result != 0) return result;
  for (const Target& target : targets) {
    std::printf("  target N = %zu, %s: at most %.1fx (a), here %.1fx: %s\n", target.count, target.what,
                target.bound, target.ratio, target.ratio <= target.bound ? "met" : "MISSED");
  }
  return 0;
}

}  // namespace bench
}  // namespace sfvcheck
