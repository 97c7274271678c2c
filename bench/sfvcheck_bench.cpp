// Figures for the checker's speed and footprint, printed; nothing here is a pass/fail test.
//
//   sfvcheck_bench [all|hash|pass|stack|workers|set] [args]   (default: all)
//   sfvcheck_bench hash [file MiB, default 256] [block KiB, default FileCrc32::kReadSize]
//   sfvcheck_bench pass [small count, default 1000] [large count, default 10000]
//   sfvcheck_bench all  [file MiB] [block KiB]    hash, then pass with the default counts
//   sfvcheck_bench set  [abc] [N ...]             sets of N files (default 100 300 1000)
//   sfvcheck_bench stack                          deepest stack use of a pass
//   sfvcheck_bench workers [count, default 2000]  address space of waiting workers
//
// hash: one file, written to the temporary folder first so it is read from
// the cache, hashed by each CRC tier in memory and over the file, against a
// bare ReadFile loop at the same block size and against a whole DirectoryCheck
// of a set made of this one file. Speeds in GB/s, with ratios to the per-byte
// reference and to the read loop.
//
// pass: a DirectoryCheck over lists of many small files that are all already
// recorded in the state file, so nothing is hashed: the pass should take time
// in proportion to the number of files.
//
// set: sets of N files of 16 KiB checked through the DLL's exports, as the
// host drives them (file events, the shutdown event to wait for the checks):
// (a) one event over the complete set, (b) files arriving one at a time, an
// event after each and its check ended before the next file arrives, (c) all
// files there and N events back to back. Each as time and ratio to (a); (a),
// short and the base of every ratio, is the median of three runs.
//
// stack: DirectoryCheck passes over a list of long names (hashing, moving
// aside, marking, completing, and one pass ended by an exception), each on a
// fresh thread whose stack is painted first; prints how deep each went.
//
// workers: address space in use (VirtualQuery over the whole space) while
// `count` threads wait to start: first plain threads with the process's
// default stack reservation, then the plug-in's workers started by file
// events through its hook. They wait on the loader lock, held here, with
// their stacks already reserved, as workers queued on the CheckLock do.
#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <string>
#include <vector>

#include "core/check/directory_check.h"
#include "core/check/file_crc.h"
#include "core/check/naming.h"
#include "core/crc/crc32.h"
#include "core/host/host_record.h"
#include "core/settings/run_settings.h"
#include "plugin/plugin_loader_win32.h"
#include "tools/support/test_data.h"
#include "win32/critical_section_win32.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/workers_win32.h"

namespace sfvcheck {
namespace {

using testing::RandomBytes;  // incompressible filler, so no layer can shortcut the data
using testing::SfvLine;

using Kernel = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

struct Tier {
  const char* name;
  Kernel kernel;
};

constexpr int kRepeats = 5;      // each hashing figure is the best of this many runs
constexpr int kPassRepeats = 5;  // each pass figure is the best of this many runs
constexpr char kDataName[] = "data.bin";
constexpr char kListName[] = "set.sfv";

double Seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

double GigabytesPerSecond(std::uint64_t bytes, double seconds) { return bytes / seconds / 1e9; }

// A fresh folder of its own in the temporary folder, with a trailing '\'.
std::string MakeWorkFolder(const char* tag) {
  char temp[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof temp, temp) == 0) return {};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string folder = std::string(temp) + "sfvbench." + tag + "." +
                               std::to_string(GetCurrentProcessId()) + "." + std::to_string(attempt);
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder + "\\";
  }
  return {};
}

