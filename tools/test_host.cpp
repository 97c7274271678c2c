// A stand-in for the FTP server: loads a plug-in DLL through its three
// exports only (LoadLibraryA, GetProcAddress by name), as the server does,
// and delivers events to it.
//
//   test_host [--dll PATH] event CODE [INDEX] [TEXT]   one event; prints the result
//                                                     and the record fields written
//   test_host [--dll PATH] site TEXT...                a SITE request; prints the reply
//   test_host [--dll PATH] menu                        the menu query (113), then the
//                                                     choice of the item (112)
//   test_host [--dll PATH] replay SETDIR UPLOADDIR     uploads a set file by file
//   test_host [--dll PATH] demo [DIR]                  makes a sample set and replays it
//
// Threads: everything runs on the main thread, as the server's event thread;
// the plug-in's own threads are only counted, never touched.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/host/host_record.h"
#include "plugin/plugin_loader_win32.h"
#include "tools/support/process_threads_win32.h"
#include "tools/support/test_data.h"

namespace {

using sfvcheck::HostEventRecord;
using sfvcheck::PluginLoader;

constexpr unsigned char kUnwrittenByte = 0xCC;

// Loads the plug-in and calls its init entry, as the server does at start.
bool LoadPlugin(PluginLoader& plugin, const std::string& path) {
  if (!plugin.Load(path)) {
    std::printf("%s\n", plugin.error().c_str());
    return false;
  }
  plugin.Init();
  std::printf("loaded %s\n", path.c_str());
  return true;
}

HostEventRecord NewRecord(std::int32_t code) {
  HostEventRecord record;
  std::memset(&record, kUnwrittenByte, sizeof record);
  record.eventCode = code;
  record.menuIndex = 0;
  record.menuFlag = 0;
  record.reply = nullptr;
  // The text area keeps the filler, so that what the plug-in writes shows;
  // the events that carry a text get one.
  if (code == sfvcheck::kEventFileArrived || code == sfvcheck::kEventFileArrivedAlt ||
      code == sfvcheck::kEventSiteRequest) {
    record.text[0] = '\0';
  }
  record.isAdmin = 0;
  return record;
}

// CR and LF shown as \r and \n, so that a reply's line end can be seen.
std::string Visible(const char* text) {
  std::string shown;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '\r') {
      shown += "\\r";
    } else if (*c == '\n') {
      shown += "\\n";
    } else {
      shown += *c;
    }
  }
  return shown;
}

const char* HookName(std::int32_t code) {
  return PluginLoader::ForQndrlHook(code) ? sfvcheck::kQndrlEventHookName : sfvcheck::kEventHookName;
}

std::string TextField(const HostEventRecord& record) {
  return std::string(record.text, strnlen(record.text, sizeof record.text));
}

