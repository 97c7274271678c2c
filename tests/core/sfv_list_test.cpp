#include "core/check/sfv_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/check/text.h"

namespace sfvcheck {
namespace {

struct LineCase {
  const char* line;
  bool accepted;
  const char* name;
  std::uint32_t crc;
};

TEST(SfvLineTest, AcceptsAndRejectsLines) {
  const LineCase cases[] = {
      {"file name with spaces.rar 0a1b2c3d", true, "file name with spaces.rar", 0x0A1B2C3Du},
      {"a.rar FFFFFFFF", true, "a.rar", 0xFFFFFFFFu},
      {"a.rar 00000000", true, "a.rar", 0u},
      // Earlier spaces of a run before the checksum stay in the name.
      {"a.rar  1234ABCD", true, "a.rar ", 0x1234ABCDu},
      {"  a.rar 1234ABCD", true, "  a.rar", 0x1234ABCDu},
      {"a.rar 1234ABCD \r\r  ", true, "a.rar", 0x1234ABCDu},
      {"a.rar 1234ABCD.bak", true, "a.rar", 0x1234ABCDu},
      {"sub\\f.rar 00000001", true, "sub\\f.rar", 1u},
      {"sub/f.rar 00000001", true, "sub/f.rar", 1u},
      // No space, or only a leading one: the name is empty.
      {"1234abcd", true, "", 0x1234ABCDu},
      {" 1234ABCD", true, "", 0x1234ABCDu},
      {"1234ABCD\ta.rar", true, "", 0x1234ABCDu},
      {"a.rar\t1234ABCD", false, "", 0},
      // A tab is no blank: neither before the checksum nor after it.
      {"a.rar \t1234ABCD", false, "", 0},
      {"a.rar 1234ABCD \t", false, "", 0},
      {"1234ABCDE\ta.rar", false, "", 0},
      {"a.rar 123456789", false, "", 0},
      {"a.rar 1234567", false, "", 0},
      {"a.rar 0x12345678", false, "", 0},
      {"a.rar 1234ABCD x", false, "", 0},
      {"a.rar", false, "", 0},
      {"", false, "", 0},
      {"   ", false, "", 0},
      // A comment only when ';' is the very first byte.
      {";a.rar 1234ABCD", false, "", 0},
      {" ;a.rar 1234ABCD", true, " ;a.rar", 0x1234ABCDu},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::string name = "untouched";
    std::uint32_t crc = 0xDEADBEEFu;
    ASSERT_EQ(ParseSfvLine(c.line, &name, &crc), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(name, c.name);
      EXPECT_EQ(crc, c.crc);
    }
  }
}

TEST(SfvLineTest, RejectsNamesThatLeaveTheDirectory) {
  const char* const escaping[] = {
      "..",          "..\\a.rar",    "../a.rar",     "sub\\..\\..\\a.rar", "sub/../../a.rar",
      "sub\\..",     "...\\a.rar",   ".. \\a.rar",   ". .\\a.rar",         " ..\\a.rar",
      "\\a.rar",     "/a.rar",       "\\\\srv\\x",   "C:\\a.rar",          "C:a.rar",
      "a.rar:extra", "sub\\x:y.rar",
  };
  for (const char* name : escaping) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(IsNameInsideDirectory(name));
    std::string parsedName;
    std::uint32_t crc = 0;
    EXPECT_FALSE(ParseSfvLine(std::string(name) + " 1234ABCD", &parsedName, &crc));
  }

  const char* const inside[] = {
      "", "a.rar", ".hidden", "..a.rar", "a..rar", "a.rar..", "sub\\.\\a.rar", "sub\\\\a.rar", ". \\a.rar",
  };
  for (const char* name : inside) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(IsNameInsideDirectory(name));
  }
}

// The file functions take C strings: "a.rar\0.x" would hash a.rar, and its
// marker name "a.rar\0-[BAD].x" would be a.rar again.
TEST(SfvLineTest, RejectsNamesHoldingNul) {
  const std::string names[] = {std::string("a.rar\0.x", 9), std::string("a.rar\0", 6),
                               std::string("\0", 1), std::string("sub\0\\a.rar", 10)};
  for (const std::string& name : names) {
    EXPECT_FALSE(IsNameInsideDirectory(name)) << name.size();
    std::string parsedName;
    std::uint32_t crc = 0;
    EXPECT_FALSE(ParseSfvLine(name + " 1234ABCD", &parsedName, &crc)) << name.size();
  }
}

