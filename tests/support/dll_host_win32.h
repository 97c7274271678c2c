// The plug-in DLL driven the way the host drives it: loaded by name, its
// hooks called with a HostEventRecord.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"
#include "tools/support/test_data.h"

namespace sfvcheck::testing {

class PluginHost {
 public:
  // Loads sfvcheck.dll (beside the test program) once per process; the DLL
  // stays loaded to the end, as in the host.
  static PluginHost& Get();

  bool loaded() const { return plugin_.ready(); }

  std::int16_t Event(HostEventRecord& record) const;
  std::int16_t QndrlEvent(HostEventRecord& record) const;

  // A file event with `path` in the text area, cut to the area's size (with
  // no NUL at all when it fills the area). The check runs in the background.
  void FileArrived(const std::string& path, std::int32_t eventCode = kEventFileArrived) const;

  // The shutdown event: returns when every running check has ended. A check
  // that does not end within `seconds` holds the process-wide lock for good,
  // so the whole test program is ended then, with `what` named on stderr.
  void WaitForChecks(const std::string& what, unsigned seconds = 300) const;

  // A file event followed by the shutdown event: a synchronous check.
  void CheckNow(const std::string& path, const std::string& what = "check") const {
    FileArrived(path);
    WaitForChecks(what + " of " + path);
  }

 private:
  PluginHost();

  PluginLoader plugin_;
};

// A record whose last byte is followed by an inaccessible page, so a read
// past its end faults. Every byte is set to `fill`, the event code aside.
class GuardedRecord {
 public:
  explicit GuardedRecord(std::int32_t eventCode, unsigned char fill);
  ~GuardedRecord();
  GuardedRecord(const GuardedRecord&) = delete;
  GuardedRecord& operator=(const GuardedRecord&) = delete;

  HostEventRecord& get() { return *record_; }

 private:
  void* block_ = nullptr;
  HostEventRecord* record_ = nullptr;
};

// Writes the four settings at their defaults and switches the outcome log
// off, so that other programs that
// share the test prefix cannot change what a check does.
void UseDefaultSettings();

// The default settings with another start trail.
void UseStartTrail(const std::string& startTrail);

// Stores one value of the settings key as REG_SZ (the key made if needed).
void SetSettingText(const char* name, const std::string& text);

// The meter folder's name under the default settings.
std::string DefaultMeterName(int percent);

}  // namespace sfvcheck::testing
