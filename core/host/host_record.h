// The record the host passes to both event hooks. Only the fields the plug-in
// uses are named; every other byte belongs to the host. The offsets are the
// host's calling interface and are pinned below for the 32-bit build that the
// host loads. (The 64-bit build exists to run the tests at native speed under
// a 64-bit Wine; there the wider reply pointer moves the later fields.)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sfvcheck {

enum HostEvent : std::int32_t {
  kEventFileArrived = 10,
  kEventFileArrivedAlt = 13,
  kEventSiteRequest = 108,
  kEventMenuChosen = 112,
  kEventMenuQuery = 113,
  kEventIdle = 114,
  kEventUnused115 = 115,
  kEventShutdown = 116,
};

inline constexpr std::size_t kRecordTextSize = 1064;

struct HostEventRecord {
  std::int32_t eventCode;
  unsigned char hostOwned1[80];
  std::int32_t menuIndex;
  std::int32_t menuFlag;
  unsigned char hostOwned2[8];
  char* reply;
  char text[kRecordTextSize];
  std::int32_t isAdmin;
};

// Puts `text` into the record's text area as a host hands over a path or a
// SITE request: cut to fit, always terminated.
inline void SetRecordText(HostEventRecord& record, std::string_view text) {
  const std::size_t length = std::min(text.size(), kRecordTextSize - 1);
  std::memcpy(record.text, text.data(), length);
  record.text[length] = '\0';
}

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(HostEventRecord, eventCode) == 0, "eventCode");
static_assert(offsetof(HostEventRecord, menuIndex) == 84, "menuIndex");
static_assert(offsetof(HostEventRecord, menuFlag) == 88, "menuFlag");
static_assert(offsetof(HostEventRecord, reply) == 100, "reply");
static_assert(offsetof(HostEventRecord, text) == 104, "text");
static_assert(offsetof(HostEventRecord, isAdmin) == 1168, "isAdmin");
static_assert(sizeof(HostEventRecord) == 1172, "record size");
#endif

}  // namespace sfvcheck