// A Shift-JIS-like code page: 0x81..0x9F and 0xE0..0xFC lead two-byte characters.
bool ShiftJisLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

class SfvDoubleByteTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLeadByteTest(ShiftJisLead); }
  void TearDown() override { SetLeadByteTest(nullptr); }
};

TEST_F(SfvDoubleByteTest, TrailByteIsNotASeparator) {
  // "\x95\x5c" is one character whose trail byte equals '\'.
  SfvList list;
  SfvParser parser("C:\\up\\\x95\x5c.sfv", list);
  std::string text = "a.rar 1234ABCD\n";
  parser.Feed(text.data(), text.size());
  parser.Finish();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, "C:\\up\\a.rar");

  EXPECT_TRUE(IsNameInsideDirectory("\x95\x5c.."));
  EXPECT_FALSE(IsNameInsideDirectory("\x95\x5c\\..\\a.rar"));
}

std::vector<std::string> Paths(const SfvList& list) {
  std::vector<std::string> paths;
  for (const SfvEntry& entry : list) paths.push_back(entry.path);
  return paths;
}

SfvList ParseWhole(std::string_view sfvPath, std::string_view text) {
  SfvList list;
  SfvParser parser(sfvPath, list);
  parser.Feed(text.data(), text.size());
  parser.Finish();
  return list;
}

TEST(SfvParserTest, BuildsPathsFromTheListsDirectory) {
  SfvList list = ParseWhole("C:\\up\\x\\set.sfv", "a.rar 00000001\r\n12345678\r\nsub\\b.rar 00000002\r\n");
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"C:\\up\\x\\a.rar", "C:\\up\\x\\", "C:\\up\\x\\sub\\b.rar"}));
  EXPECT_EQ(list[0].expectedCrc, 1u);
  EXPECT_EQ(list[1].expectedCrc, 0x12345678u);
  EXPECT_FALSE(list[0].found);
  EXPECT_FALSE(list[0].verified);

  // Without a '\' the whole list path stands for the directory.
  EXPECT_EQ(Paths(ParseWhole("set.sfv", "a.rar 00000001")), (std::vector<std::string>{"set.sfv\\a.rar"}));
}

TEST(SfvParserTest, SplitsLinesAtLfCrLfAndLoneCr) {
  struct SplitCase {
    const char* text;
    std::vector<std::string> names;
  };
  const SplitCase cases[] = {
      {"a 00000001\r\nb 00000002\r\n", {"a", "b"}},
      {"a 00000001\nb 00000002\n", {"a", "b"}},
      {"a 00000001\nb 00000002", {"a", "b"}},
      {"a 00000001\rb 00000002\r", {"a", "b"}},
      {"a 00000001\r\rb 00000002", {"a", "b"}},
      {"a 00000001\r\n\r\n\n\rb 00000002\r\r\n", {"a", "b"}},
      {"a 00000001\n;b 00000002\r;c 00000003\r\nd 00000004", {"a", "d"}},
      {"", {}},
      {"; only a comment\r\n\r\n  \r\n", {}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> expected;
    for (const std::string& name : c.names) expected.push_back("D:\\" + name);
    EXPECT_EQ(Paths(ParseWhole("D:\\set.sfv", c.text)), expected);
  }
}

TEST(SfvParserTest, PiecesOfAnySizeGiveTheSameList) {
  const std::string text =
      "; header\r\nfirst.rar 0A1B2C3D\r\nsecond file.r00  00000001\nmac.r01 FFFFFFFF\r"
      "\r\nbad line\r\n12345678\rlast.r02 7654321f";
  const SfvList whole = ParseWhole("C:\\up\\set.sfv", text);
  ASSERT_EQ(whole.size(), 5u);

  auto same = [&whole](const SfvList& list) {
    if (list.size() != whole.size()) return false;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].path != whole[i].path || list[i].expectedCrc != whole[i].expectedCrc) return false;
    }
    return true;
  };

  SfvList byteWise;
  SfvParser byteParser("C:\\up\\set.sfv", byteWise);
  for (char c : text) byteParser.Feed(&c, 1);
  byteParser.Finish();
  EXPECT_TRUE(same(byteWise));

  // Every cut into two pieces, CR and LF of a pair split apart included.
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    SCOPED_TRACE(cut);
    SfvList list;
    SfvParser parser("C:\\up\\set.sfv", list);
    parser.Feed(text.data(), cut);
    parser.Feed(text.data() + cut, text.size() - cut);
    parser.Finish();
    EXPECT_TRUE(same(list));
  }
}

