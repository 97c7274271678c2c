// What the benchmark's modes share: timing, work folders, files, the plug-in
// loaded as a host loads it, and each mode's entry point.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"
#include "tools/support/test_data.h"

namespace sfvcheck {
namespace bench {

using testing::RandomBytes;  // incompressible filler, so no layer can shortcut the data
using testing::SfvLine;

constexpr char kListName[] = "set.sfv";

// Seconds on the performance counter.
double Seconds();

// A fresh folder of its own in the temporary folder, with a trailing '\'.
std::string MakeWorkFolder(const char* tag);

// Empties the work folder (files and empty subfolders only, which is all the
// check makes) and removes it.
void RemoveWorkFolder(const std::string& folder);

bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// file_00042.dat: the names of the small files of the pass and set modes.
std::string SmallFileName(std::size_t index);

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

// The modes (one file each); each prints its figures and returns the exit status.
int RunHash(std::uint64_t mib, std::size_t block);
int RunPass(std::size_t smallCount, std::size_t largeCount);
int RunSet(const std::string& scenarios, const std::vector<std::size_t>& counts);
int RunStack();

}  // namespace bench
}  // namespace sfvcheck
