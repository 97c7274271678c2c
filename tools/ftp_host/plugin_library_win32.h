// The plug-in DLL loaded as the server loads it, through the shared loader:
// the three exports by name, the init entry called once, and FreeLibrary at
// the end. Plus the records the FTP side hands to it.
#pragma once

#include <cstdint>
#include <string>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"

namespace ftphost {

class PluginLibrary {
 public:
  // Loads `path` and calls its init entry; on failure `error` says why.
  bool Load(const std::string& path, std::string& error) {
    if (!loader_.Load(path)) {
      error = loader_.error();
      loader_.Unload();
      return false;
    }
    loader_.Init();
    return true;
  }
  void Unload() { loader_.Unload(); }

  // Menu, idle and shutdown events (112 to 116) go to the second hook, all
  // others to the first, as the server splits them; 0 when nothing is loaded.
  std::int16_t Deliver(sfvcheck::HostEventRecord& record) const {
    return loader_.ready() ? loader_.Deliver(record) : 0;
  }

 private:
  sfvcheck::PluginLoader loader_;
};

// A record as the server hands it over: the event code, everything else
// zero, no reply.
sfvcheck::HostEventRecord NewEventRecord(std::int32_t eventCode);

// Copies `text` into the record's text area, cut to fit.
void SetRecordText(sfvcheck::HostEventRecord& record, const std::string& text);

}  // namespace ftphost
