// The in-memory fake against the FileSystem contract.
#include "tools/support/memory_file_system.h"

#include "tests/support/file_system_contract.h"

namespace sfvcheck::testing {
namespace {

class MemoryHarness : public FileSystemHarness {
 public:
  MemoryHarness() { fs_.AddDirectory("C:\\up"); }
  FileSystem& fs() override { return fs_; }
  std::string Root() override { return "C:\\up\\"; }
  void PutFile(const std::string& path, std::string_view bytes) override { fs_.AddFile(path, bytes); }
  void PutDirectory(const std::string& path) override { fs_.AddDirectory(path); }
  std::optional<std::string> FileBytes(const std::string& path) override { return fs_.FileBytes(path); }
  std::shared_ptr<void> HoldOpenForWriting(const std::string& path) override {
    fs_.HoldOpenForWriting(path);
    return std::shared_ptr<void>(nullptr, [this, path](void*) { fs_.HoldOpenForWriting(path, false); });
  }
  std::string ShortName(const std::string& path, const std::string& proposed) override {
    fs_.SetShortName(path, proposed);
    return proposed;
  }

 private:
  MemoryFileSystem fs_;
};

std::unique_ptr<FileSystemHarness> MakeMemoryHarness() { return std::make_unique<MemoryHarness>(); }

INSTANTIATE_TEST_SUITE_P(Memory, FileSystemContractTest, ::testing::Values(&MakeMemoryHarness));

}  // namespace
}  // namespace sfvcheck::testing
