#include "tools/ftp_host/plugin_library_win32.h"

#include <cstring>

namespace ftphost {

using sfvcheck::EntryPointFrom;
using sfvcheck::EventHookFunction;
using sfvcheck::InitEntryFunction;

bool PluginLibrary::Load(const std::string& path, std::string& error) {
  Unload();
  module_ = LoadLibraryA(path.c_str());
  if (module_ == nullptr) {
    error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  eventHook_ = EntryPointFrom<EventHookFunction>(GetProcAddress(module_, sfvcheck::kEventHookName));
  qndrlEventHook_ = EntryPointFrom<EventHookFunction>(GetProcAddress(module_, sfvcheck::kQndrlEventHookName));
  const auto init = EntryPointFrom<InitEntryFunction>(GetProcAddress(module_, sfvcheck::kInitEntryName));
  if (eventHook_ == nullptr || qndrlEventHook_ == nullptr || init == nullptr) {
    error = path + " lacks one of its exports " + sfvcheck::kEventHookName + ", " + sfvcheck::kQndrlEventHookName +
            ", " + sfvcheck::kInitEntryName;
    Unload();
    return false;
  }
  unsigned char initRecord[sfvcheck::kInitRecordSize] = {};
  init(initRecord);
  return true;
}

void PluginLibrary::Unload() {
  if (module_ != nullptr) FreeLibrary(module_);
  module_ = nullptr;
  eventHook_ = nullptr;
  qndrlEventHook_ = nullptr;
}

std::int16_t PluginLibrary::Deliver(sfvcheck::HostEventRecord& record) const {
  const bool second = record.eventCode >= sfvcheck::kEventMenuChosen && record.eventCode <= sfvcheck::kEventShutdown;
  const sfvcheck::EventHookFunction hook = second ? qndrlEventHook_ : eventHook_;
  return hook != nullptr ? hook(&record) : 0;
}

sfvcheck::HostEventRecord NewEventRecord(std::int32_t eventCode) {
  sfvcheck::HostEventRecord record;
  std::memset(&record, 0, sizeof record);
  record.eventCode = eventCode;
  record.reply = nullptr;
  return record;
}

void SetRecordText(sfvcheck::HostEventRecord& record, const std::string& text) {
  const std::size_t length = text.size() < sizeof record.text - 1 ? text.size() : sizeof record.text - 1;
  std::memcpy(record.text, text.data(), length);
  record.text[length] = '\0';
}

}  // namespace ftphost
