// SITE requests with arbitrary texts and incoming replies. Input: one control
// byte (bit 0: administrator, bit 1: no incoming reply), then the request
// text up to the first LF, then the incoming reply. Texts of 1064 bytes or
// more fill the text area without a terminator.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "core/host/site_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sfvcheck;
  if (size == 0) return 0;
  const unsigned control = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t split = rest.find('\n');
  const std::string_view text = rest.substr(0, split);
  const std::string_view incoming = split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);

  // Exactly sized heap blocks, so that a read past either shows.
  std::unique_ptr<HostEventRecord> record(new HostEventRecord());
  text.copy(record->text, kRecordTextSize);
  std::unique_ptr<char[]> reply(new char[incoming.size() + 1]);
  incoming.copy(reply.get(), incoming.size());
  reply[incoming.size()] = '\0';
  record->reply = (control & 2) != 0 ? nullptr : reply.get();
  record->isAdmin = static_cast<std::int32_t>(control & 1);

  FUZZ_CHECK(DispatchSiteRequest(record.get()) == kSiteAnswered);
  FUZZ_CHECK(record->reply != nullptr);
  const std::string answer = record->reply;
  FUZZ_CHECK(answer.size() < kSiteReplyBufferSize);

  // The Help row has no help text: the answer is the incoming reply, cut to
  // fit, or the not-understood text when that is empty.
  std::string expected = (control & 2) != 0 ? std::string() : std::string(reply.get());
  if (expected.size() > kSiteReplyBufferSize - 1) expected.resize(kSiteReplyBufferSize - 1);
  if (answer != expected) FUZZ_CHECK(record->reply == kSiteNotUnderstoodReply);
  if (record->reply == kSiteNotUnderstoodReply) FUZZ_CHECK(expected.empty());
  return 0;
}