// Empties the work folder (files and empty subfolders only, which is all the
// check makes) and removes it.
void RemoveWorkFolder(const std::string& folder) {
  if (folder.empty()) return;
  Win32FileSystem fs;
  for (const std::string& name : fs.ListMatches(folder + "*")) {
    const std::string path = folder + name;
    if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
  }
  RemoveDirectoryA(folder.substr(0, folder.size() - 1).c_str());
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool WriteTestFile(const std::string& path, std::uint64_t bytes) {
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!file) return false;
  constexpr std::size_t kChunk = 1 << 20;
  for (std::uint64_t at = 0; at < bytes; at += kChunk) {
    const std::string chunk = RandomBytes(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, bytes - at)),
                                          static_cast<std::uint32_t>(at / kChunk + 1));
    DWORD written = 0;
    if (!WriteFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
        written != chunk.size()) {
      return false;
    }
  }
  return true;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Reads the whole file in blocks, handing each block to `kernel` when there
// is one. Opened the way the checker opens files. Returns the seconds taken,
// or a negative value on failure.
double ReadPass(const std::string& path, std::size_t block, Kernel kernel, std::uint32_t* crc) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
  const double start = Seconds();
  OwnedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return -1;
  std::uint32_t value = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.get(), static_cast<DWORD>(block), &got, nullptr)) return -1;
    if (got == 0) break;
    if (kernel) value = kernel(value, buffer.get(), got);
  }
  const double seconds = Seconds() - start;
  *crc = value;
  return seconds;
}

// One figure of a table: a timed run, its best time and the CRC it gave.
struct Timed {
  std::string label;
  std::function<double(std::uint32_t* crc)> run;  // seconds, negative on failure
  bool hashes = true;
  double best = -1;
  std::uint32_t crc = 0;
};

// Runs every row once per round for kRepeats rounds and keeps each row's
// best: a burst of load from elsewhere on the machine then hits all rows
// alike instead of one. False when a run fails.
bool TimeInRounds(std::vector<Timed>& rows) {
  for (int round = 0; round < kRepeats; ++round) {
    for (Timed& row : rows) {
      const double seconds = row.run(&row.crc);
      if (seconds < 0) {
        std::fprintf(stderr, "%s failed\n", row.label.c_str());
        return false;
      }
      if (row.best < 0 || seconds < row.best) row.best = seconds;
    }
  }
  return true;
}

// True when every hashing row agrees with `expected`; reports the others.
bool AllAgree(const std::vector<Timed>& rows, std::uint32_t expected) {
  bool agree = true;
  for (const Timed& row : rows) {
    if (!row.hashes || row.crc == expected) continue;
    std::printf("  %s: CRC %08X differs from the reference %08X\n", row.label.c_str(), row.crc, expected);
    agree = false;
  }
  return agree;
}

double TimeInMemory(Kernel kernel, const std::string& data, int rounds, std::uint32_t* crc) {
  const double start = Seconds();
  std::uint32_t value = 0;
  for (int r = 0; r < rounds; ++r) value = kernel(value, data.data(), data.size());
  const double seconds = Seconds() - start;
  *crc = value;
  return seconds;
}

void PrintRow(const char* label, double gbps, double referenceGbps, double readGbps) {
  std::printf("  %-36s %7.3f GB/s", label, gbps);
  if (referenceGbps > 0) std::printf("   x%6.2f reference", gbps / referenceGbps);
  if (readGbps > 0) std::printf("   %6.1f%% of read loop", 100.0 * gbps / readGbps);
  std::printf("\n");
}

// A whole DirectoryCheck of the set made of the one file, listed with its
// right CRC, with no state file before, so the pass hashes it. Seconds, or a
// negative value when the pass did not end with the set complete.
double TimeOneFileCheck(const std::string& folder) {
  Win32FileSystem fs;
  CriticalSectionLock lock;  // the plug-in serialises its passes in-process the same way
  const RunSettings settings;  // defaults: meter on, delete off
  const CheckContext context{fs, lock, [&settings] { return settings; }};
  const std::string dataPath = folder + kDataName;
  const std::string statePath = StateFileName(folder, kListName);
  const std::string meterPath = folder + MeterFolderName(100, settings);

  DeleteFileA(statePath.c_str());
  RemoveDirectoryA(meterPath.c_str());
  const double start = Seconds();
  DirectoryCheck(context, dataPath);
  const double seconds = Seconds() - start;
  // Complete: the meter shows 100 %, the state file is gone, the file stays.
  if (!Exists(meterPath) || Exists(statePath) || !Exists(dataPath) || Exists(BadMarkerName(dataPath))) {
    std::printf("  DirectoryCheck did not find the one-file set complete\n");
    return -1;
  }
  return seconds;
}

