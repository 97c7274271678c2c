// SITE requests through the DLL's exported hook, as the host sends them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"

namespace sfvcheck {
namespace {

class DllSiteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(plugin_.Load()) << plugin_.error();
  }
  static void TearDownTestSuite() {
    plugin_.Unload();
  }

  struct Answer {
    std::int16_t result;
    std::string reply;
  };

  static Answer Send(const std::string& text, const char* incoming = nullptr, std::int32_t isAdmin = 0) {
    HostEventRecord record{};
    record.eventCode = kEventSiteRequest;
    SetRecordText(record, text);
    record.reply = const_cast<char*>(incoming);
    record.isAdmin = isAdmin;
    const std::int16_t result = plugin_.Event(record);
    return {result, record.reply != nullptr ? record.reply : "<null>"};
  }

  static PluginLoader plugin_;
};

PluginLoader DllSiteTest::plugin_;

const std::string kNotUnderstood = "214 'SITE' command not understood.\r\n";

TEST_F(DllSiteTest, HelpInAnyCaseIsAnsweredWithEmptyReply) {
  for (const char* text : {"SFV Help", "SFV HELP", "  sfv   hElP  "}) {
    const Answer answer = Send(text, nullptr, 0);
    EXPECT_EQ(answer.result, 4) << text;
    EXPECT_EQ(answer.reply, "") << text;
  }
}

TEST_F(DllSiteTest, UnknownOrMissingSubCommandIsNotUnderstood) {
  for (const char* text : {"SFV FOO", "SFV", "", "SFV\tHelp"}) {
    const Answer answer = Send(text);
    EXPECT_EQ(answer.result, 4) << text;
    EXPECT_EQ(answer.reply, kNotUnderstood) << text;
  }
}

TEST_F(DllSiteTest, IncomingReplyIsPassedBack) {
  EXPECT_EQ(Send("SFV FOO", "200 earlier").reply, "200 earlier");
  EXPECT_EQ(Send("SFV FOO", "").reply, kNotUnderstood);
}

TEST_F(DllSiteTest, OversizedRequestAndReplyAreCut) {
  const std::string incoming(5000, 'r');
  const Answer answer = Send("SFV " + std::string(996, 'x'), incoming.c_str());
  EXPECT_EQ(answer.result, 4);
  EXPECT_EQ(answer.reply, std::string(2047, 'r'));
}

TEST_F(DllSiteTest, EachThreadKeepsItsReply) {
  HostEventRecord first{};
  first.eventCode = kEventSiteRequest;
  std::strcpy(first.text, "SFV x");
  first.reply = const_cast<char*>("from this thread");
  EXPECT_EQ(plugin_.Event(first), 4);

  std::thread([] { EXPECT_EQ(Send("SFV x", "from another thread").reply, "from another thread"); }).join();
  EXPECT_STREQ(first.reply, "from this thread");
}

TEST_F(DllSiteTest, OtherEventsLeaveReplyAlone) {
  HostEventRecord record{};
  record.eventCode = 109;
  record.reply = const_cast<char*>("untouched");
  EXPECT_EQ(plugin_.Event(record), 0);
  EXPECT_STREQ(record.reply, "untouched");
}

}  // namespace
}  // namespace sfvcheck
