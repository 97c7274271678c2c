// Threads: the test's own thread calls the hooks; one watchdog thread, owning
// nothing but its time-outs, bounds each WaitForChecks.
#include "tests/support/dll_host_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "core/settings/run_settings.h"

namespace sfvcheck::testing {
namespace {

// Started once, before the plug-in starts a thread of its own: a thread start
// per wait would add to the threads the checks start, and under an emulated
// 32-bit Wine two threads starting at once can take the process down.
class Watchdog {
 public:
  static Watchdog& Get() {
    static Watchdog* watchdog = new Watchdog;  // waits to the end of the process
    return *watchdog;
  }

  void Arm(const std::string& what, DWORD milliseconds) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      what_ = what;
      milliseconds_ = milliseconds;
    }
    SetEvent(armed_);
  }
  void Disarm() { SetEvent(done_); }

 private:
  Watchdog() { CloseHandle(CreateThread(nullptr, 0, Run, this, 0, nullptr)); }

  static DWORD WINAPI Run(void* parameter) {
    auto* self = static_cast<Watchdog*>(parameter);
    for (;;) {
      WaitForSingleObject(self->armed_, INFINITE);
      DWORD milliseconds = 0;
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        milliseconds = self->milliseconds_;
      }
      if (WaitForSingleObject(self->done_, milliseconds) == WAIT_TIMEOUT) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        std::fprintf(stderr, "\nFATAL: the check did not end in time: %s\n", self->what_.c_str());
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
      }
    }
  }

  HANDLE armed_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE done_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::mutex mutex_;
  std::string what_;
  DWORD milliseconds_ = 0;
};

}  // namespace

PluginHost& PluginHost::Get() {
  static PluginHost host;
  return host;
}

PluginHost::PluginHost() {
  Watchdog::Get();
  plugin_.KeepLoaded();
  if (!plugin_.Load()) {
    ADD_FAILURE() << plugin_.error();
    plugin_.Unload();
    return;
  }
  plugin_.Init();
}

std::int16_t PluginHost::Event(HostEventRecord& record) const {
  return loaded() ? plugin_.Event(record) : -1;
}

std::int16_t PluginHost::QndrlEvent(HostEventRecord& record) const {
  return loaded() ? plugin_.QndrlEvent(record) : -1;
}

void PluginHost::FileArrived(const std::string& path, std::int32_t eventCode) const {
  auto record = std::make_unique<HostEventRecord>();
  record->eventCode = eventCode;
  std::memcpy(record->text, path.data(), std::min(path.size(), kRecordTextSize));
  EXPECT_EQ(Event(*record), 0);
}

void PluginHost::WaitForChecks(const std::string& what, unsigned seconds) const {
  Watchdog::Get().Arm(what, seconds * 1000u);
  auto record = std::make_unique<HostEventRecord>();
  record->eventCode = kEventShutdown;
  EXPECT_EQ(QndrlEvent(*record), 0);
  Watchdog::Get().Disarm();
}

GuardedRecord::GuardedRecord(std::int32_t eventCode, unsigned char fill) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const std::size_t page = info.dwPageSize;
  const std::size_t span = (sizeof(HostEventRecord) + page - 1) / page * page;
  auto* base = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base == nullptr) {
    ADD_FAILURE() << "VirtualAlloc failed";
    return;
  }
  DWORD old = 0;
  VirtualProtect(base + span, page, PAGE_NOACCESS, &old);
  block_ = base;
  record_ = reinterpret_cast<HostEventRecord*>(base + span - sizeof(HostEventRecord));
  std::memset(record_, fill, sizeof(HostEventRecord));
  record_->eventCode = eventCode;
}

GuardedRecord::~GuardedRecord() {
  if (block_ != nullptr) VirtualFree(block_, 0, MEM_RELEASE);
}

void UseDefaultSettings() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyForWriting, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;  // no key: every setting is at its default already
  }
  for (const char* name : {kStartTrailValue, kEndTrailValue, kDeleteFlagValue, kMeterFlagValue, kLogFileValue}) {
    RegDeleteValueA(key, name);
  }
  RegCloseKey(key);
}

void SetSettingText(const char* name, const std::string& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyForWriting, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open the settings key to set " << name;
    return;
  }
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

void UseStartTrail(const std::string& startTrail) {
  UseDefaultSettings();
  SetSettingText(kStartTrailValue, startTrail);
}

std::string DefaultMeterName(int percent) {
  const int cells = percent / 5;
  return "--==[" + std::string(cells, '#') + std::string(20 - cells, '-') + "]==--  " +
         std::to_string(percent) + "% complete";
}

}  // namespace sfvcheck::testing