int RunHash(std::uint64_t mib, std::size_t block) {
  const std::uint64_t bytes = mib << 20;

  std::vector<Tier> tiers = {{"per-byte reference", Crc32Reference}, {"slicing-by-16", Crc32Slicing}};
  if (Crc32ClmulSupported()) tiers.push_back({"carry-less multiply, 128-bit", Crc32Clmul});
  if (Crc32Avx512Supported()) tiers.push_back({"carry-less multiply, 512-bit", Crc32Avx512});
  tiers.push_back({"Crc32 (chosen tier)", Crc32});
  tiers.push_back({"FileCrc32Kernel (file tier)", FileCrc32Kernel});

  std::printf("hash: %llu MiB file, %zu KiB blocks, %d-bit build, PCLMULQDQ+SSE4.1 %s, "
              "AVX-512F+VPCLMULQDQ %s, best of %d\n",
              static_cast<unsigned long long>(mib), block / 1024, static_cast<int>(sizeof(void*) * 8),
              Crc32ClmulSupported() ? "yes" : "no", Crc32Avx512Supported() ? "yes" : "no", kRepeats);

  // In memory: one 1 MiB buffer hashed over and over, as much as the file.
  {
    const std::string data = RandomBytes(1 << 20, 99);
    const int rounds = static_cast<int>(mib);
    std::printf("\nIn memory (1 MiB buffer x %d):\n", rounds);
    std::vector<Timed> rows;
    for (const Tier& tier : tiers) {
      rows.push_back({tier.name, [&data, rounds, kernel = tier.kernel](std::uint32_t* crc) {
                        return TimeInMemory(kernel, data, rounds, crc);
                      }});
    }
    if (!TimeInRounds(rows) || !AllAgree(rows, rows[0].crc)) return 1;
    const double referenceGbps = GigabytesPerSecond(bytes, rows[0].best);
    for (const Timed& row : rows) {
      PrintRow(row.label.c_str(), GigabytesPerSecond(bytes, row.best), &row == &rows[0] ? 0 : referenceGbps, 0);
    }
  }

  const std::string folder = MakeWorkFolder("hash");
  const std::string path = folder + kDataName;
  if (folder.empty() || !WriteTestFile(path, bytes)) {
    std::fprintf(stderr, "cannot write the test file %s\n", path.c_str());
    RemoveWorkFolder(folder);
    return 1;
  }
  int result = 1;
  do {
    // The list for the directory check, from a first, untimed pass (which
    // also brings the whole file into the cache).
    std::uint32_t expected = 0;
    if (ReadPass(path, block, FileCrc32Kernel, &expected) < 0 ||
        !WriteWholeFile(folder + kListName, SfvLine(kDataName, expected))) {
      std::fprintf(stderr, "cannot read the test file\n");
      break;
    }

    std::printf("\nFile %s, read in %zu KiB blocks:\n", path.c_str(), block / 1024);
    Win32FileSystem fs;
    FileCrc32 hasher(fs);
    std::vector<Timed> rows;
    rows.push_back({"read only (ReadFile loop)",
                    [&path, block](std::uint32_t* crc) { return ReadPass(path, block, nullptr, crc); }, false});
    for (const Tier& tier : tiers) {
      rows.push_back({std::string("read + ") + tier.name, [&path, block, kernel = tier.kernel](std::uint32_t* crc) {
                        return ReadPass(path, block, kernel, crc);
                      }});
    }
    // The product path: FileCrc32 through the Win32 file system, kReadSize reads.
    rows.push_back({"FileCrc32 (" + std::to_string(FileCrc32::kReadSize / 1024) + " KiB reads)",
                    [&path, &hasher](std::uint32_t* crc) {
                      const double start = Seconds();
                      return hasher.ComputeFileCrc(path, crc) ? Seconds() - start : -1;
                    }});
    // The whole pass as the plug-in runs it, on the same cached file.
    rows.push_back({"DirectoryCheck, one-file set",
                    [&folder, expected](std::uint32_t* crc) {
                      *crc = expected;  // the check above proved it
                      return TimeOneFileCheck(folder);
                    }});
    if (!TimeInRounds(rows) || !AllAgree(rows, rows[1].crc)) break;

    const double readGbps = GigabytesPerSecond(bytes, rows[0].best);
    const double referenceGbps = GigabytesPerSecond(bytes, rows[1].best);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      PrintRow(rows[i].label.c_str(), GigabytesPerSecond(bytes, rows[i].best), i < 2 ? 0 : referenceGbps,
               i == 0 ? 0 : readGbps);
    }
    const double checkGbps = GigabytesPerSecond(bytes, rows.back().best);
    std::printf("  CRC-32 of the file: %08X (all tiers agree)\n", expected);
    std::printf("  DirectoryCheck: x%.2f the per-byte reference (target 10 or more), %.1f%% of the read "
                "loop (target 50%% or more): %s\n",
                checkGbps / referenceGbps, 100.0 * checkGbps / readGbps,
                checkGbps >= 10 * referenceGbps && checkGbps >= 0.5 * readGbps ? "met" : "MISSED");

    // Candidates for the read size: the bare loop and the loop with hashing.
    std::vector<Timed> sizes;
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
      sizes.push_back({"", [&path, size](std::uint32_t* crc) { return ReadPass(path, size, nullptr, crc); }, false});
      sizes.push_back({std::to_string(size / 1024) + " KiB", [&path, size](std::uint32_t* crc) {
                         return ReadPass(path, size, FileCrc32Kernel, crc);
                       }});
    }
    if (!TimeInRounds(sizes) || !AllAgree(sizes, expected)) break;
    std::printf("\nBy block size (read only / read + FileCrc32Kernel):\n");
    for (std::size_t i = 0; i + 1 < sizes.size(); i += 2) {
      std::printf("  %8s   %7.3f GB/s / %7.3f GB/s\n", sizes[i + 1].label.c_str(),
                  GigabytesPerSecond(bytes, sizes[i].best), GigabytesPerSecond(bytes, sizes[i + 1].best));
    }
    result = 0;
  } while (false);

  RemoveWorkFolder(folder);
  return result;
}

