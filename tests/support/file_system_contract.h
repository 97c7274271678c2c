// The FileSystem contract: one set of tests that every implementation must
// pass, so the engine tests that run on the in-memory fake stand on the same
// ground as the Win32 file system. Include this in exactly one file of a test
// program and instantiate it there with a harness factory:
//   INSTANTIATE_TEST_SUITE_P(Memory, FileSystemContractTest, ::testing::Values(&MakeHarness));
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/check/file_system.h"

namespace sfvcheck::testing {

// What the contract needs besides the FileSystem itself: a place to work
// and a side door to set up and inspect files.
class FileSystemHarness {
 public:
  virtual ~FileSystemHarness() = default;
  virtual FileSystem& fs() = 0;
  // An empty directory, its path ending in '\'.
  virtual std::string Root() = 0;
  virtual void PutFile(const std::string& path, std::string_view bytes) = 0;
  virtual void PutDirectory(const std::string& path) = 0;
  // Nothing when there is no file of that name.
  virtual std::optional<std::string> FileBytes(const std::string& path) = 0;
  // Someone else holds the file open for writing, allowing others to read
  // only, until the returned object goes.
  virtual std::shared_ptr<void> HoldOpenForWriting(const std::string& path) = 0;
  // Gives the file an 8.3 short name of the form "RELEAS~1.SFV" where the
  // implementation lets one be chosen; returns the short name it has.
  virtual std::string ShortName(const std::string& path, const std::string& proposed) = 0;
};

using HarnessFactory = std::unique_ptr<FileSystemHarness> (*)();

class FileSystemContractTest : public ::testing::TestWithParam<HarnessFactory> {
 protected:
  void SetUp() override {
    harness_ = GetParam()();
    root_ = harness_->Root();
  }

  FileSystem& fs() { return harness_->fs(); }
  std::string At(const std::string& name) const { return root_ + name; }

  // The whole file through OpenForCheck, or nothing when it does not open
  // or a read fails.
  std::optional<std::string> ReadThrough(const std::string& path) {
    std::unique_ptr<ReadableFile> file = fs().OpenForCheck(path);
    if (!file) return std::nullopt;
    std::string bytes;
    char buffer[7];  // small, so that reads continue where the last one ended
    for (;;) {
      std::size_t got = 0;
      if (!file->Read(buffer, sizeof buffer, &got)) return std::nullopt;
      if (got == 0) return bytes;
      bytes.append(buffer, got);
    }
  }

