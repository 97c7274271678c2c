#include "core/check/sfv_list.h"

#include <memory>
#include <new>

#include "core/check/text.h"

namespace sfvcheck {
namespace {

// Read in pieces of this size; held on the heap, since the workers' stacks
// are small.
constexpr std::size_t kReadBufferSize = 64 * 1024;
// A line buffer grown beyond this by one long line is given back afterwards.
constexpr std::size_t kKeptLineCapacity = 64 * 1024;
constexpr std::size_t kCrcDigits = 8;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kByteOrderMarkSize = sizeof kByteOrderMark - 1;

bool IsLineSpace(char c) { return c == ' ' || c == '\r' || c == '\n'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Length of `text` without its trailing spaces, CRs and LFs; a double-byte
// character is never split or trimmed.
std::size_t TrimmedLength(std::string_view text) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size();) {
    bool doubleByte = IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    std::size_t step = doubleByte ? 2 : 1;
    if (doubleByte || !IsLineSpace(text[i])) end = i + step;
    i += step;
  }
  return end;
}

// A path component that Windows would take as a way up: only dots and spaces,
// with at least two dots ("..", "...", ". .").
bool IsClimbingComponent(std::string_view component) {
  std::size_t dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

bool IsNameInsideDirectory(std::string_view name) {
  if (name.empty()) return true;
  if (name.front() == '\\' || name.front() == '/') return false;
  // A drive or stream designator; no DBCS trail byte is ever ':'.
  if (name.find(':') != std::string_view::npos) return false;
  // The file functions would stop at a NUL and act on a shorter name.
  if (name.find('\0') != std::string_view::npos) return false;

  std::size_t componentStart = 0;
  for (std::size_t i = 0; i <= name.size();) {
    if (i == name.size() || name[i] == '\\' || name[i] == '/') {
      if (IsClimbingComponent(name.substr(componentStart, i - componentStart))) return false;
      componentStart = ++i;
      continue;
    }
    // Step over a double-byte character, whose trail byte may equal '\'.
    bool doubleByte = IsLeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size();
    i += doubleByte ? 2 : 1;
  }
  return true;
}

bool ParseSfvLine(std::string_view line, std::string* name, std::uint32_t* crc) {
  // A comment only when ';' is the very first byte, before any trimming.
  if (!line.empty() && line.front() == ';') return false;
  line = line.substr(0, TrimmedLength(line));

  // The name runs up to the last space; when there is none, or the only one
  // opens the line, the name is empty and the checksum is sought in the whole
  // line.
  std::size_t lastSpace = FindLastChar(line, ' ');
  std::size_t nameLength = (lastSpace != std::string_view::npos && lastSpace > 0) ? lastSpace : 0;

  std::size_t at = nameLength;
  while (at < line.size() && IsLineSpace(line[at])) ++at;
  // Exactly eight hex digits must lead the field: the ninth byte, if any,
  // must not be one. Hex digits are ASCII, so they are whole characters.
  std::uint32_t value = 0;
  std::size_t digits = 0;
  for (; at < line.size() && digits <= kCrcDigits; ++at, ++digits) {
    int digit = HexValue(line[at]);
    if (digit < 0) break;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  if (digits != kCrcDigits) return false;

  std::string_view listedName = line.substr(0, nameLength);
  // The check creates, renames and deletes files by this name.
  if (!IsNameInsideDirectory(listedName)) return false;

  name->assign(listedName);
  *crc = value;
  return true;
}

SfvParser::SfvParser(std::string_view sfvPath, SfvList& list) : list_(list) {
  std::size_t cut = FindLastChar(sfvPath, '\\');
  directory_.assign(sfvPath.substr(0, cut));  // the whole path when npos
  directory_.push_back('\\');
}

void SfvParser::Feed(const char* bytes, std::size_t size) {
  const char* end = bytes + size;
  while (!pastStart_ && bytes < end) {
    if (*bytes != kByteOrderMark[markMatched_]) {
      // Not a mark after all: what matched so far belongs to the first line.
      line_.append(kByteOrderMark, markMatched_);
      pastStart_ = true;
      break;
    }
    ++bytes;
    pastStart_ = ++markMatched_ == kByteOrderMarkSize;
  }
  while (bytes < end) {
    if (afterCr_) {
      afterCr_ = false;
      // The LF of a CR LF pair; the CR already ended the line.
      if (*bytes == '\n') {
        ++bytes;
        continue;
      }
    }
    const char* stop = bytes;
    while (stop < end && *stop != '\r' && *stop != '\n') ++stop;
    line_.append(bytes, static_cast<std::size_t>(stop - bytes));
    if (stop == end) return;
    // CR, LF and CR LF each end a line; a lone CR is an old Mac line end.
    afterCr_ = (*stop == '\r');
    EndLine();
    bytes = stop + 1;
  }
}

void SfvParser::Finish() {
  if (!pastStart_) line_.append(kByteOrderMark, markMatched_);
  pastStart_ = true;
  // The last line needs no terminator.
  if (!line_.empty()) EndLine();
  afterCr_ = false;
}

void SfvParser::EndLine() {
  std::string name;
  std::uint32_t crc = 0;
  if (ParseSfvLine(line_, &name, &crc)) {
    SfvEntry entry;
    entry.path = directory_ + name;
    entry.expectedCrc = crc;
    list_.push_back(std::move(entry));
  }
  if (line_.capacity() > kKeptLineCapacity) {
    std::string().swap(line_);
  } else {
    line_.clear();
  }
}

bool ReadSfvList(FileSystem& fs, const std::string& sfvPath, SfvList& list) {
  // Lines have no length limit, so a hostile list could exhaust memory; that
  // ends the read as a failure rather than unwinding through the caller.
  try {
    std::unique_ptr<ReadableFile> file = fs.OpenForCheck(sfvPath);
    if (!file) return false;
    std::unique_ptr<char[]> buffer(new char[kReadBufferSize]);
    SfvParser parser(sfvPath, list);
    for (;;) {
      std::size_t got = 0;
      if (!file->Read(buffer.get(), kReadBufferSize, &got)) return false;
      if (got == 0) break;
      parser.Feed(buffer.get(), got);
    }
    parser.Finish();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace sfvcheck