std::string SmallFileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "file_%05zu.dat", index);
  return name;
}

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

// ---- set: whole sets through the DLL ----

constexpr std::size_t kSetFileSize = 16 * 1024;
constexpr int kSetBaseRepeats = 3;

// The plug-in loaded as the host loads it: by name, from beside this program,
// and kept loaded to the end of the process.
class Plugin {
 public:
  Plugin() { loader_.KeepLoaded(); }

  bool Load() {
    if (!loader_.Load()) return false;
    loader_.Init();
    return true;
  }

  void FileArrived(const std::string& path) {
    std::memset(record_.get(), 0, sizeof(HostEventRecord));
    record_->eventCode = kEventFileArrived;
    SetRecordText(*record_, path);
    loader_.Event(*record_);
  }

  // The shutdown event: returns when every started check has ended.
  void WaitForChecks() {
    std::memset(record_.get(), 0, sizeof(HostEventRecord));
    record_->eventCode = kEventShutdown;
    loader_.QndrlEvent(*record_);
  }

 private:
  PluginLoader loader_;
  std::unique_ptr<HostEventRecord> record_ = std::make_unique<HostEventRecord>();
};

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

DWORD WINAPI EndAtOnce(void*) { return 0; }

// Seconds the host's thread spends starting `count` threads as the hook
// starts its workers (suspended, the workers' stack, below-normal priority,
// resumed), each ending at once: N events back to back cost at least this
// before the pass that covers the last of them can start.
double ThreadStartsSeconds(std::size_t count) {
  std::vector<HANDLE> threads;
  threads.reserve(count);
  const double start = Seconds();
  for (std::size_t i = 0; i < count; ++i) {
    HANDLE thread = CreateThread(nullptr, Workers::kStackReservation, EndAtOnce, nullptr,
                                 CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) break;
    SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
    ResumeThread(thread);
    threads.push_back(thread);
  }
  const double seconds = Seconds() - start;
  for (HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  return threads.size() == count ? seconds : -1;
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
      if (times[2] >= 0) targets.push_back({count, "(c) back to back", times[2] / times[0], 3.0});
    }
    double openFloor = -1;
    if (times[0] > 0 && times[1] >= 0) {
      const double open = PresenceOpenSeconds(set);
      if (open > 0) openFloor = open * static_cast<double>(count * (count - 1) / 2);
    }
    double startsFloor = -1;
    if (times[0] > 0 && times[2] >= 0) {
      const double starts = ThreadStartsSeconds(count);
      if (starts > 0) startsFloor = starts + times[0];
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
    if (startsFloor > 0) {
      std::printf("  %6s  (c) at least N thread starts, then (a): %.3f s, %.1fx (a)\n", "", startsFloor,
                  startsFloor / times[0]);
    }
    std::fflush(stdout);
  }
  if (result != 0) return result;
  for (const Target& target : targets) {
    std::printf("  target N = %zu, %s: at most %.0fx (a), here %.1fx: %s\n", target.count, target.what,
                target.bound, target.ratio, target.ratio <= target.bound ? "met" : "MISSED");
  }
  return 0;
}

