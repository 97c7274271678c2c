// The plug-in DLL loaded as the server loads it: LoadLibraryA, the three
// exports by name, the init entry called once with a 20-byte record, and
// FreeLibrary at the end. Kept apart from the FTP side so that it can give
// way to a shared loader.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "plugin/entry_points_win32.h"
#include "core/host/host_record.h"

namespace ftphost {

class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary() { Unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads `path` and calls its init entry; on failure `error` says why.
  bool Load(const std::string& path, std::string& error);
  void Unload();

  // Menu, idle and shutdown events (112 to 116) go to the second hook, all
  // others to the first, as the server splits them.
  std::int16_t Deliver(sfvcheck::HostEventRecord& record) const;

 private:
  HMODULE module_ = nullptr;
  sfvcheck::EventHookFunction eventHook_ = nullptr;
  sfvcheck::EventHookFunction qndrlEventHook_ = nullptr;
};

// A record as the server hands it over: the event code, everything else
// zero, no reply.
sfvcheck::HostEventRecord NewEventRecord(std::int32_t eventCode);

// Copies `text` into the record's text area, cut to fit.
void SetRecordText(sfvcheck::HostEventRecord& record, const std::string& text);

}  // namespace ftphost
