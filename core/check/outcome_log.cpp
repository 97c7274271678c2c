#include "core/check/outcome_log.h"

#include <cstdio>
#include <optional>

#include "core/check/naming.h"
#include "core/check/text.h"

namespace sfvcheck {
namespace {

void AppendEscaped(std::string& json, std::string_view utf8) {
  for (char c : utf8) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      json += escape;
    } else {
      json += c;
    }
  }
}

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

const char* ErrorName(PassErrorKind kind) {
  switch (kind) {
    case PassErrorKind::kReadList: return "read-list";
    case PassErrorKind::kCopyAside: return "copy-aside";
    case PassErrorKind::kRemoveAfterCopy: return "remove-after-copy";
    case PassErrorKind::kWriteState: return "write-state";
    case PassErrorKind::kTakeLock: return "take-lock";
  }
  return "unknown";
}

// The line's opening: time, kind, directory and list (null when unknown).
class LineBuilder {
 public:
  LineBuilder(std::uint64_t now, const char* kind, const AnsiToUtf8& toUtf8) : toUtf8_(toUtf8) {
    line_ = "{\"time\":\"" + LogTimeText(now) + "\",\"kind\":\"" + kind + "\"";
  }
  LineBuilder& Text(const char* name, std::string_view ansi) {
    line_ += std::string(",\"") + name + "\":" + LogJsonString(ansi, toUtf8_);
    return *this;
  }
  LineBuilder& Raw(const char* name, const std::string& json) {
    line_ += std::string(",\"") + name + "\":" + json;
    return *this;
  }
  LineBuilder& Number(const char* name, std::uint64_t value) { return Raw(name, std::to_string(value)); }
  std::string End() { return line_ + "}\n"; }

 private:
  const AnsiToUtf8& toUtf8_;
  std::string line_;
};

// A path as the name below the directory when it lies in it.
std::string_view NameIn(std::string_view path, std::string_view prefix) {
  if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) path.remove_prefix(prefix.size());
  return path;
}

}  // namespace

std::string LogJsonString(std::string_view ansi, const AnsiToUtf8& toUtf8) {
  std::string json = "\"";
  std::string utf8;
  if (IsAscii(ansi)) {
    AppendEscaped(json, ansi);
  } else if (toUtf8 && toUtf8(ansi, &utf8)) {
    AppendEscaped(json, utf8);
  } else {
    for (char c : ansi) {
      if (static_cast<unsigned char>(c) < 0x80) {
        AppendEscaped(json, std::string_view(&c, 1));
      } else {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        json += escape;
      }
    }
  }
  return json + "\"";
}

std::string LogTimeText(std::uint64_t ticks) {
  constexpr std::uint64_t kTicksPerDay = kTicksPerSecond * 86400;
  // Days from 1601-01-01 to 0000-03-01 in the proleptic Gregorian calendar,
  // so the year below starts in March and leap days fall at its end.
  constexpr std::int64_t kDaysFromMarch0000 = 584694;
  const std::uint64_t ms = ticks / 10000 % 1000;
  const std::uint64_t secondOfDay = ticks % kTicksPerDay / kTicksPerSecond;
  const std::int64_t days = static_cast<std::int64_t>(ticks / kTicksPerDay) + kDaysFromMarch0000;
  const std::int64_t era = days / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02u:%02u:%02u.%03uZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day),
                static_cast<unsigned>(secondOfDay / 3600), static_cast<unsigned>(secondOfDay / 60 % 60),
                static_cast<unsigned>(secondOfDay % 60), static_cast<unsigned>(ms));
  return text;
}

std::vector<std::string> OutcomeLines(const PassResult& result, std::uint64_t now, const AnsiToUtf8& toUtf8) {
  std::vector<std::string> lines;
  for (const EntryResult& entry : result.entries) {
    if (!entry.movedAside) continue;
    lines.push_back(LineBuilder(now, "bad", toUtf8)
                        .Text("directory", result.prefix)
                        .Text("list", result.listName)
                        .Text("file", NameIn(entry.path, result.prefix))
                        .Number("size", entry.size)
                        .Raw("listed", "\"" + Hex8(entry.listedCrc) + "\"")
                        .Raw("found", "\"" + Hex8(entry.foundCrc) + "\"")
                        .End());
  }
  for (const PassError& error : result.errors) {
    LineBuilder line(now, "error", toUtf8);
    line.Text("directory", result.prefix).Text("list", result.listName);
    line.Raw("error", std::string("\"") + ErrorName(error.kind) + "\"").Number("code", error.code);
    if (error.kind != PassErrorKind::kReadList && error.kind != PassErrorKind::kTakeLock) {
      line.Text("file", NameIn(error.path, result.prefix));
    }
    lines.push_back(line.End());
  }
  if (result.completed) {
    LineBuilder line(now, "complete", toUtf8);
    line.Text("directory", result.prefix).Text("list", result.listName);
    line.Number("files", result.good).Number("bytes", result.totalBytes);
    // A creation time ahead of the clock (copied from another machine) tells nothing.
    if (result.listCreated != 0 && result.listCreated <= now) {
      line.Number("seconds", (now - result.listCreated) / kTicksPerSecond);
    } else {
      line.Raw("seconds", "null");
    }
    lines.push_back(line.End());
  }
  return lines;
}

std::string CheckNotStartedLine(std::string_view path, std::uint32_t code, std::uint64_t now,
                                const AnsiToUtf8& toUtf8) {
  LineBuilder line(now, "error", toUtf8);
  const std::optional<std::string> prefix = DirectoryPrefix(path);
  line.Text("directory", prefix ? *prefix : std::string()).Raw("list", "null");
  line.Raw("error", "\"start-check\"").Number("code", code);
  return line.Text("path", path).End();
}

}  // namespace sfvcheck
