#include "core/check/naming.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "core/check/text.h"

namespace sfvcheck {
namespace {

TEST(NamingTest, DirectoryPrefix) {
  struct Case {
    const char* path;
    const char* prefix;
  };
  const Case cases[] = {
      {"C:\\up\\x\\a.rar", "C:\\up\\x\\"},
      {"C:\\up/x\\a.rar", "C:\\up\\"},  // the last '/' wins even before a '\'
      {"C:/up/x/a.rar", "C:/up/x\\"},
      {"\\a.rar", "\\"},
      {"C:\\up\\", "C:\\up\\"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(DirectoryPrefix(c.path).has_value()) << c.path;
    EXPECT_EQ(*DirectoryPrefix(c.path), c.prefix) << c.path;
  }
  EXPECT_FALSE(DirectoryPrefix("a.rar").has_value());
  EXPECT_FALSE(DirectoryPrefix("").has_value());
}

TEST(NamingTest, DirectoryPrefixSkipsTrailBytesOfDoubleByteCharacters) {
  SetLeadByteTest([](unsigned char b) { return b >= 0x81 && b <= 0x9F; });
  // "\x95\x5c" is one character; its trail byte is not a separator.
  EXPECT_EQ(*DirectoryPrefix("C:\\up\\\x95\x5c.rar"), "C:\\up\\");
  SetLeadByteTest(nullptr);
}

TEST(NamingTest, MarkerNamesTagTheFileNameOnly) {
  struct Case {
    const char* path;
    const char* missing;
    const char* bad;
  };
  const Case cases[] = {
      {"C:\\up\\x\\track.mp3", "C:\\up\\x\\track-[MISSING].mp3", "C:\\up\\x\\track-[BAD].mp3"},
      {"C:\\up\\a.b.rar", "C:\\up\\a.b-[MISSING].rar", "C:\\up\\a.b-[BAD].rar"},
      {"C:\\up\\readme", "C:\\up\\readme-[MISSING]", "C:\\up\\readme-[BAD]"},
      // A '.' only in a directory name leaves that directory alone.
      {"C:\\up\\My.Set\\readme", "C:\\up\\My.Set\\readme-[MISSING]", "C:\\up\\My.Set\\readme-[BAD]"},
      {"C:\\up\\My.Set/readme", "C:\\up\\My.Set/readme-[MISSING]", "C:\\up\\My.Set/readme-[BAD]"},
      {"C:\\up\\.hidden", "C:\\up\\-[MISSING].hidden", "C:\\up\\-[BAD].hidden"},
      {"C:\\up\\", "C:\\up\\-[MISSING]", "C:\\up\\-[BAD]"},
      {"name.txt", "name-[MISSING].txt", "name-[BAD].txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MissingMarkerName(c.path), c.missing) << c.path;
    EXPECT_EQ(BadMarkerName(c.path), c.bad) << c.path;
  }
}

TEST(NamingTest, StateFileName) {
  EXPECT_EQ(StateFileName("C:\\up\\", "set.sfv"), "C:\\up\\.qdrl.set.sfv.state");
}

TEST(NamingTest, PercentageRoundsHalvesUp) {
  struct Case {
    std::size_t good, total;
    int percent;
  };
  const Case cases[] = {
      {0, 0, 0}, {0, 5, 0},   {1, 3, 33},  {2, 3, 67}, {1, 8, 13},
      {1, 2, 50}, {3, 3, 100}, {1, 200, 1}, {1, 201, 0},
      // Rounding never reaches 100 while an entry is still missing.
      {199, 200, 99}, {999, 1000, 99},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompletePercentage(c.good, c.total), c.percent) << c.good << "/" << c.total;
  }
}

TEST(NamingTest, PercentageOfHugeCountsDoesNotOverflow) {
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(CompletePercentage(huge / 2, huge), 50);
  EXPECT_EQ(CompletePercentage(huge / 3, huge), 33);
  EXPECT_EQ(CompletePercentage(huge / 3 * 2 + 1, huge), 67);
  EXPECT_EQ(CompletePercentage(huge - 1, huge), 99);
  EXPECT_EQ(CompletePercentage(huge, huge), 100);
  EXPECT_EQ(CompletePercentage(1, huge), 0);
  // Just past the point where 100 * good no longer fits in 32 bits.
  const std::size_t big = std::size_t{1} << 30;
  EXPECT_EQ(CompletePercentage(big / 8, big), 13);
}

TEST(NamingTest, MeterFolderNames) {
  RunSettings bar;
  RunSettings plain;
  plain.meterFlag = 0;
  RunSettings emptyTrails;
  emptyTrails.startTrail = "";
  emptyTrails.endTrail = "";
  struct Case {
    int percent;
    const RunSettings* settings;
    const char* name;
  };
  const Case cases[] = {
      {65, &bar, "--==[#############-------]==--  65% complete"},
      {67, &bar, "--==[#############-------]==--  67% complete"},
      {0, &bar, "--==[--------------------]==--  0% complete"},
      {4, &bar, "--==[--------------------]==--  4% complete"},
      {100, &bar, "--==[####################]==--  100% complete"},
      {65, &plain, "--==[ 65% complete ]==-- "},
      {100, &plain, "--==[ 100% complete ]==-- "},
      {50, &emptyTrails, "##########---------- 50% complete"},
  };
  for (const Case& c : cases) EXPECT_EQ(MeterFolderName(c.percent, *c.settings), c.name);
}

TEST(NamingTest, PreviewFolderName) {
  RunSettings settings;
  settings.startTrail = "<";
  settings.endTrail = ">";
  EXPECT_EQ(PreviewFolderName(settings), "<#############------> 100% complete");
  settings.meterFlag = 0;
  EXPECT_EQ(PreviewFolderName(settings), "< 100% complete >");
}

}  // namespace
}  // namespace sfvcheck
