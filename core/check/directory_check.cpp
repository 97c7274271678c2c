// Runs on the checking thread: lists a directory's SFV lists and runs one
// verification pass for each.
#include "core/check/directory_check.h"

#include <optional>
#include <vector>

#include "core/check/naming.h"
#include "core/check/text.h"

namespace sfvcheck {
namespace {

constexpr char kListPattern[] = "*.sfv";
constexpr char kListSuffix[] = ".sfv";

}  // namespace

void CheckDirectoryLists(const CheckContext& context, const std::string& prefix) {
  std::vector<std::string> names;
  for (std::string& name : context.fs.ListMatches(prefix + kListPattern)) {
    // An 8.3 short name can match "*.sfv" for a longer extension.
    if (EndsWithNoCase(name, kListSuffix)) names.push_back(std::move(name));
  }
  for (const std::string& name : names) VerificationPass(context, prefix, name);
}

int DirectoryCheck(const CheckContext& context, const std::string& path) {
  try {
    std::optional<std::string> prefix = DirectoryPrefix(path);
    if (!prefix) return 0;
    CheckDirectoryLists(context, *prefix);
  } catch (...) {
  }
  return 1;
}

}  // namespace sfvcheck
