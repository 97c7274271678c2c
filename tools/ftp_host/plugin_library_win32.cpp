#include "tools/ftp_host/plugin_library_win32.h"

#include <cstring>

namespace ftphost {

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
