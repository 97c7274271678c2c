#include "core/host/site_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace sfvcheck {
namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardSize = 64;

// A record inside guard bytes, so that a write past either end shows.
class GuardedRecord {
 public:
  GuardedRecord() : storage_(kGuardSize + sizeof(HostEventRecord) + kGuardSize, kGuard) {
    record_ = new (storage_.data() + kGuardSize) HostEventRecord();
  }
  HostEventRecord& record() { return *record_; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuardSize; ++i) {
      if (storage_[i] != kGuard || storage_[storage_.size() - 1 - i] != kGuard) return false;
    }
    return true;
  }

 private:
  std::vector<unsigned char> storage_;
  HostEventRecord* record_;
};

struct Request {
  std::int16_t result;
  std::string reply;
};

Request Send(HostEventRecord& record, const std::string& text, const char* incomingReply = nullptr,
             std::int32_t isAdmin = 0) {
  std::memset(record.text, 0, sizeof record.text);
  std::memcpy(record.text, text.data(), std::min(text.size(), sizeof record.text - 1));
  record.reply = const_cast<char*>(incomingReply);
  record.isAdmin = isAdmin;
  const std::int16_t result = DispatchSiteRequest(&record);
  return {result, record.reply != nullptr ? record.reply : "<null>"};
}

Request Send(const std::string& text, const char* incomingReply = nullptr, std::int32_t isAdmin = 0) {
  GuardedRecord guarded;
  Request answer = Send(guarded.record(), text, incomingReply, isAdmin);
  EXPECT_TRUE(guarded.GuardsIntact());
  return answer;
}

const std::string kNotUnderstood = "214 'SITE' command not understood.\r\n";

TEST(SiteHelpTest, HelpInAnyCaseMatchesAndLeavesReplyEmpty) {
  for (const char* help : {"Help", "HELP", "help", "hElP"}) {
    const Request answer = Send(std::string("SFV ") + help);
    EXPECT_EQ(answer.result, 4) << help;
    EXPECT_EQ(answer.reply, "") << help;
  }
  // The Help row is not administrator-only.
  EXPECT_EQ(Send("SFV help", nullptr, 0).reply, "");
  EXPECT_EQ(Send("SFV help", nullptr, 1).reply, "");
  // A matching row without help text leaves an incoming reply as it was.
  EXPECT_EQ(Send("SFV help", "200 earlier").reply, "200 earlier");
}

TEST(SiteHelpTest, MissingOrUnknownSubCommandIsNotUnderstood) {
  for (const char* text : {"SFV FOO", "SFV Helpx", "SFV", "", "   ", "SFV\tHelp", "\tHelp"}) {
    const Request answer = Send(text);
    EXPECT_EQ(answer.result, 4) << text;
    EXPECT_EQ(answer.reply, kNotUnderstood) << text;
  }
  // The first token is never compared: "Help" alone is still one token only.
  EXPECT_EQ(Send("Help").reply, kNotUnderstood);
  // An incoming empty reply counts as none.
  EXPECT_EQ(Send("SFV FOO", "").reply, kNotUnderstood);
}

TEST(SiteHelpTest, OnlySpacesSeparateTokens) {
  EXPECT_EQ(Send("   SFV    Help   ").reply, "");
  EXPECT_EQ(Send("SFV Help extra words").reply, "");
  // A tab inside the second token keeps it from matching.
  EXPECT_EQ(Send("SFV Help\t").reply, kNotUnderstood);
}

TEST(SiteHelpTest, IncomingReplyIsPassedBackForUnknownSubCommand) {
  const char incoming[] = "200-host said this\r\n";
  GuardedRecord guarded;
  const Request answer = Send(guarded.record(), "SFV nothing", incoming);
  EXPECT_EQ(answer.result, 4);
  EXPECT_EQ(answer.reply, incoming);
  // Passed back as a copy in the plug-in's buffer, not the host's pointer.
  EXPECT_NE(guarded.record().reply, incoming);
}