// Delivers one event and prints the result and every field that changed.
std::int16_t DeliverAndShow(PluginLoader& plugin, HostEventRecord& record) {
  const HostEventRecord before = record;
  const std::int16_t result = plugin.Deliver(record);
  std::printf("%s(event %d) -> %d\n", HookName(record.eventCode), static_cast<int>(before.eventCode), result);
  bool changed = false;
  if (record.eventCode != before.eventCode) {
    std::printf("  eventCode: %d\n", static_cast<int>(record.eventCode));
    changed = true;
  }
  if (record.menuIndex != before.menuIndex) {
    std::printf("  menuIndex: %d\n", static_cast<int>(record.menuIndex));
    changed = true;
  }
  if (record.menuFlag != before.menuFlag) {
    std::printf("  menuFlag: %d -> %d\n", static_cast<int>(before.menuFlag), static_cast<int>(record.menuFlag));
    changed = true;
  }
  if (record.reply != before.reply) {
    std::printf("  reply: \"%s\"\n", record.reply ? Visible(record.reply).c_str() : "(null)");
    changed = true;
  }
  if (std::memcmp(record.text, before.text, sizeof record.text) != 0) {
    std::printf("  text: \"%s\"\n", Visible(TextField(record).c_str()).c_str());
    changed = true;
  }
  if (record.isAdmin != before.isAdmin) {
    std::printf("  isAdmin: %d\n", static_cast<int>(record.isAdmin));
    changed = true;
  }
  const auto* now = reinterpret_cast<const unsigned char*>(&record);
  const auto* was = reinterpret_cast<const unsigned char*>(&before);
  std::size_t otherBytes = 0;
  for (std::size_t i = 0; i < sizeof record; ++i) {
    const bool inField = i < 4 || (i >= offsetof(HostEventRecord, menuIndex) && i < offsetof(HostEventRecord, menuFlag) + 4) ||
                         (i >= offsetof(HostEventRecord, reply) && i < offsetof(HostEventRecord, isAdmin) + 4);
    if (!inField && now[i] != was[i]) ++otherBytes;
  }
  if (otherBytes != 0) {
    std::printf("  %zu byte(s) of the host's own part of the record changed\n", otherBytes);
    changed = true;
  }
  if (!changed) std::printf("  record unchanged\n");
  return result;
}

// ---- files ----

struct Entry {
  std::string name;
  bool directory;
  std::uint64_t size;
};

std::vector<Entry> ListFolder(const std::string& folder) {
  std::vector<Entry> entries;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return entries;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                       (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
  } while (FindNextFileA(find, &data));
  FindClose(find);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

bool EndsWithNoCase(const std::string& text, const char* ending) {
  const std::size_t length = std::strlen(ending);
  return text.size() >= length && lstrcmpiA(text.c_str() + text.size() - length, ending) == 0;
}

void PrintFolder(const std::string& folder) {
  const std::vector<Entry> entries = ListFolder(folder);
  if (entries.empty()) std::printf("    (empty)\n");
  for (const Entry& entry : entries) {
    const char* kind = "file";
    if (entry.directory) {
      kind = entry.name.find("% complete") != std::string::npos ? "meter" : "folder";
    } else if (entry.name.find("-[MISSING]") != std::string::npos) {
      kind = "missing";
    } else if (entry.name.find("-[BAD]") != std::string::npos) {
      kind = "bad";
    } else if (entry.name.rfind(".qdrl.", 0) == 0 && EndsWithNoCase(entry.name, ".state")) {
      kind = "state";
    } else if (EndsWithNoCase(entry.name, ".sfv")) {
      kind = "sfv";
    }
    if (entry.directory) {
      std::printf("    %-8s %s\n", kind, entry.name.c_str());
    } else {
      std::printf("    %-8s %s  (%llu bytes)\n", kind, entry.name.c_str(),
                  static_cast<unsigned long long>(entry.size));
    }
  }
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

// The threads of this process; the plug-in's running checks are among them.
int ThreadCount() { return sfvcheck::testing::ThreadsOfThisProcess(); }

// Waits, at most ten seconds, until the threads started since `baseline`
// was counted have ended: the check of the last upload is then done.
void WaitForChecks(int baseline) {
  for (int i = 0; i < 1000 && ThreadCount() > baseline; ++i) Sleep(10);
}

// ---- commands ----

int CommandEvent(PluginLoader& plugin, const std::vector<std::string>& args) {
  if (args.empty()) {
    std::printf("usage: event CODE [INDEX] [TEXT]\n");
    return 2;
  }
  HostEventRecord record = NewRecord(std::atoi(args[0].c_str()));
  if (args.size() > 1) record.menuIndex = std::atoi(args[1].c_str());
  if (args.size() > 2) sfvcheck::SetRecordText(record, args[2]);
  const int threads = ThreadCount();
  DeliverAndShow(plugin, record);
  // A file event's check runs on; let it end before the process does.
  WaitForChecks(threads);
  return 0;
}

int CommandSite(PluginLoader& plugin, const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& word : args) text += (text.empty() ? "" : " ") + word;
  HostEventRecord record = NewRecord(sfvcheck::kEventSiteRequest);
  sfvcheck::SetRecordText(record, text);
  std::printf("SITE request: \"%s\"\n", text.c_str());
  const std::int16_t result = plugin.Deliver(record);
  std::printf("result %d, reply: %s%s%s\n", result, record.reply ? "\"" : "",
              record.reply ? Visible(record.reply).c_str() : "(none)", record.reply ? "\"" : "");
  return 0;
}

int CommandMenu(PluginLoader& plugin) {
  HostEventRecord query = NewRecord(sfvcheck::kEventMenuQuery);
  DeliverAndShow(plugin, query);
  std::printf("menu item 0: \"%s\"; choosing it (the dialog stays until closed)\n", TextField(query).c_str());
  HostEventRecord chosen = NewRecord(sfvcheck::kEventMenuChosen);
  DeliverAndShow(plugin, chosen);
  return 0;
}

void Upload(PluginLoader& plugin, const std::string& from, const std::string& uploadDir, const std::string& name,
            int step) {
  const std::string to = uploadDir + "\\" + name;
  std::printf("\n[%d] upload %s\n", step, to.c_str());
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
    std::printf("    cannot copy %s (error %lu)\n", from.c_str(), GetLastError());
    return;
  }
  const int threads = ThreadCount();
  HostEventRecord record = NewRecord(sfvcheck::kEventFileArrived);
  sfvcheck::SetRecordText(record, to);
  const std::int16_t result = plugin.Deliver(record);
  std::printf("    file event 10 -> %d\n", result);
  WaitForChecks(threads);
  HostEventRecord idle = NewRecord(sfvcheck::kEventIdle);
  plugin.Deliver(idle);
  PrintFolder(uploadDir);
}

