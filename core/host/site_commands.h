// SITE requests handed to the plug-in: the sub-command table, its dispatcher
// and the Help handler.
//
// Threads: every SITE request is answered entirely on the host thread that
// delivers it. Each such thread owns its working copy of the request text,
// its tokenising position and its reply buffer (all thread_local); the table
// and the constant replies are read-only and shared. The name comparison is
// installed once at module start, before any request can arrive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/host/host_record.h"

namespace sfvcheck {

using SiteHandler = void (*)(HostEventRecord* record);

struct SiteCommand {
  const char* name;        // null in the end row
  SiteHandler handler;
  const char* helpText;    // null for none
  std::int32_t adminOnly;  // non-zero: only administrators may use the row
};

// The plug-in's sub-commands, ended by a row with a null name.
extern const SiteCommand kSiteCommandTable[];

inline constexpr std::size_t kSiteWorkingCopySize = 256;
inline constexpr std::size_t kSiteReplyBufferSize = 2048;
inline constexpr std::int16_t kSiteAnswered = 4;

extern const char kSiteNeedsAdminReply[];
extern const char kSiteNotUnderstoodReply[];
extern const char kSiteHelpPrefix[];

// Answers the request in `record` (event 108) from kSiteCommandTable: leaves
// the reply behind record->reply and returns 4, or 0 for an empty table.
std::int16_t DispatchSiteRequest(HostEventRecord* record) noexcept;
// The same against another table (a table under test).
std::int16_t DispatchSiteRequest(HostEventRecord* record, const SiteCommand* table) noexcept;

// For row handlers: the next space-separated token of the request being
// dispatched on this thread, or null when none is left.
const char* TakeNextSiteToken() noexcept;

// The Help row's handler: answers for the sub-command named by the next token.
void SiteHelp(HostEventRecord* record) noexcept;
// The same for the rows of another table.
void AnswerSiteHelp(HostEventRecord* record, const SiteCommand* table) noexcept;

// Case-insensitive name comparison, zero when equal. The Windows layer
// installs the system's; null restores the built-in ASCII comparison.
using SiteNameCompare = int (*)(const char* left, const char* right);
void SetSiteNameCompare(SiteNameCompare compare) noexcept;

}  // namespace sfvcheck