TEST(SiteHelpTest, ReplyStaysValidUntilThisThreadsNextRequest) {
  GuardedRecord first;
  Send(first.record(), "SFV x", "first reply");
  const char* const kept = first.record().reply;
  // A request on another thread leaves this thread's reply alone; the next
  // request on this thread reuses the buffer.
  std::string seenOnOtherThread;
  std::thread([&] {
    GuardedRecord other;
    seenOnOtherThread = Send(other.record(), "SFV y", "other reply").reply;
  }).join();
  EXPECT_EQ(seenOnOtherThread, "other reply");
  EXPECT_STREQ(kept, "first reply");

  GuardedRecord second;
  Send(second.record(), "SFV x", "second reply");
  EXPECT_EQ(second.record().reply, kept);
  EXPECT_STREQ(kept, "second reply");
}

TEST(SiteHelpTest, HostMayHandBackThePreviousReply) {
  GuardedRecord guarded;
  HostEventRecord& record = guarded.record();
  Send(record, "SFV x", "kept across requests");
  // The record still points at the plug-in's own buffer.
  record.isAdmin = 0;
  EXPECT_EQ(DispatchSiteRequest(&record), 4);
  EXPECT_STREQ(record.reply, "kept across requests");
  EXPECT_TRUE(guarded.GuardsIntact());
}

TEST(SiteHelpTest, OversizedTextAndReplyAreCutToFit) {
  // Request text of 1000 characters: only the first 255 are read.
  const std::string longText = "SFV " + std::string(996, 'h');
  EXPECT_EQ(Send(longText).reply, kNotUnderstood);
  // Exactly where the cut falls: "Help" must end at the 255th character.
  EXPECT_EQ(Send(std::string(250, 'x') + " Help").reply, "");
  EXPECT_EQ(Send(std::string(251, 'x') + " Help").reply, kNotUnderstood);

  // Incoming reply of 5000 characters in a heap block of exactly that size,
  // so the sanitizer catches a read past it.
  std::unique_ptr<char[]> incoming(new char[5001]);
  std::memset(incoming.get(), 'r', 5000);
  incoming[5000] = '\0';
  const Request answer = Send("SFV nothing", incoming.get());
  EXPECT_EQ(answer.result, 4);
  EXPECT_EQ(answer.reply, std::string(kSiteReplyBufferSize - 1, 'r'));
}

TEST(SiteHelpTest, TextWithoutTerminatorIsReadOnlyWithinItsArea) {
  std::unique_ptr<HostEventRecord> record(new HostEventRecord());
  std::memset(record->text, 'x', sizeof record->text);
  record->reply = nullptr;
  record->isAdmin = -1;
  EXPECT_EQ(DispatchSiteRequest(record.get()), 4);
  EXPECT_EQ(std::string(record->reply), kNotUnderstood);
}

// A table under test, to reach the rows the shipped table does not have.
std::atomic<int> handlerCalls{0};
void CountingHandler(HostEventRecord*) { ++handlerCalls; }
void HelpOverTestTable(HostEventRecord* record);
const std::string kLongHelp(3000, 'd');
const SiteCommand kTestTable[] = {
    {"Guarded", &CountingHandler, "guarded help", 1},
    {"Manual", &HelpOverTestTable, "Shows the manual.", 0},
    {"Long", &HelpOverTestTable, kLongHelp.c_str(), 0},
    {nullptr, nullptr, nullptr, 0},
};
void HelpOverTestTable(HostEventRecord* record) { AnswerSiteHelp(record, kTestTable); }

TEST(SiteDispatchTest, AdministratorOnlyRowNeedsAdministrator) {
  GuardedRecord guarded;
  HostEventRecord& record = guarded.record();
  std::strcpy(record.text, "SFV Manual");
  record.reply = nullptr;
  record.isAdmin = 0;
  handlerCalls = 0;
  EXPECT_EQ(DispatchSiteRequest(&record, kTestTable), 4);
  EXPECT_STREQ(record.reply, "214 'SITE' command requires administrator privileges.");
  EXPECT_EQ(handlerCalls, 0);

  record.reply = nullptr;
  record.isAdmin = 7;
  EXPECT_EQ(DispatchSiteRequest(&record, kTestTable), 4);
  EXPECT_EQ(handlerCalls, 1);
  EXPECT_STREQ(record.reply, "");
}

