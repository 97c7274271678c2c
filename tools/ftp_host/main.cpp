// An FTP host for trying the plug-in with real FTP clients: serves a folder
// over FTP on 127.0.0.1 and loads sfvcheck.dll as the server does.
//
//   ftp_host [--dll PATH] [--port N] [--max-connections N] [--stop-file PATH]
//            [--stop-after SECONDS] ROOT
//
// Port 0 (the default is 2121) takes any free port; the first line printed
// names the one taken. Each control connection is served on its own thread,
// up to --max-connections at once (default 256; more are refused with 421),
// which also sends that connection's file and SITE events. The main thread
// accepts connections and sends the idle event about once a second; on
// Ctrl-C, when the stop file appears, or after --stop-after seconds, it stops
// accepting, lets the sessions end, sends the shutdown event and unloads the
// DLL.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/ftp_host/ftp_session_win32.h"
#include "tools/ftp_host/process_peaks_win32.h"

namespace {

using ftphost::EventRecord;
using ftphost::LogLine;

std::atomic<bool> stopping{false};

BOOL WINAPI OnConsoleControl(DWORD) {
  stopping.store(true);
  return TRUE;
}

struct Options {
  std::string dll;
  std::string root;
  unsigned port = 2121;
  std::size_t maxConnections = 256;
  std::string stopFile;
  double stopAfterSeconds = 0;
};

struct SessionStart {
  SOCKET control;
  int id;
  const ftphost::HostContext* context;
};

DWORD WINAPI SessionThread(void* parameter) {
  const SessionStart start = *static_cast<SessionStart*>(parameter);
  delete static_cast<SessionStart*>(parameter);
  ftphost::ServeConnection(start.control, start.id, *start.context);
  return 0;
}

std::string DllBesideThisProgram() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dll(path, length);
  return dll.substr(0, dll.find_last_of("\\/") + 1) + "sfvcheck.dll";
}

bool ParseOptions(int argc, char** argv, Options& options) {
  options.dll = DllBesideThisProgram();
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--dll" && hasValue) {
      options.dll = argv[++i];
    } else if (option == "--port" && hasValue) {
      options.port = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (option == "--max-connections" && hasValue) {
      options.maxConnections = std::strtoul(argv[++i], nullptr, 10);
    } else if (option == "--stop-file" && hasValue) {
      options.stopFile = argv[++i];
    } else if (option == "--stop-after" && hasValue) {
      options.stopAfterSeconds = std::strtod(argv[++i], nullptr);
    } else if (option[0] != '-' && options.root.empty()) {
      options.root = option;
    } else {
      return false;
    }
  }
  return !options.root.empty() && options.port <= 65535 && options.maxConnections > 0;
}

// Session threads that have ended are closed and dropped.
void ReapSessions(std::vector<HANDLE>& sessions) {
  for (std::size_t i = 0; i < sessions.size();) {
    if (WaitForSingleObject(sessions[i], 0) == WAIT_OBJECT_0) {
      CloseHandle(sessions[i]);
      sessions[i] = sessions.back();
      sessions.pop_back();
    } else {
      ++i;
    }
  }
}