// ---- stack: the deepest stack use of a pass -------------------------------

constexpr unsigned char kStackPaint = 0xA5;
constexpr std::size_t kPaintedStack = 512 * 1024;  // painted below the probe's frame

// A pass to measure: its folder and what it does, run on a thread of its own.
struct StackScenario {
  const char* label;
  std::function<void()> run;
  std::size_t used = 0;  // bytes from the stack's top to the deepest byte written
  bool overflowed = false;
};

__attribute__((noinline)) void PaintStack(volatile unsigned char* from, volatile unsigned char* to) {
  while (from < to) *from++ = kStackPaint;
}

// Paints the stack below this frame, runs the scenario, then finds the lowest
// byte that was written. The thread's stack is committed whole at creation.
DWORD WINAPI MeasureStackThread(void* parameter) {
  auto* scenario = static_cast<StackScenario*>(parameter);
  auto* frame = static_cast<unsigned char*>(__builtin_frame_address(0));
  // The stack's top: the end of the reservation that holds this frame.
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(frame, &region, sizeof region) != sizeof region) return 1;
  const void* const stack = region.AllocationBase;
  unsigned char* top = frame;
  while (VirtualQuery(top, &region, sizeof region) == sizeof region && region.AllocationBase == stack) {
    top = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize;
  }
  unsigned char* paintTop = frame - 4096;  // clear of PaintStack's own frame
  unsigned char* paintLow = paintTop - kPaintedStack;
  if (VirtualQuery(paintLow, &region, sizeof region) != sizeof region || region.AllocationBase != stack ||
      region.State != MEM_COMMIT || region.Protect != PAGE_READWRITE) {
    return 1;
  }
  PaintStack(paintLow, paintTop);
  scenario->run();
  const unsigned char* lowest = paintLow;
  while (lowest < paintTop && *lowest == kStackPaint) ++lowest;
  scenario->overflowed = lowest == paintLow;
  scenario->used = static_cast<std::size_t>(top - lowest);
  return 0;
}

