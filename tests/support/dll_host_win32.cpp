// Threads: the test's own thread calls the hooks; WaitForChecks starts a
// watchdog thread that owns nothing but its time-out.
#include "tests/support/dll_host_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "core/settings/run_settings.h"

namespace sfvcheck::testing {
namespace {

struct Watch {
  HANDLE done;
  DWORD milliseconds;
  std::string what;
};

DWORD WINAPI Watchdog(void* parameter) {
  auto* watch = static_cast<Watch*>(parameter);
  if (WaitForSingleObject(watch->done, watch->milliseconds) == WAIT_TIMEOUT) {
    std::fprintf(stderr, "\nFATAL: the check did not end in time: %s\n", watch->what.c_str());
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  return 0;
}

}  // namespace

PluginHost& PluginHost::Get() {
  static PluginHost host;
  return host;
}

PluginHost::PluginHost() {
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
  Watch watch{CreateEventA(nullptr, TRUE, FALSE, nullptr), seconds * 1000u, what};
  HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, &watch, 0, nullptr);
  auto record = std::make_unique<HostEventRecord>();
  record->eventCode = kEventShutdown;
  EXPECT_EQ(QndrlEvent(*record), 0);
  SetEvent(watch.done);
  WaitForSingleObject(watchdog, INFINITE);
  CloseHandle(watchdog);
  CloseHandle(watch.done);
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
