#include "tools/ftp_host/client_path.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace ftphost {

namespace {

bool IsDeviceName(const std::string& name) {
  // Windows opens the device for these names, whatever the folder and
  // whatever follows after a dot ("nul.txt" is NUL too).
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '0' && base[3] <= '9';
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
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
