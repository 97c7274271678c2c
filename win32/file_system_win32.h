// The FileSystem seam over the Win32 file API (ANSI forms).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/check/file_system.h"

namespace sfvcheck {

// Whether Windows takes the plain name `name` (ANSI) for a device in any
// directory: CON, PRN, AUX, NUL, CONIN$, CONOUT$, CLOCK$, COM0 to COM9 and
// LPT0 to LPT9 (the superscripts ¹ ² ³ as digits too), in any case, alone or
// before an extension or blanks. The file system opens no such name.
bool IsDeviceName(std::string_view name);

class Win32FileSystem : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForCheck(const std::string& path) override;
  bool CanOpenForCheck(const std::string& path) override;
  bool AppendBytes(const std::string& path, std::string_view bytes) override;
  bool CreateEmptyFile(const std::string& path) override;
  bool CopyOver(const std::string& from, const std::string& to) override;
  bool MoveOver(const std::string& from, const std::string& to) override;
  bool RemoveFile(const std::string& path) override;
  bool MakeDirectory(const std::string& path) override;
  bool RemoveEmptyDirectory(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool ListMatchesToEnd(const std::string& pattern, std::vector<std::string>* names) override;
  bool ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) override;
  bool Details(const std::string& path, FileDetails* details) override;
  std::unique_ptr<Helper> StartHelper() override;
  std::uint32_t LastError() override;
  std::string StoredName(std::string_view name) override;
  std::string FoldCase(std::string_view text) override;
};

}  // namespace sfvcheck