TEST(SiteDispatchTest, EmptyTableAnswersNothing) {
  const SiteCommand empty[] = {{nullptr, nullptr, nullptr, 0}};
  GuardedRecord guarded;
  HostEventRecord& record = guarded.record();
  std::strcpy(record.text, "SFV Help");
  record.reply = const_cast<char*>("incoming");
  EXPECT_EQ(DispatchSiteRequest(&record, empty), 0);
  EXPECT_STREQ(record.reply, "incoming");
}

TEST(SiteDispatchTest, HelpTextReplacesReplyAndIsCutToFit) {
  const SiteCommand helpFirst[] = {{"Manual", &HelpOverTestTable, nullptr, 0}, {nullptr, nullptr, nullptr, 0}};
  GuardedRecord guarded;
  HostEventRecord& record = guarded.record();
  std::strcpy(record.text, "SFV manual");
  record.reply = const_cast<char*>("incoming");
  EXPECT_EQ(DispatchSiteRequest(&record, helpFirst), 4);
  EXPECT_STREQ(record.reply, "214 Shows the manual.");

  std::strcpy(record.text, "SFV LONG");
  EXPECT_EQ(DispatchSiteRequest(&record, helpFirst), 4);
  EXPECT_EQ(std::string(record.reply), "214 " + std::string(kSiteReplyBufferSize - 5, 'd'));
  EXPECT_TRUE(guarded.GuardsIntact());
}

// Both threads hold a request half-tokenised at the same moment.
TEST(SiteDispatchTest, ThreadsKeepTheirOwnTokensAndReplies) {
  struct Seen {
    std::string second, third, reply;
  };
  static std::atomic<int> arrived{0};
  static thread_local Seen* seen = nullptr;
  arrived = 0;
  const SiteCommand table[] = {
      {"Any",
       [](HostEventRecord*) {
         seen->second = TakeNextSiteToken();
         ++arrived;
         while (arrived.load() < 2) std::this_thread::yield();
         seen->third = TakeNextSiteToken();
       },
       nullptr, 0},
      {nullptr, nullptr, nullptr, 0},
  };
  Seen results[2];
  auto run = [&](int index, const char* text, const char* incoming) {
    seen = &results[index];
    GuardedRecord guarded;
    HostEventRecord& record = guarded.record();
    std::strcpy(record.text, text);
    record.reply = const_cast<char*>(incoming);
    DispatchSiteRequest(&record, table);
    // Wait until the other thread is done too before reading the reply.
    ++arrived;
    while (arrived.load() < 4) std::this_thread::yield();
    results[index].reply = record.reply;
  };
  std::thread a(run, 0, "A a2 a3", "reply A");
  std::thread b(run, 1, "B   b2 b3", "reply B");
  a.join();
  b.join();
  EXPECT_EQ(results[0].second, "a2");
  EXPECT_EQ(results[0].third, "a3");
  EXPECT_EQ(results[0].reply, "reply A");
  EXPECT_EQ(results[1].second, "b2");
  EXPECT_EQ(results[1].third, "b3");
  EXPECT_EQ(results[1].reply, "reply B");
}

TEST(SiteDispatchTest, InstalledComparisonDecidesTheMatch) {
  SetSiteNameCompare([](const char* left, const char* right) { return std::strcmp(left, right); });
  EXPECT_EQ(Send("SFV Help").reply, "");
  EXPECT_EQ(Send("SFV help").reply, kNotUnderstood);
  SetSiteNameCompare(nullptr);
  EXPECT_EQ(Send("SFV help").reply, "");
}

}  // namespace
}  // namespace sfvcheck
