#include "core/check/text.h"

#include <gtest/gtest.h>

namespace sfvcheck {
namespace {

// A Shift-JIS-like code page: 0x81..0x9F and 0xE0..0xFC lead two-byte characters.
bool ShiftJisLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

class DoubleByteCodePage : public ::testing::Test {
 protected:
  void SetUp() override { SetLeadByteTest(ShiftJisLead); }
  void TearDown() override { SetLeadByteTest(nullptr); }
};

TEST(TextTest, FindsLastCharacterInSingleByteText) {
  EXPECT_EQ(FindLastChar("C:\\up\\x\\a.rar", '\\'), 7u);
  EXPECT_EQ(FindLastChar("a.rar", '\\'), std::string_view::npos);
  EXPECT_EQ(FindLastOf("C:\\up/x\\a", "/\\"), 7u);
  EXPECT_EQ(FindLastChar("", '\\'), std::string_view::npos);
}

TEST_F(DoubleByteCodePage, TrailByteIsNeverASeparator) {
  // "\x95\x5c" is one character whose trail byte equals '\'.
  EXPECT_EQ(FindLastChar("dir\\\x95\x5c.rar", '\\'), 3u);
  EXPECT_EQ(FindLastChar("\x95\x5c", '\\'), std::string_view::npos);
  // A lead byte at the very end stands alone.
  EXPECT_EQ(FindLastChar("a\\\x95", '\\'), 1u);
}

TEST_F(DoubleByteCodePage, SuffixMustStartOnACharacter) {
  EXPECT_TRUE(EndsWithNoCase("x.SFV", ".sfv"));
  // The suffix would begin on the trail byte of a double-byte character.
  EXPECT_FALSE(EndsWithNoCase("\x95\x5csfv", "\\sfv"));
  EXPECT_TRUE(EndsWithNoCase("a\\sfv", "\\SFV"));
}

TEST(TextTest, CaseInsensitiveSuffixes) {
  EXPECT_TRUE(EndsWithNoCase("set.Sfv", ".SFV"));
  EXPECT_TRUE(EndsWithNoCase("anything", ""));
  EXPECT_FALSE(EndsWithNoCase("set.sfvbak", ".sfv"));
  EXPECT_FALSE(EndsWithNoCase("sfv", ".sfv"));
  // Both ends of the alphabet, and the characters beside each case.
  EXPECT_TRUE(EndsWithNoCase("set.za", ".ZA"));
  EXPECT_TRUE(EndsWithNoCase("[AZ]", "[az]"));
  EXPECT_FALSE(EndsWithNoCase("[", "{"));
  EXPECT_FALSE(EndsWithNoCase("@", "`"));
}

}  // namespace
}  // namespace sfvcheck