bool MeasureStack(StackScenario& scenario) {
  // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is committed at once,
  // so the painting never meets an uncommitted page.
  OwnedObject thread(CreateThread(nullptr, 2 * kPaintedStack, MeasureStackThread, &scenario, 0, nullptr));
  if (!thread) return false;
  WaitForSingleObject(thread.get(), INFINITE);
  DWORD code = 1;
  return GetExitCodeThread(thread.get(), &code) && code == 0;
}

// A name as long as the folder leaves room for (paths stay below MAX_PATH,
// markers included), ending in `tail`.
std::string LongName(const std::string& folder, char fill, const std::string& tail) {
  const std::size_t room = MAX_PATH - 1 - folder.size() - std::strlen("-[MISSING]") - tail.size();
  return std::string(room > 200 ? 200 : room, fill) + tail;
}

int RunStack() {
  std::printf("stack: deepest stack use of DirectoryCheck passes, each on a fresh thread, %d-bit build\n",
              static_cast<int>(sizeof(void*) * 8));
  const std::string folder = MakeWorkFolder("stack");
  if (folder.empty()) return 1;
  // Eight long names: four good, two corrupt, two absent at first.
  std::vector<std::string> names;
  std::string list = "; long names, hashed, moved aside and marked\r\n";
  const std::string content = RandomBytes(300000, 5);
  const std::uint32_t crc = Crc32(0, content.data(), content.size());
  for (int i = 0; i < 8; ++i) {
    names.push_back(LongName(folder, static_cast<char>('a' + i), ".r0" + std::to_string(i)));
    list += SfvLine(names.back(), i == 4 || i == 5 ? ~crc : crc);
    if (i < 6 && !WriteWholeFile(folder + names.back(), content)) return 1;
  }
  if (!WriteWholeFile(folder + kListName, list)) return 1;

  Win32FileSystem fs;
  CriticalSectionLock lock;
  const RunSettings settings;
  const CheckContext context{fs, lock, [&settings] { return settings; }};
  const CheckContext throwing{fs, lock, []() -> RunSettings { throw std::bad_alloc(); }};
  const std::string arrived = folder + names[0];
  std::vector<StackScenario> scenarios = {
      {"first pass: hashes 6, moves 2 aside, marks 2 missing", [&] { DirectoryCheck(context, arrived); }},
      {"second pass: state file read, markers kept", [&] { DirectoryCheck(context, arrived); }},
      {"third pass: the 2 absent files arrive, 6 of 8 good",
       [&] {
         WriteWholeFile(folder + names[6], content);
         WriteWholeFile(folder + names[7], content);
         DirectoryCheck(context, arrived);
       }},
      {"a pass ended by an exception", [&] { DirectoryCheck(throwing, arrived); }},
  };
  std::size_t deepest = 0;
  int result = 0;
  for (StackScenario& scenario : scenarios) {
    if (!MeasureStack(scenario)) {
      std::printf("  %s: could not be measured\n", scenario.label);
      result = 1;
      continue;
    }
    std::printf("  %-56s %s%6.1f KiB\n", scenario.label, scenario.overflowed ? "more than " : "",
                scenario.used / 1024.0);
    deepest = std::max(deepest, scenario.used);
  }
  std::printf("  deepest: %.1f KiB of stack (from the thread's start); workers reserve %u KiB\n",
              deepest / 1024.0, static_cast<unsigned>(Workers::kStackReservation / 1024));
  // The passes did their work: two files moved aside, 6 of 8 good.
  const std::size_t movedAside = fs.ListMatches(folder + "*-[BAD]*").size();
  const bool meterAt75 = Exists(folder + MeterFolderName(75, settings));
  if (movedAside != 2 || !meterAt75) {
    std::printf("  the passes did not end as expected (%zu moved aside, meter at 75%%: %s)\n", movedAside,
                meterAt75 ? "yes" : "no");
    result = 1;
  }
  RemoveWorkFolder(folder);
  return result;
}

// ---- workers: address space reserved by queued workers --------------------

struct AddressSpace {
  std::uint64_t used = 0;  // reserved or committed
  std::uint64_t free = 0;
};

