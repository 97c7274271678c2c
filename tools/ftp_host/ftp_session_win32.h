// One FTP control connection, served on its own thread, as a server's
// session thread would: commands and replies (RFC 959 and the extensions
// clients use for uploads and listings), passive data connections on
// 127.0.0.1, uploads written through Win32 and reported to the plug-in as
// file events, SITE requests handed to it as SITE events.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "plugin/plugin_loader_win32.h"

namespace ftphost {

struct HostContext {
  std::string root;  // full Windows path of the served folder, no trailing backslash
  const sfvcheck::PluginLoader* plugin = nullptr;  // loaded, its init entry called
  const std::atomic<bool>* stopping = nullptr;  // set once: sessions end, transfers break off
};

// A record as the server hands it over: the event code, everything else
// zero, no reply.
sfvcheck::HostEventRecord EventRecord(std::int32_t eventCode);

// Writes one line to the host's log (stdout) in one piece, from any thread.
void LogLine(const char* format, ...);

// Serves the connection until the client quits, the connection breaks, it
// stays idle too long or the host stops; closes `control` at the end.
void ServeConnection(SOCKET control, int id, const HostContext& context);

// The reply text a plug-in gave a SITE request as an FTP reply: one line,
// or the multi-line form (first line "ddd-", last "ddd ", the lines between
// indented). A code the text starts with is kept when it is 2xx, 4xx or 5xx;
// otherwise 200. An empty text gives an empty result.
std::string FormatPluginReply(const std::string& text);

}  // namespace ftphost
