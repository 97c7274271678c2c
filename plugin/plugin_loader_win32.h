// The plug-in loaded as the server loads it: by file name, reached only
// through its three exports by name. The test host, the FTP host, the DLL
// tests, the benchmark and the screenshot host load it with this; the DLL
// itself never includes it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/host/host_record.h"
#include "plugin/entry_points_win32.h"

namespace sfvcheck {

class PluginLoader {
 public:
  PluginLoader() = default;
  ~PluginLoader() {
    if (!keepLoaded_) Unload();
  }
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  // Loads the DLL and looks up the exports; does not call the init entry.
  // False, with error() saying why and nothing left loaded, when it does not
  // load or lacks an export.
  bool Load(const std::string& path = "sfvcheck.dll") {
    Unload();
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
      error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    eventHook_ = EntryPointFrom<EventHookFunction>(GetProcAddress(module_, kEventHookName));
    qndrlHook_ = EntryPointFrom<EventHookFunction>(GetProcAddress(module_, kQndrlEventHookName));
    init_ = EntryPointFrom<InitEntryFunction>(GetProcAddress(module_, kInitEntryName));
    if (!ready()) {
      error_ = path + " lacks an export: " + kEventHookName + (eventHook_ ? " found, " : " missing, ") +
               kQndrlEventHookName + (qndrlHook_ ? " found, " : " missing, ") + kInitEntryName +
               (init_ ? " found" : " missing");
      Unload();
      return false;
    }
    error_.clear();
    return true;
  }

  // The init entry with an empty record, as the server calls it after loading.
  void Init() const {
    unsigned char initRecord[kInitRecordSize] = {};
    if (init_ != nullptr) init_(initRecord);
  }

  bool ready() const { return module_ != nullptr && eventHook_ && qndrlHook_ && init_; }
  const std::string& error() const { return error_; }
  HMODULE module() const { return module_; }

  std::int16_t Event(HostEventRecord& record) const { return eventHook_(&record); }
  std::int16_t QndrlEvent(HostEventRecord& record) const { return qndrlHook_(&record); }

  // The server's split: menu, idle and shutdown events go to the second hook.
  static bool ForQndrlHook(std::int32_t code) { return code >= kEventMenuChosen && code <= kEventShutdown; }
  std::int16_t Deliver(HostEventRecord& record) const {
    return ForQndrlHook(record.eventCode) ? QndrlEvent(record) : Event(record);
  }

  // Unloads the DLL now; nothing happens when it is not loaded.
  void Unload() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
    eventHook_ = qndrlHook_ = nullptr;
    init_ = nullptr;
  }

  // Leaves the DLL loaded when this object goes, to the end of the process,
  // as the server does.
  void KeepLoaded() { keepLoaded_ = true; }

 private:
  HMODULE module_ = nullptr;
  EventHookFunction eventHook_ = nullptr;
  EventHookFunction qndrlHook_ = nullptr;
  InitEntryFunction init_ = nullptr;
  std::string error_;
  bool keepLoaded_ = false;
};

}  // namespace sfvcheck