TEST(SfvParserTest, SkipsAByteOrderMarkAtTheVeryStartOnly) {
  const std::string mark = "\xEF\xBB\xBF";
  struct Case {
    std::string text;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {mark + "a.rar 00000001\r\n" + mark + "b.rar 00000002", {"C:\\a.rar", "C:\\" + mark + "b.rar"}},
      {mark + mark + "a.rar 00000001", {"C:\\" + mark + "a.rar"}},
      // Part of a mark is part of the name.
      {"\xEF\xBB" "a.rar 00000001", {"C:\\\xEF\xBB" "a.rar"}},
      {"\xEF" "a.rar 00000001", {"C:\\\xEF" "a.rar"}},
      {mark + "00000001", {"C:\\"}},
      {"\xEF\xBB", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Paths(ParseWhole("C:\\set.sfv", c.text)), c.paths);
    SfvList byteWise;
    SfvParser parser("C:\\set.sfv", byteWise);
    for (char byte : c.text) parser.Feed(&byte, 1);
    parser.Finish();
    EXPECT_EQ(Paths(byteWise), c.paths);
  }
}

// Serves one list from memory in pieces of a fixed size, optionally failing a
// read once `failAt` bytes have been delivered. Nothing else is supported.
class OneListFileSystem : public FileSystem {
 public:
  std::string content;
  bool opens = true;
  std::size_t piece = 7;
  std::size_t failAt = std::string::npos;
  std::vector<std::string> opened;

  std::unique_ptr<ReadableFile> OpenForCheck(const std::string& path) override {
    opened.push_back(path);
    if (!opens) return nullptr;
    return std::make_unique<File>(*this);
  }
  bool AppendBytes(const std::string&, std::string_view) override { return false; }
  bool CreateEmptyFile(const std::string&) override { return false; }
  bool CopyOver(const std::string&, const std::string&) override { return false; }
  bool RemoveFile(const std::string&) override { return false; }
  bool MakeDirectory(const std::string&) override { return false; }
  bool RemoveEmptyDirectory(const std::string&) override { return false; }
  bool Exists(const std::string&) override { return false; }
  std::vector<std::string> ListMatches(const std::string&) override { return {}; }
  std::string StoredName(std::string_view name) override { return std::string(name); }
  std::string FoldCase(std::string_view text) override { return std::string(text); }

 private:
  class File : public ReadableFile {
   public:
    explicit File(const OneListFileSystem& fs) : fs_(fs) {}
    bool Read(void* buffer, std::size_t size, std::size_t* got) override {
      *got = 0;
      if (position_ >= fs_.failAt) return false;
      std::size_t n = std::min({size, fs_.piece, fs_.content.size() - position_, fs_.failAt - position_});
      fs_.content.copy(static_cast<char*>(buffer), n, position_);
      position_ += n;
      *got = n;
      return true;
    }

   private:
    const OneListFileSystem& fs_;
    std::size_t position_ = 0;
  };
};

TEST(ReadSfvListTest, ReadsTheWholeListInPieces) {
  OneListFileSystem fs;
  const std::string longName(100000, 'n');
  fs.content = "a.rar 00000001\r\n" + longName + " 00000002\r\nb.rar 00000003";
  fs.piece = 5000;
  SfvList list;
  ASSERT_TRUE(ReadSfvList(fs, "C:\\up\\set.sfv", list));
  EXPECT_EQ(fs.opened, (std::vector<std::string>{"C:\\up\\set.sfv"}));
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"C:\\up\\a.rar", "C:\\up\\" + longName, "C:\\up\\b.rar"}));
}

TEST(ReadSfvListTest, FailsWhenTheListCannotBeOpened) {
  OneListFileSystem fs;
  fs.content = "a.rar 00000001\r\n";
  fs.opens = false;
  SfvList list(1);
  EXPECT_FALSE(ReadSfvList(fs, "C:\\up\\set.sfv", list));
  EXPECT_EQ(list.size(), 1u);
}

TEST(ReadSfvListTest, FailsOnAReadErrorPartWay) {
  OneListFileSystem fs;
  fs.content = "a.rar 00000001\r\nb.rar 00000002\r\nc.rar 00000003\r\n";
  fs.failAt = 20;
  SfvList list;
  EXPECT_FALSE(ReadSfvList(fs, "C:\\up\\set.sfv", list));
  // The half-read line is not taken as a line of its own.
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"C:\\up\\a.rar"}));
}

}  // namespace
}  // namespace sfvcheck
