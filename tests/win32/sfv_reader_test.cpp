#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"
#include "core/check/sfv_list.h"
#include "tests/support/temp_directory_win32.h"

namespace sfvcheck {
namespace {

using testing::TempDirectory;
using testing::WriteFileBytes;

std::vector<std::string> Paths(const SfvList& list) {
  std::vector<std::string> paths;
  for (const SfvEntry& entry : list) paths.push_back(entry.path);
  return paths;
}

TEST(SfvReaderTest, ReadsListsWithAnyLineEnd) {
  TempDirectory dir;
  Win32FileSystem fs;
  const char* const texts[] = {
      "; made by hand\r\na.rar 0A1B2C3D\r\nsub\\b.rar 00000002\r\n",
      "; made by hand\na.rar 0A1B2C3D\nsub\\b.rar 00000002\n",
      "; made by hand\r\na.rar 0A1B2C3D\r\nsub\\b.rar 00000002",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    WriteFileBytes(dir / "set.sfv", text);
    SfvList list;
    ASSERT_TRUE(ReadSfvList(fs, dir / "set.sfv", list));
    EXPECT_EQ(Paths(list), (std::vector<std::string>{dir / "a.rar", dir / "sub\\b.rar"}));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].expectedCrc, 0x0A1B2C3Du);
    EXPECT_EQ(list[1].expectedCrc, 2u);
  }
}

TEST(SfvReaderTest, ReadsAListLargerThanOneBuffer) {
  TempDirectory dir;
  std::string text;
  for (unsigned i = 0; i < 20000; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "file%05u.r%02u %08X\r\n", i, i % 100, i * 2654435761u);
    text += line;
  }
  WriteFileBytes(dir / "big.sfv", text);
  Win32FileSystem fs;
  SfvList list;
  ASSERT_TRUE(ReadSfvList(fs, dir / "big.sfv", list));
  ASSERT_EQ(list.size(), 20000u);
  EXPECT_EQ(list[12345].path, dir / "file12345.r45");
  EXPECT_EQ(list[12345].expectedCrc, 12345u * 2654435761u);
}

TEST(SfvReaderTest, AListBeingWrittenCannotBeRead) {
  TempDirectory dir;
  const std::string path = dir / "set.sfv";
  WriteFileBytes(path, "a.rar 0A1B2C3D\r\n");
  Win32FileSystem fs;
  SfvList list;
  {
    OwnedFile writer(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_FALSE(ReadSfvList(fs, path, list));
    EXPECT_TRUE(list.empty());
  }
  EXPECT_TRUE(ReadSfvList(fs, path, list));
  EXPECT_EQ(list.size(), 1u);

  SfvList none;
  EXPECT_FALSE(ReadSfvList(fs, dir / "absent.sfv", none));
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace sfvcheck