bool StopRequested(const Options& options, DWORD startTick) {
  if (stopping.load()) return true;
  if (!options.stopFile.empty() && GetFileAttributesA(options.stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  return options.stopAfterSeconds > 0 && (GetTickCount() - startTick) >= options.stopAfterSeconds * 1000;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::printf(
        "usage: ftp_host [--dll PATH] [--port N] [--max-connections N] [--stop-file PATH] [--stop-after SECONDS]"
        " ROOT\n"
        "  serves the folder ROOT over FTP on 127.0.0.1 (port 2121; 0: any free port) with the plug-in loaded;\n"
        "  at most N connections at once (default 256);\n"
        "  users admin/admin (administrator), user/user, anonymous (any password)\n");
    return 2;
  }
  char fullRoot[MAX_PATH];
  const DWORD rootLength = GetFullPathNameA(options.root.c_str(), MAX_PATH, fullRoot, nullptr);
  if (rootLength == 0 || rootLength >= MAX_PATH) {
    std::printf("ftp_host: bad root %s\n", options.root.c_str());
    return 2;
  }
  std::string root(fullRoot, rootLength);
  while (root.size() > 3 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const DWORD attributes = GetFileAttributesA(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    std::printf("ftp_host: %s is not a folder\n", root.c_str());
    return 2;
  }

  WSADATA winsock;
  if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
    std::printf("ftp_host: no Winsock\n");
    return 1;
  }
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(options.port));
  int addressLength = sizeof address;
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) {
    std::printf("ftp_host: cannot listen on 127.0.0.1:%u (error %d)\n", options.port, WSAGetLastError());
    return 1;
  }

  sfvcheck::PluginLoader plugin;
  if (!plugin.Load(options.dll)) {
    std::printf("ftp_host: %s\n", plugin.error().c_str());
    return 1;
  }
  plugin.Init();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ftphost::HostContext context;
  context.root = root;
  context.plugin = &plugin;
  context.stopping = &stopping;
  LogLine("ftp_host: listening on 127.0.0.1:%u, serving %s with %s", ntohs(address.sin_port), root.c_str(),
          options.dll.c_str());

  std::vector<HANDLE> sessions;
  int nextId = 1;
  const DWORD startTick = GetTickCount();
  DWORD lastIdle = startTick;
  ftphost::ProcessPeaks peaks;
  while (!StopRequested(options, startTick)) {
    peaks.Sample();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener, &set);
    timeval timeout{0, 200 * 1000};
    if (select(0, &set, nullptr, nullptr, &timeout) > 0) {
      const SOCKET control = accept(listener, nullptr, nullptr);
      if (control != INVALID_SOCKET) ReapSessions(sessions);
      // Each connection costs a thread: beyond the cap a client is turned
      // away at once rather than the host running out of threads or memory.
      if (control != INVALID_SOCKET && sessions.size() >= options.maxConnections) {
        static const char kBusy[] = "421 Too many connections; try again later.\r\n";
        send(control, kBusy, static_cast<int>(sizeof kBusy - 1), 0);
        closesocket(control);
        LogLine("connection refused: %zu connections open", sessions.size());
      } else if (control != INVALID_SOCKET) {
        const int id = nextId++;
        LogLine("[%d] connection opened", id);
        auto* start = new SessionStart{control, id, &context};
        HANDLE thread = CreateThread(nullptr, 0, SessionThread, start, 0, nullptr);
        if (thread != nullptr) {
          sessions.push_back(thread);
        } else {
          delete start;
          closesocket(control);
        }
      }
    }
    if (GetTickCount() - lastIdle >= 1000) {
      lastIdle = GetTickCount();
      sfvcheck::HostEventRecord idle = EventRecord(sfvcheck::kEventIdle);
      plugin.Deliver(idle);
      ReapSessions(sessions);
    }
  }

  stopping.store(true);
  closesocket(listener);
  LogLine("ftp_host: stopping; %zu session(s) to end", sessions.size());
  // Sessions see the flag within a quarter second; a transfer in progress
  // breaks off, its file is closed and its file event sent.
  std::size_t stillRunning = 0;
  for (HANDLE session : sessions) {
    if (WaitForSingleObject(session, 60000) != WAIT_OBJECT_0) ++stillRunning;
    CloseHandle(session);
  }
  sfvcheck::HostEventRecord shutdown = EventRecord(sfvcheck::kEventShutdown);
  const DWORD shutdownStart = GetTickCount();
  const std::int16_t result = plugin.Deliver(shutdown);
  LogLine("ftp_host: shutdown event 116 -> %d after %lu ms", result, GetTickCount() - shutdownStart);
  peaks.Sample();
  LogLine("ftp_host: peak threads %u, peak address space in use %.1f MiB", peaks.peakThreads(),
          static_cast<double>(peaks.peakVirtualBytes()) / (1024.0 * 1024.0));
  if (stillRunning == 0) {
    plugin.Unload();
  } else {
    // A session thread could still call a hook: the DLL stays loaded until
    // the process ends.
    plugin.KeepLoaded();
    LogLine("ftp_host: %zu session(s) did not end; the DLL stays loaded", stillRunning);
  }
  WSACleanup();
  LogLine("ftp_host: stopped");
  return 0;
}
