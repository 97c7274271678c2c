#include "core/host/site_commands.h"

#include <atomic>
#include <cstring>

namespace sfvcheck {

const char kSiteNeedsAdminReply[] = "214 'SITE' command requires administrator privileges.";
const char kSiteNotUnderstoodReply[] = "214 'SITE' command not understood.\r\n";
const char kSiteHelpPrefix[] = "214 ";

const SiteCommand kSiteCommandTable[] = {
    {"Help", &SiteHelp, nullptr, 0},
    {nullptr, nullptr, nullptr, 0},
};

namespace {

// Per thread, so that requests on several host threads neither split each
// other's text nor overwrite a reply the host has not read yet. The reply
// buffer stays valid after the call until this thread's next request.
thread_local char workingCopy[kSiteWorkingCopySize];
thread_local char* tokenPosition = nullptr;
thread_local char replyBuffer[kSiteReplyBufferSize];

int AsciiCompareNoCase(const char* left, const char* right) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  for (;; ++left, ++right) {
    const int difference = lower(static_cast<unsigned char>(*left)) - lower(static_cast<unsigned char>(*right));
    if (difference != 0 || *left == '\0') return difference;
  }
}

std::atomic<SiteNameCompare> nameCompare{&AsciiCompareNoCase};

// Copies at most capacity - 1 characters of `source` and always terminates;
// memmove because the host may hand back a reply that already lies in the
// destination.
void CopyTruncated(char* destination, std::size_t capacity, const char* source) {
  const std::size_t length = strnlen(source, capacity - 1);
  std::memmove(destination, source, length);
  destination[length] = '\0';
}

}  // namespace

const char* TakeNextSiteToken() noexcept {
  char* position = tokenPosition;
  if (position == nullptr) return nullptr;
  while (*position == ' ') ++position;
  if (*position == '\0') {
    tokenPosition = nullptr;
    return nullptr;
  }
  char* const token = position;
  while (*position != ' ' && *position != '\0') ++position;
  if (*position == ' ') *position++ = '\0';
  tokenPosition = position;
  return token;
}

std::int16_t DispatchSiteRequest(HostEventRecord* record) noexcept {
  return DispatchSiteRequest(record, kSiteCommandTable);
}

std::int16_t DispatchSiteRequest(HostEventRecord* record, const SiteCommand* table) noexcept {
  // The text is read no further than the working copy holds, so a text that
  // is too long, or not terminated in its area, is cut rather than overrun.
  CopyTruncated(workingCopy, sizeof workingCopy, record->text);
  tokenPosition = workingCopy;
  TakeNextSiteToken();  // the first token only moves the position on

  if (record->reply != nullptr) {
    CopyTruncated(replyBuffer, sizeof replyBuffer, record->reply);
  } else {
    replyBuffer[0] = '\0';
  }
  record->reply = replyBuffer;

  if (table[0].name == nullptr) return 0;
  // Every request goes to the first row, whatever its first token.
  const SiteCommand& row = table[0];
  if (row.adminOnly != 0 && record->isAdmin == 0) {
    record->reply = const_cast<char*>(kSiteNeedsAdminReply);
    return kSiteAnswered;
  }
  if (row.handler != nullptr) row.handler(record);
  return kSiteAnswered;
}

void SiteHelp(HostEventRecord* record) noexcept { AnswerSiteHelp(record, kSiteCommandTable); }

void AnswerSiteHelp(HostEventRecord* record, const SiteCommand* table) noexcept {
  const char* const subCommand = TakeNextSiteToken();
  const SiteCommand* match = nullptr;
  if (subCommand != nullptr) {
    const SiteNameCompare compare = nameCompare.load(std::memory_order_acquire);
    for (const SiteCommand* row = table; row->name != nullptr; ++row) {
      if (compare(subCommand, row->name) == 0) {
        match = row;
        break;
      }
    }
  }
  if (match != nullptr) {
    if (match->helpText != nullptr) {
      const std::size_t prefixLength = sizeof kSiteHelpPrefix - 1;
      std::memcpy(replyBuffer, kSiteHelpPrefix, prefixLength);
      CopyTruncated(replyBuffer + prefixLength, sizeof replyBuffer - prefixLength, match->helpText);
      record->reply = replyBuffer;
    }
    return;
  }
  if (record->reply == nullptr || record->reply[0] == '\0') {
    record->reply = const_cast<char*>(kSiteNotUnderstoodReply);
  }
}

void SetSiteNameCompare(SiteNameCompare compare) noexcept {
  nameCompare.store(compare != nullptr ? compare : &AsciiCompareNoCase, std::memory_order_release);
}

}  // namespace sfvcheck