// This process's address space, region by region (VirtualQuery).
AddressSpace MeasureAddressSpace() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  AddressSpace space;
  auto* at = static_cast<unsigned char*>(info.lpMinimumApplicationAddress);
  auto* const end = static_cast<unsigned char*>(info.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION region;
  while (at < end) {
    if (VirtualQuery(at, &region, sizeof region) != sizeof region) {
      at += info.dwAllocationGranularity;  // not described: counted as in use
      space.used += info.dwAllocationGranularity;
      continue;
    }
    (region.State == MEM_FREE ? space.free : space.used) += region.RegionSize;
    at = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize;
  }
  return space;
}

int ThreadsOfThisProcess() {
  OwnedFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

// Holds the loader lock: a thread that starts meanwhile waits in its start-up
// with its stack already reserved, as a worker waits on the CheckLock. The
// holder may still call into the loader itself (the lock is re-entrant).
class LoaderLockHold {
 public:
  LoaderLockHold() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    lock_ = reinterpret_cast<LockFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    unlock_ =
        reinterpret_cast<UnlockFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    held_ = lock_ != nullptr && unlock_ != nullptr && lock_(0, nullptr, &cookie_) >= 0;
  }
  ~LoaderLockHold() { Release(); }
  LoaderLockHold(const LoaderLockHold&) = delete;
  LoaderLockHold& operator=(const LoaderLockHold&) = delete;

  bool held() const { return held_; }
  void Release() {
    if (held_) unlock_(0, cookie_);
    held_ = false;
  }

 private:
  using LockFunction = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockFunction = LONG(NTAPI*)(ULONG, ULONG_PTR);
  LockFunction lock_ = nullptr;
  UnlockFunction unlock_ = nullptr;
  ULONG_PTR cookie_ = 0;
  bool held_ = false;
};


struct QueuedFigure {
  int started = 0;
  std::uint64_t bytes = 0;  // address space in use beyond the idle figure
  std::uint64_t left = 0;   // address space still free
};

QueuedFigure Measure(int started, const AddressSpace& idle) {
  const AddressSpace now = MeasureAddressSpace();
  return {started, now.used - idle.used, now.free};
}

void PrintQueued(const char* label, const QueuedFigure& figure, int count) {
  std::printf("  %-44s %5d of %d started   %8.1f MiB reserved   %7.1f KiB per thread", label, figure.started,
              count, figure.bytes / 1048576.0, figure.started > 0 ? figure.bytes / 1024.0 / figure.started : 0.0);
  // What is left matters where the space is small: a 32-bit process.
  if (sizeof(void*) == 4) std::printf("   %6.1f MiB left free", figure.left / 1048576.0);
  std::printf("\n");
}

int RunWorkers(int count) {
  std::printf("workers: address space reserved with %d threads waiting, %d-bit build; workers ask for %u KiB\n",
              count, static_cast<int>(sizeof(void*) * 8), static_cast<unsigned>(Workers::kStackReservation / 1024));
  Plugin plugin;
  const std::string folder = MakeWorkFolder("workers");
  if (!plugin.Load() || folder.empty()) {
    std::fprintf(stderr, "sfvcheck.dll or a work folder is missing\n");
    return 1;
  }
  // Made before any figure: nothing below allocates while threads wait.
  std::vector<HANDLE> threads(static_cast<std::size_t>(count), nullptr);
  const std::string arrived = folder + "arrived.rar";  // no list beside it: each check ends at once
  const int threadsIdle = ThreadsOfThisProcess();
  const AddressSpace idle = MeasureAddressSpace();

  // Before: threads with the process's default stack reservation.
  QueuedFigure plain;
  {
    int started = 0;
    LoaderLockHold hold;
    if (!hold.held()) return 1;
    for (auto& thread : threads) {
      thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
      if (thread == nullptr) break;
      ++started;
    }
    plain = Measure(started, idle);
  }
  for (HANDLE thread : threads) {
    if (thread == nullptr) continue;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }

  // After: the plug-in's workers, one per file event through its hook.
  QueuedFigure workers;
  {
    LoaderLockHold hold;
    if (!hold.held()) return 1;
    for (int i = 0; i < count; ++i) plugin.FileArrived(arrived);
    workers = Measure(ThreadsOfThisProcess() - threadsIdle, idle);
  }
  plugin.WaitForChecks();

  PrintQueued("default reservation (CreateThread, size 0)", plain, count);
  PrintQueued("plug-in workers (file events)", workers, count);
  if (plain.started == count && workers.started == count && plain.bytes > 0) {
    std::printf("  ratio %.2f\n", static_cast<double>(workers.bytes) / static_cast<double>(plain.bytes));
  }
  RemoveWorkFolder(folder);
  return 0;
}

