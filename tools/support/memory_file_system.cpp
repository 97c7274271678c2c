#include "tools/support/memory_file_system.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "core/check/text.h"

namespace sfvcheck::testing {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

class MemoryFile : public ReadableFile {
 public:
  MemoryFile(std::string bytes, std::size_t failAfter, std::function<bool()> onRead)
      : bytes_(std::move(bytes)), failAfter_(failAfter), onRead_(std::move(onRead)) {}

  bool Read(void* buffer, std::size_t size, std::size_t* got) override {
    const bool swept = onRead_();
    *got = 0;
    if (swept) return false;
    // Past the fault point every read fails, even where end of file would be.
    if (failAfter_ != std::string::npos && offset_ >= failAfter_) return false;
    std::size_t limit = std::min(bytes_.size(), failAfter_);
    std::size_t count = std::min(size, limit - offset_);
    if (count > 0) std::memcpy(buffer, bytes_.data() + offset_, count);
    offset_ += count;
    *got = count;
    return true;
  }

  bool Length(std::uint64_t* length) override {
    *length = bytes_.size();
    return true;
  }

  bool Seek(std::uint64_t offset) override {
    offset_ = static_cast<std::size_t>(std::min<std::uint64_t>(offset, bytes_.size()));
    return true;
  }

 private:
  std::string bytes_;
  std::size_t failAfter_;
  std::size_t offset_ = 0;
  std::function<bool()> onRead_;  // true: this read fails
};

}  // namespace

std::string MemoryFileSystem::Normal(std::string_view path) {
  std::string normal(path);
  std::replace(normal.begin(), normal.end(), '/', '\\');
  for (;;) {
    while (normal.size() > 1 && normal.back() == '\\') normal.pop_back();
    std::size_t nameStart = normal.rfind('\\') + 1;  // 0 when npos
    std::string_view name = std::string_view(normal).substr(nameStart);
    std::size_t kept = WithoutTrailingBlanksAndDots(name).size();
    if (kept == name.size() || kept == 0) return normal;
    normal.resize(nameStart + kept);
  }
}

std::string MemoryFileSystem::Key(std::string_view path) {
  std::string key = Normal(path);
  for (char& c : key) c = Lower(c);
  return key;
}

std::string MemoryFileSystem::ParentKey(const std::string& key) {
  std::size_t cut = key.rfind('\\');
  return cut == std::string::npos ? std::string() : key.substr(0, cut);
}

void MemoryFileSystem::CountCall(FsOp op, const std::string& path) { ++calls_[{op, Key(path)}]; }

bool MemoryFileSystem::Faulty(FsOp op, const std::string& path) const {
  return faults_.count({op, Key(path)}) != 0;
}

bool MemoryFileSystem::Held(const std::string& path) const { return held_.count(Key(path)) != 0; }

bool MemoryFileSystem::ParentIsDirectory(const std::string& key) const {
  auto parent = nodes_.find(ParentKey(key));
  return parent != nodes_.end() && parent->second.isDirectory;
}

const MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) const {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

void MemoryFileSystem::AddDirectoryLocked(const std::string& path) {
  std::string key = Key(path);
  if (key.empty() || nodes_.count(key) != 0) return;
  std::string normal = Normal(path);
  std::size_t cut = normal.rfind('\\');
  if (cut != std::string::npos) AddDirectoryLocked(normal.substr(0, cut));
  Node node;
  node.name = cut == std::string::npos ? normal : normal.substr(cut + 1);
  node.isDirectory = true;
  nodes_[key] = std::move(node);
}

void MemoryFileSystem::PutNode(const std::string& path, Node node) {
  std::string normal = Normal(path);
  std::size_t cut = normal.rfind('\\');
  node.name = cut == std::string::npos ? normal : normal.substr(cut + 1);
  auto existing = nodes_.find(Key(path));
  if (existing != nodes_.end()) {
    // Replacing a file keeps the name's original spelling, as Windows does.
    node.name = existing->second.name;
    node.shortName = existing->second.shortName;
  }
  nodes_[Key(path)] = std::move(node);
}

void MemoryFileSystem::AddFile(const std::string& path, std::string_view bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string normal = Normal(path);
  std::size_t cut = normal.rfind('\\');
  if (cut != std::string::npos) AddDirectoryLocked(normal.substr(0, cut));
  Node node;
  node.bytes = std::string(bytes);
  PutNode(path, std::move(node));
}

void MemoryFileSystem::AddDirectory(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  AddDirectoryLocked(path);
}

void MemoryFileSystem::SetShortName(const std::string& path, const std::string& shortName) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = nodes_.find(Key(path));
  if (it != nodes_.end()) it->second.shortName = shortName;
}

void MemoryFileSystem::FailOn(FsOp op, const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  faults_.insert({op, Key(path)});
}