int Replay(PluginLoader& plugin, const std::string& setDir, const std::string& uploadDir) {
  CreateDirectoryA(uploadDir.c_str(), nullptr);
  const std::vector<Entry> entries = ListFolder(setDir);
  std::vector<std::string> lists;
  std::vector<std::string> files;
  for (const Entry& entry : entries) {
    if (entry.directory) continue;
    (EndsWithNoCase(entry.name, ".sfv") ? lists : files).push_back(entry.name);
  }
  if (lists.empty() && files.empty()) {
    std::printf("nothing to upload in %s\n", setDir.c_str());
    return 2;
  }
  std::printf("replaying %s into %s\n", setDir.c_str(), uploadDir.c_str());
  int step = 0;
  for (const std::string& name : lists) Upload(plugin, setDir + "\\" + name, uploadDir, name, ++step);
  for (const std::string& name : files) Upload(plugin, setDir + "\\" + name, uploadDir, name, ++step);

  std::printf("\nshutdown\n");
  HostEventRecord shutdown = NewRecord(sfvcheck::kEventShutdown);
  const DWORD start = GetTickCount();
  const std::int16_t result = plugin.Deliver(shutdown);
  std::printf("    shutdown event 116 -> %d after %lu ms\n", result, GetTickCount() - start);
  PrintFolder(uploadDir);
  return 0;
}

std::string DefaultDemoFolder() {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  char name[64];
  std::snprintf(name, sizeof name, "sfvcheck-demo-%lu", GetCurrentProcessId());
  return std::string(temp) + name;
}

bool Contains(const std::vector<Entry>& entries, const std::string& name) {
  return std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.name == name; });
}