std::uint64_t Number(int argc, char** argv, int index, std::uint64_t fallback) {
  return argc > index ? std::strtoull(argv[index], nullptr, 10) : fallback;
}

int Run(int argc, char** argv) {
  std::string mode = "all";
  int first = 1;  // index of the first numeric argument
  if (argc > 1 && (std::strcmp(argv[1], "all") == 0 || std::strcmp(argv[1], "hash") == 0 ||
                   std::strcmp(argv[1], "pass") == 0 || std::strcmp(argv[1], "stack") == 0 ||
                   std::strcmp(argv[1], "workers") == 0 || std::strcmp(argv[1], "set") == 0)) {
    mode = argv[1];
    first = 2;
  }
  if (mode == "stack") return RunStack();
  if (mode == "workers") {
    const std::uint64_t count = Number(argc, argv, first, 2000);
    if (count == 0 || count > 100000) {
      std::fprintf(stderr, "usage: sfvcheck_bench workers [thread count > 0]\n");
      return 2;
    }
    return RunWorkers(static_cast<int>(count));
  }
  if (mode == "set") {
    // Optional letters choosing the scenarios, then the set sizes.
    std::string scenarios = "abc";
    if (argc > first && std::strspn(argv[first], "abc") == std::strlen(argv[first]) && argv[first][0] != '\0') {
      scenarios = argv[first++];
    }
    std::vector<std::size_t> counts;
    for (int i = first; i < argc; ++i) {
      const std::uint64_t count = std::strtoull(argv[i], nullptr, 10);
      if (count == 0 || count > 99999) {
        std::fprintf(stderr, "usage: sfvcheck_bench set [abc] [N > 0 ...]\n");
        return 2;
      }
      counts.push_back(static_cast<std::size_t>(count));
    }
    if (counts.empty()) counts = {100, 300, 1000};
    return RunSet(scenarios, counts);
  }
  if (mode == "pass") {
    const std::uint64_t small = Number(argc, argv, first, 1000);
    const std::uint64_t large = Number(argc, argv, first + 1, 10000);
    if (small == 0 || large == 0 || large > 1000000) {
      std::fprintf(stderr, "usage: sfvcheck_bench pass [small count > 0] [large count > 0]\n");
      return 2;
    }
    return RunPass(static_cast<std::size_t>(small), static_cast<std::size_t>(large));
  }
  const std::uint64_t mib = Number(argc, argv, first, 256);
  const std::uint64_t blockKib = Number(argc, argv, first + 1, FileCrc32::kReadSize / 1024);
  if (mib == 0 || mib > (1u << 20) || blockKib == 0 || blockKib > (1u << 20)) {
    std::fprintf(stderr, "usage: sfvcheck_bench [all|hash] [file MiB > 0] [block KiB > 0]\n");
    return 2;
  }
  int result = RunHash(mib, static_cast<std::size_t>(blockKib) * 1024);
  if (mode == "all" && result == 0) {
    std::printf("\n");
    result = RunPass(1000, 10000);
  }
  return result;
}

}  // namespace
}  // namespace sfvcheck

int main(int argc, char** argv) { return sfvcheck::Run(argc, argv); }