  std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<FileSystemHarness> harness_;
  std::string root_;
};

TEST_P(FileSystemContractTest, NamesCompareWithoutRegardToCaseAndKeepTheirSpelling) {
  harness_->PutFile(At("Set.SFV"), "list");
  EXPECT_TRUE(fs().Exists(At("set.sfv")));
  EXPECT_EQ(ReadThrough(At("SET.sfv")), "list");
  EXPECT_EQ(fs().ListMatches(At("*.SfV")), std::vector<std::string>{"Set.SFV"});

  // Replacing through another spelling keeps the first one.
  EXPECT_TRUE(fs().CopyOver(At("set.sfv"), At("copy.sfv")));
  EXPECT_TRUE(fs().CreateEmptyFile(At("SET.SFV")));
  EXPECT_EQ(Sorted(fs().ListMatches(At("*"))), (std::vector<std::string>{"Set.SFV", "copy.sfv"}));
  EXPECT_EQ(harness_->FileBytes(At("set.sfv")), "");
  EXPECT_TRUE(fs().RemoveFile(At("COPY.SFV")));
  EXPECT_FALSE(fs().Exists(At("copy.sfv")));
}

TEST_P(FileSystemContractTest, NamesLoseTrailingBlanksAndDotsAndFoldToOneForm) {
  EXPECT_EQ(fs().StoredName("a.rar. ."), "a.rar");
  EXPECT_EQ(fs().StoredName(" a b.rar"), " a b.rar");
  EXPECT_EQ(fs().FoldCase("Set.SFV-[Z]"), fs().FoldCase("sET.sfv-[z]"));
  EXPECT_EQ(fs().FoldCase("Set.SFV").size(), 7u);
  EXPECT_NE(fs().FoldCase("a.rar"), fs().FoldCase("b.rar"));

  // A name made with trailing dots and blanks is stored without them.
  EXPECT_TRUE(fs().AppendBytes(At("meter.txt. "), "x"));
  EXPECT_TRUE(fs().Exists(At("meter.txt")));
  EXPECT_EQ(fs().ListMatches(At("meter*")), std::vector<std::string>{"meter.txt"});
}

TEST_P(FileSystemContractTest, AFileHeldForWritingCanBeNeitherCheckedNorChangedButCopied) {
  harness_->PutFile(At("a.rar"), "upload in progress");
  harness_->PutFile(At("b.rar"), "done");
  {
    std::shared_ptr<void> writer = harness_->HoldOpenForWriting(At("a.rar"));
    EXPECT_TRUE(fs().Exists(At("a.rar")));
    EXPECT_EQ(fs().OpenForCheck(At("a.rar")), nullptr);
    EXPECT_FALSE(fs().AppendBytes(At("a.rar"), "x"));
    EXPECT_FALSE(fs().CopyOver(At("b.rar"), At("a.rar")));
    EXPECT_FALSE(fs().CreateEmptyFile(At("a.rar")));
    EXPECT_FALSE(fs().RemoveFile(At("a.rar")));
    // Copying from it still works: the copy opens its source sharing writes.
    EXPECT_TRUE(fs().CopyOver(At("a.rar"), At("c.rar")));
    EXPECT_EQ(harness_->FileBytes(At("c.rar")), "upload in progress");
  }
  EXPECT_EQ(harness_->FileBytes(At("a.rar")), "upload in progress");
  EXPECT_EQ(ReadThrough(At("a.rar")), "upload in progress");
  EXPECT_TRUE(fs().RemoveFile(At("a.rar")));
}

TEST_P(FileSystemContractTest, PatternsAlsoMatchThroughShortNamesButListLongNames) {
  harness_->PutFile(At("release.sfvbak"), "");
  harness_->PutFile(At("release.sfv"), "");
  const std::string shortName = harness_->ShortName(At("release.sfvbak"), "RELEAS~1.SFV");
  ASSERT_FALSE(shortName.empty());
  ASSERT_EQ(shortName.substr(shortName.size() - 4), ".SFV");
  EXPECT_EQ(Sorted(fs().ListMatches(At("*.sfv"))), (std::vector<std::string>{"release.sfv", "release.sfvbak"}));
}

TEST_P(FileSystemContractTest, ListingGivesPlainNamesOfFilesAndDirectories) {
  harness_->PutFile(At("a.rar"), "1");
  harness_->PutFile(At("ab.rar"), "2");
  harness_->PutDirectory(At("a.dir"));
  harness_->PutFile(At("a.dir\\inner.rar"), "3");
  EXPECT_EQ(Sorted(fs().ListMatches(At("a*"))), (std::vector<std::string>{"a.dir", "a.rar", "ab.rar"}));
  EXPECT_EQ(fs().ListMatches(At("a?rar")), std::vector<std::string>{"a.rar"});
  EXPECT_EQ(fs().ListMatches(At("a.dir\\*")), std::vector<std::string>{"inner.rar"});
  EXPECT_TRUE(fs().ListMatches(At("*.sfv")).empty());
  EXPECT_TRUE(fs().ListMatches(At("missing\\*")).empty());
}

TEST_P(FileSystemContractTest, CopyAndCreateReplaceAppendExtends) {
  harness_->PutFile(At("a.rar"), "new bytes");
  harness_->PutFile(At("b.rar"), "older and longer bytes");
  EXPECT_TRUE(fs().CopyOver(At("a.rar"), At("b.rar")));
  EXPECT_EQ(harness_->FileBytes(At("b.rar")), "new bytes");
  EXPECT_EQ(harness_->FileBytes(At("a.rar")), "new bytes");
  EXPECT_FALSE(fs().CopyOver(At("missing.rar"), At("c.rar")));
  EXPECT_FALSE(fs().Exists(At("c.rar")));

  EXPECT_TRUE(fs().CreateEmptyFile(At("b.rar")));
  EXPECT_EQ(harness_->FileBytes(At("b.rar")), "");

  EXPECT_TRUE(fs().AppendBytes(At("meter.txt"), "ab"));
  EXPECT_TRUE(fs().AppendBytes(At("meter.txt"), "cd"));
  EXPECT_EQ(harness_->FileBytes(At("meter.txt")), "abcd");
  EXPECT_FALSE(fs().AppendBytes(At("missing\\meter.txt"), "ab"));

  // A directory is neither read nor replaced as a file.
  harness_->PutDirectory(At("d.rar"));
  EXPECT_EQ(fs().OpenForCheck(At("d.rar")), nullptr);
  EXPECT_FALSE(fs().CopyOver(At("a.rar"), At("d.rar")));
  EXPECT_FALSE(fs().CreateEmptyFile(At("d.rar")));
}

TEST_P(FileSystemContractTest, MoveReplacesAFileInOneStepButNeverADirectoryOrAFileBeingWritten) {
  harness_->PutFile(At("a.tmp"), "whole copy");
  harness_->PutFile(At("a-[BAD].rar"), "older");
  EXPECT_TRUE(fs().MoveOver(At("a.tmp"), At("a-[BAD].rar")));
  EXPECT_EQ(harness_->FileBytes(At("a-[BAD].rar")), "whole copy");
  EXPECT_FALSE(fs().Exists(At("a.tmp")));
  EXPECT_FALSE(fs().MoveOver(At("a.tmp"), At("b.rar")));

  harness_->PutDirectory(At("d.rar"));
  EXPECT_FALSE(fs().MoveOver(At("a-[BAD].rar"), At("d.rar")));
  EXPECT_FALSE(fs().MoveOver(At("d.rar"), At("e.rar")));
  EXPECT_TRUE(fs().Exists(At("d.rar")));
  EXPECT_EQ(harness_->FileBytes(At("a-[BAD].rar")), "whole copy");

  harness_->PutFile(At("b.tmp"), "copy");
  std::shared_ptr<void> writer = harness_->HoldOpenForWriting(At("a-[BAD].rar"));
  EXPECT_FALSE(fs().MoveOver(At("b.tmp"), At("a-[BAD].rar")));
  EXPECT_EQ(harness_->FileBytes(At("b.tmp")), "copy");
}

TEST_P(FileSystemContractTest, RemovingTakesOnlyWhatItNames) {
  harness_->PutFile(At("a.rar"), "1");
  harness_->PutDirectory(At("full"));
  harness_->PutFile(At("full\\x"), "2");
  EXPECT_TRUE(fs().MakeDirectory(At("empty")));
  EXPECT_FALSE(fs().MakeDirectory(At("empty")));
  EXPECT_FALSE(fs().MakeDirectory(At("missing\\inner")));

  EXPECT_FALSE(fs().RemoveEmptyDirectory(At("full")));
  EXPECT_FALSE(fs().RemoveEmptyDirectory(At("a.rar")));
  EXPECT_FALSE(fs().RemoveFile(At("empty")));
  EXPECT_FALSE(fs().RemoveFile(At("missing.rar")));
  EXPECT_TRUE(fs().RemoveEmptyDirectory(At("EMPTY")));
  EXPECT_FALSE(fs().Exists(At("empty")));
  EXPECT_TRUE(fs().Exists(At("full\\x")));
  EXPECT_TRUE(fs().Exists(At("a.rar")));
}

}  // namespace sfvcheck::testing
