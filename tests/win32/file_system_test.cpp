// The Win32 file system against the FileSystem contract, in a fresh
// directory under the Windows temporary folder.
#include "win32/file_system_win32.h"

#include <windows.h>

#include "tests/support/file_system_contract.h"
#include "tests/support/temp_directory_win32.h"
#include "win32/owned_handle_win32.h"

namespace sfvcheck::testing {
namespace {

class Win32Harness : public FileSystemHarness {
 public:
  FileSystem& fs() override { return fs_; }
  std::string Root() override { return dir_.path(); }
  void PutFile(const std::string& path, std::string_view bytes) override { WriteFileBytes(path, bytes); }
  void PutDirectory(const std::string& path) override {
    EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
  }
  std::optional<std::string> FileBytes(const std::string& path) override {
    if (!FileExists(path)) return std::nullopt;
    return ReadFileBytes(path);
  }
  // As an uploading server holds it: writing, others may only read.
  std::shared_ptr<void> HoldOpenForWriting(const std::string& path) override {
    auto writer = std::make_shared<OwnedFile>(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(*writer) << "cannot hold " << path;
    return writer;
  }
  // The system chooses the short name; the proposal is not used.
  std::string ShortName(const std::string& path, const std::string&) override {
    char shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    const std::string full(shortPath, length);
    return full.substr(full.find_last_of('\\') + 1);
  }

 private:
  TempDirectory dir_;
  Win32FileSystem fs_;
};

std::unique_ptr<FileSystemHarness> MakeWin32Harness() { return std::make_unique<Win32Harness>(); }

INSTANTIATE_TEST_SUITE_P(Win32, FileSystemContractTest, ::testing::Values(&MakeWin32Harness));

}  // namespace
}  // namespace sfvcheck::testing