void MemoryFileSystem::FailNthCall(std::size_t n, bool fromThenOn) {
  std::lock_guard<std::mutex> guard(mutex_);
  sweepTarget_ = n == 0 ? 0 : sweepCalls_ + n;
  sweepOnward_ = fromThenOn;
}

std::size_t MemoryFileSystem::CallCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return sweepCalls_;
}

bool MemoryFileSystem::NextCallFails() {
  ++sweepCalls_;
  return sweepTarget_ != 0 && (sweepCalls_ == sweepTarget_ || (sweepOnward_ && sweepCalls_ > sweepTarget_));
}

void MemoryFileSystem::LimitSpace(std::optional<std::size_t> bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  space_ = bytes;
}

std::size_t MemoryFileSystem::RoomFor(const std::string& replacing) const {
  if (!space_) return std::string::npos;
  std::size_t used = 0;
  for (const auto& [key, node] : nodes_) {
    if (key != Key(replacing)) used += node.bytes.size();
  }
  return used >= *space_ ? 0 : *space_ - used;
}

void MemoryFileSystem::FailReadAfter(const std::string& path, std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  readLimits_[Key(path)] = bytes;
}

void MemoryFileSystem::HoldOpenForWriting(const std::string& path, bool held) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (held) {
    held_.insert(Key(path));
  } else {
    held_.erase(Key(path));
  }
}

void MemoryFileSystem::BeforeOpenForCheck(const std::string& path, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(mutex_);
  beforeOpen_[Key(path)] = std::move(action);
}

bool MemoryFileSystem::IsFile(const std::string& path) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Node* node = Find(path);
  return node != nullptr && !node->isDirectory;
}

bool MemoryFileSystem::IsDirectory(const std::string& path) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Node* node = Find(path);
  return node != nullptr && node->isDirectory;
}

std::optional<std::string> MemoryFileSystem::FileBytes(const std::string& path) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Node* node = Find(path);
  if (node == nullptr || node->isDirectory) return std::nullopt;
  return node->bytes;
}

std::vector<std::string> MemoryFileSystem::Names(const std::string& directory) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string parent = Key(directory);
  std::vector<std::string> names;
  for (const auto& [key, node] : nodes_) {
    if (key != parent && ParentKey(key) == parent) names.push_back(node.name);
  }
  return names;  // map order: by lower-case key
}

std::size_t MemoryFileSystem::Calls(FsOp op) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::size_t total = 0;
  for (const auto& [call, count] : calls_) {
    if (call.first == op) total += count;
  }
  return total;
}

std::size_t MemoryFileSystem::Calls(FsOp op, const std::string& path) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = calls_.find({op, Key(path)});
  return it == calls_.end() ? 0 : it->second;
}

void MemoryFileSystem::ResetCalls() {
  std::lock_guard<std::mutex> guard(mutex_);
  calls_.clear();
}

std::unique_ptr<ReadableFile> MemoryFileSystem::OpenForCheck(const std::string& path) {
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = beforeOpen_.find(Key(path));
    if (it != beforeOpen_.end()) {
      action = std::move(it->second);
      beforeOpen_.erase(it);
    }
  }
  if (action) action();
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kOpenForCheck, path);
  if (NextCallFails()) return nullptr;
  const Node* node = Find(path);
  if (node == nullptr || node->isDirectory || Held(path) || Faulty(FsOp::kOpenForCheck, path)) {
    return nullptr;
  }
  std::size_t failAfter = std::string::npos;
  if (Faulty(FsOp::kRead, path)) failAfter = 0;
  auto limit = readLimits_.find(Key(path));
  if (limit != readLimits_.end()) failAfter = limit->second;
  std::string key = Key(path);
  return std::make_unique<MemoryFile>(node->bytes, failAfter, [this, key] {
    std::lock_guard<std::mutex> readGuard(mutex_);
    ++calls_[{FsOp::kRead, key}];
    return NextCallFails();
  });
}

bool MemoryFileSystem::AppendBytes(const std::string& path, std::string_view bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kAppendBytes, path);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kAppendBytes, path) || Held(path)) return false;
  auto it = nodes_.find(Key(path));
  const std::size_t room = RoomFor(std::string());
  if (it != nodes_.end()) {
    if (it->second.isDirectory) return false;
    it->second.bytes.append(bytes.substr(0, room));
    return bytes.size() <= room;
  }
  if (!ParentIsDirectory(Key(path))) return false;
  Node node;
  node.bytes = std::string(bytes.substr(0, room));
  PutNode(path, std::move(node));
  return bytes.size() <= room;
}

bool MemoryFileSystem::CreateEmptyFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kCreateEmptyFile, path);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kCreateEmptyFile, path) || Held(path)) return false;
  const Node* node = Find(path);
  if (node != nullptr && node->isDirectory) return false;
  if (!ParentIsDirectory(Key(path))) return false;
  PutNode(path, Node{});
  return true;
}

