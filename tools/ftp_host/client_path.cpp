#include "tools/ftp_host/client_path.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "win32/file_system_win32.h"

namespace ftphost {

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  // The same device test as the plug-in's file system.
  return !sfvcheck::IsDeviceName(name);
}

bool ResolveClientPath(const std::string& currentDir, const std::string& argument, std::string& resolved) {
  std::vector<std::string> parts;
  const std::string joined = (!argument.empty() && argument[0] == '/') ? argument : currentDir + "/" + argument;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    const std::string part = joined.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    if (!IsPlainFileName(part)) return false;
    parts.push_back(part);
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  resolved = result.empty() ? "/" : result;
  return true;
}

std::string WindowsPathOf(const std::string& root, const std::string& resolved) {
  std::string path = root;
  if (resolved == "/") return path;
  for (char c : resolved) path += (c == '/') ? '\\' : c;
  return path;
}

}  // namespace ftphost
