// Runs on the checking thread: lists a directory's SFV lists and runs one
// verification pass for each.
#include "core/check/directory_check.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "core/check/naming.h"
#include "core/check/text.h"

namespace sfvcheck {
namespace {

constexpr char kListPattern[] = "*.sfv";
constexpr char kListSuffix[] = ".sfv";

// The "*.sfv" names in the directory, in enumeration order, and the stamp
// of when the enumeration started. An enumeration that another event's check
// started after this event was received serves this one too.
std::vector<std::string> ListNames(const CheckContext& context, const std::string& prefix,
                                   std::uint64_t* listedAt) {
  PassLedger* ledger = SharedLedger(context, prefix);
  std::vector<std::string> names;
  if (ledger != nullptr && ledger->ListsSeen(*context.ticket, &names, listedAt)) return names;

  *listedAt = ledger != nullptr ? ledger->StampNow() : 0;
  std::vector<std::string> matches;
  bool toEnd = false;
  try {
    toEnd = context.fs.ListMatchesToEnd(prefix + kListPattern, &matches);
    for (std::string& name : matches) {
      // An 8.3 short name can match "*.sfv" for a longer extension.
      if (EndsWithNoCase(name, kListSuffix)) names.push_back(std::move(name));
    }
  } catch (...) {
    // Earlier checks waiting to hand off must learn that this one failed.
    if (ledger != nullptr) ledger->ListsEnumerated(*context.ticket, *listedAt, names, false);
    throw;
  }
  // Only an enumeration that ran to its end may stand for another event's.
  if (ledger != nullptr) ledger->ListsEnumerated(*context.ticket, *listedAt, names, toEnd);
  return names;
}

}  // namespace

int DirectoryCheck(const CheckContext& context, const std::string& path) {
  try {
    std::optional<std::string> prefix = DirectoryPrefix(path);
    if (!prefix) return 0;
    PassLedger* ledger = SharedLedger(context, *prefix);
    if (ledger != nullptr && ledger->HandOff(*context.ticket)) return 1;
    // Events that joined this check after its lists were enumerated may have
    // brought a list: it enumerates again (lists already passed are covered).
    std::uint64_t listedAt = 0;
    do {
      for (const std::string& name : ListNames(context, *prefix, &listedAt)) {
        VerificationPass(context, *prefix, name);
      }
    } while (ledger != nullptr && ledger->EventJoinedSince(*context.ticket, listedAt));
  } catch (...) {
  }
  return 1;
}

}  // namespace sfvcheck