bool MemoryFileSystem::CopyOver(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kCopyOver, from);
  if (Key(from) != Key(to)) CountCall(FsOp::kCopyOver, to);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kCopyOver, from) || Faulty(FsOp::kCopyOver, to)) return false;
  // A file being written can still be copied (the system opens the source
  // sharing writes), but not replaced.
  if (Held(to)) return false;
  const Node* source = Find(from);
  if (source == nullptr || source->isDirectory) return false;
  const Node* target = Find(to);
  if (target != nullptr && target->isDirectory) return false;
  if (Key(from) == Key(to)) return false;
  if (!ParentIsDirectory(Key(to))) return false;
  Node copy;
  const std::size_t room = RoomFor(to);
  copy.bytes = source->bytes.substr(0, room);
  PutNode(to, std::move(copy));
  return source->bytes.size() <= room;
}

bool MemoryFileSystem::MoveOver(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kMoveOver, from);
  if (Key(from) != Key(to)) CountCall(FsOp::kMoveOver, to);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kMoveOver, from) || Faulty(FsOp::kMoveOver, to)) return false;
  // Renaming needs the right to delete, which a writer's sharing denies.
  if (Held(from) || Held(to)) return false;
  auto source = nodes_.find(Key(from));
  if (source == nodes_.end() || source->second.isDirectory) return false;
  const Node* target = Find(to);
  if (target != nullptr && target->isDirectory) return false;
  if (!ParentIsDirectory(Key(to))) return false;
  if (Key(from) == Key(to)) return true;
  Node moved;
  moved.bytes = std::move(source->second.bytes);
  nodes_.erase(source);
  PutNode(to, std::move(moved));  // a replaced file's spelling stays, as under Wine
  return true;
}

bool MemoryFileSystem::RemoveFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kRemoveFile, path);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kRemoveFile, path) || Held(path)) return false;
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end() || it->second.isDirectory) return false;
  nodes_.erase(it);
  return true;
}

bool MemoryFileSystem::MakeDirectory(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kMakeDirectory, path);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kMakeDirectory, path)) return false;
  if (Find(path) != nullptr || !ParentIsDirectory(Key(path))) return false;
  Node node;
  node.isDirectory = true;
  PutNode(path, std::move(node));
  return true;
}

bool MemoryFileSystem::RemoveEmptyDirectory(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kRemoveEmptyDirectory, path);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kRemoveEmptyDirectory, path)) return false;
  std::string key = Key(path);
  auto it = nodes_.find(key);
  if (it == nodes_.end() || !it->second.isDirectory) return false;
  for (const auto& entry : nodes_) {
    if (entry.first != key && ParentKey(entry.first) == key) return false;
  }
  nodes_.erase(it);
  return true;
}

bool MemoryFileSystem::Exists(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kExists, path);
  if (NextCallFails()) return false;
  if (Faulty(FsOp::kExists, path)) return false;
  return Find(path) != nullptr;
}

bool MemoryFileSystem::ListMatchesToEnd(const std::string& pattern, std::vector<std::string>* names) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kListMatches, pattern);
  names->clear();
  if (Faulty(FsOp::kListMatches, pattern)) return false;
  if (NextCallFails()) return false;
  std::size_t cut = pattern.find_last_of("\\/");
  if (cut == std::string::npos) return true;
  std::string directory = Key(pattern.substr(0, cut));
  std::string wildcard = pattern.substr(cut + 1);
  for (const auto& [key, node] : nodes_) {
    if (key == directory || ParentKey(key) != directory) continue;
    bool viaShortName = !node.shortName.empty() && WildcardMatchNoCase(wildcard, node.shortName);
    if (WildcardMatchNoCase(wildcard, node.name) || viaShortName) names->push_back(node.name);
  }
  return true;
}

bool MemoryFileSystem::ListDirectory(const std::string& prefix, std::vector<DirectoryEntry>* entries) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountCall(FsOp::kListDirectory, prefix);
  entries->clear();
  if (Faulty(FsOp::kListDirectory, prefix)) return false;
  std::string directory = Key(prefix);
  auto it = nodes_.find(directory);
  if (it == nodes_.end() || !it->second.isDirectory) return false;
  for (const auto& [key, node] : nodes_) {
    if (key == directory || ParentKey(key) != directory) continue;
    entries->push_back({node.name, node.shortName, node.bytes.size(), node.isDirectory});
  }
  return true;
}

std::string MemoryFileSystem::StoredName(std::string_view name) {
  return std::string(WithoutTrailingBlanksAndDots(name));
}

std::string MemoryFileSystem::FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = Lower(c);
  return folded;
}

}  // namespace sfvcheck::testing