int CommandDemo(PluginLoader& plugin, std::string folder) {
  if (folder.empty()) folder = DefaultDemoFolder();
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  const std::string setDir = folder + "\\set";
  const std::string uploadDir = folder + "\\upload";
  CreateDirectoryA(folder.c_str(), nullptr);
  CreateDirectoryA(setDir.c_str(), nullptr);

  struct Sample {
    const char* name;
    const char* role;
  };
  const Sample samples[] = {
      {"release.rar", "good"}, {"release.r00", "good"}, {"release.r01", "corrupt"},
      {"release.r02", "never uploaded"}, {"release.r03", "good"},
  };
  std::string sfv = "; sample set made by test_host\r\n";
  std::printf("sample set in %s:\n", setDir.c_str());
  std::uint32_t seed = 1;
  for (const Sample& sample : samples) {
    std::string bytes = sfvcheck::testing::RandomBytes(200000, seed++);
    sfv += sfvcheck::testing::SfvLine(sample.name, sfvcheck::testing::BitwiseCrc32(bytes));
    std::printf("    %-12s %s\n", sample.name, sample.role);
    if (std::strcmp(sample.role, "never uploaded") == 0) continue;
    if (std::strcmp(sample.role, "corrupt") == 0) bytes[123456] ^= 0x20;
    if (!WriteWholeFile(setDir + "\\" + sample.name, bytes)) {
      std::printf("cannot write %s\\%s\n", setDir.c_str(), sample.name);
      return 1;
    }
  }
  if (!WriteWholeFile(setDir + "\\release.sfv", sfv)) {
    std::printf("cannot write %s\\release.sfv\n", setDir.c_str());
    return 1;
  }
  std::printf("\n");
  const int status = Replay(plugin, setDir, uploadDir);
  if (status != 0) return status;

  // 3 of 5 good: the corrupt file moved aside, the absent one marked.
  const std::vector<Entry> result = ListFolder(uploadDir);
  bool meterRight = true;
  for (const Entry& entry : result) {
    if (entry.directory && entry.name.find("% complete") != std::string::npos &&
        entry.name.find("60% complete") == std::string::npos) {
      meterRight = false;
    }
  }
  const bool asExpected = meterRight && Contains(result, "release.rar") && Contains(result, "release.r00") &&
                          Contains(result, "release.r03") && Contains(result, "release-[BAD].r01") &&
                          !Contains(result, "release.r01") && Contains(result, "release-[MISSING].r02") &&
                          !Contains(result, "release-[MISSING].rar");
  std::printf("\ndemo: %s\n", asExpected ? "the upload folder shows what the set calls for (3 of 5 good, 60%)"
                                         : "UNEXPECTED result in the upload folder");
  return asExpected ? 0 : 1;
}

std::string DllBesideThisProgram() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dll(path, length);
  const std::size_t slash = dll.find_last_of("\\/");
  dll = (slash == std::string::npos ? std::string() : dll.substr(0, slash + 1)) + "sfvcheck.dll";
  return dll;
}

void PrintUsage() {
  std::printf(
      "usage: test_host [--dll PATH] COMMAND\n"
      "  event CODE [INDEX] [TEXT]   deliver one event; print the result and the fields written\n"
      "  site TEXT...                deliver a SITE request (event 108); print the reply\n"
      "  menu                        ask for the menu item (113), then choose it (112)\n"
      "  replay SETDIR UPLOADDIR     upload the .sfv, then each file, with a file event after each\n"
      "  demo [DIR]                  make a sample set in DIR and replay it\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string dll = DllBesideThisProgram();
  if (args.size() >= 2 && args[0] == "--dll") {
    dll = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    PrintUsage();
    return 2;
  }
  const std::string command = args[0];
  args.erase(args.begin());

  PluginLoader plugin;
  if (!LoadPlugin(plugin, dll)) return 1;
  if (command == "event") return CommandEvent(plugin, args);
  if (command == "site") return CommandSite(plugin, args);
  if (command == "menu") return CommandMenu(plugin);
  if (command == "replay" && args.size() == 2) return Replay(plugin, args[0], args[1]);
  if (command == "demo" && args.size() <= 1) return CommandDemo(plugin, args.empty() ? "" : args[0]);
  PrintUsage();
  return 2;
}
