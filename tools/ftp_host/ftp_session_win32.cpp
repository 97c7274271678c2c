#include "tools/ftp_host/ftp_session_win32.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "tools/ftp_host/client_path.h"
#include "win32/owned_handle_win32.h"

namespace ftphost {

namespace {

using sfvcheck::OwnedFile;

constexpr DWORD kPollMilliseconds = 250;      // how often blocked waits look at the stop flag
constexpr DWORD kIdleMilliseconds = 600000;   // a silent control connection is closed after this
constexpr DWORD kDataWaitMilliseconds = 30000;  // for the client to open the data connection
constexpr DWORD kShareWaitMilliseconds = 3000;  // for a reader (the plug-in's check) to let go of a file
constexpr std::size_t kMaxCommandLine = 4096;
// Control input held during a transfer (commands wait until it is over);
// beyond this the control connection is not read until the transfer ends.
constexpr std::size_t kMaxQueuedInput = 64 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

struct Account {
  const char* name;
  const char* password;
  std::int32_t isAdmin;
};

// The host's users. "anonymous" takes any password.
const Account kAccounts[] = {{"admin", "admin", 1}, {"user", "user", 0}, {"anonymous", nullptr, 0}};

std::mutex logMutex;

class OwnedSocket {
 public:
  OwnedSocket() = default;
  explicit OwnedSocket(SOCKET socket) : socket_(socket) {}
  ~OwnedSocket() { Reset(); }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  SOCKET get() const { return socket_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }
  SOCKET Release() {
    const SOCKET socket = socket_;
    socket_ = INVALID_SOCKET;
    return socket;
  }
  void Reset(SOCKET socket = INVALID_SOCKET) {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = socket;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

struct Entry {
  std::string name;
  bool directory = false;
  unsigned long long size = 0;
  FILETIME modified{};
};

bool Stat(const std::string& path, Entry& entry) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  entry.modified = data.ftLastWriteTime;
  return true;
}

std::vector<Entry> ListFolder(const std::string& folder) {
  std::vector<Entry> entries;
  WIN32_FIND_DATAA data;
  sfvcheck::OwnedFind find(FindFirstFileA((folder + "\\*").c_str(), &data));
  if (!find) return entries;
  do {
    Entry entry;
    entry.name = data.cFileName;
    if (entry.name == "." || entry.name == "..") continue;
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.modified = data.ftLastWriteTime;
    entries.push_back(entry);
  } while (FindNextFileA(find.get(), &data));
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

SYSTEMTIME UtcTime(const FILETIME& time) {
  SYSTEMTIME system{};
  FileTimeToSystemTime(&time, &system);
  return system;
}

std::string MachineTime(const FILETIME& time) {
  const SYSTEMTIME t = UtcTime(time);
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

// One line of "ls -l" form, which every client parses.
std::string ListLine(const Entry& entry) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const SYSTEMTIME t = UtcTime(entry.modified);
  SYSTEMTIME now{};
  GetSystemTime(&now);
  char when[16];
  const char* month = kMonths[(t.wMonth >= 1 && t.wMonth <= 12) ? t.wMonth - 1 : 0];
  if (t.wYear == now.wYear) {
    std::snprintf(when, sizeof when, "%s %2u %02u:%02u", month, t.wDay, t.wHour, t.wMinute);
  } else {
    std::snprintf(when, sizeof when, "%s %2u  %04u", month, t.wDay, t.wYear);
  }
  char line[128];
  std::snprintf(line, sizeof line, "%s 1 ftp ftp %13llu %s ", entry.directory ? "drwxr-xr-x" : "-rw-r--r--",
                entry.size, when);
  return line + entry.name + "\r\n";
}

std::string Facts(const Entry& entry) {
  std::string facts = entry.directory ? "type=dir;" : "type=file;size=" + std::to_string(entry.size) + ";";
  facts += "modify=" + MachineTime(entry.modified) + ";";
  facts += entry.directory ? "perm=elcdfmp;" : "perm=adfrw;";
  return facts;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Quoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) quoted += (c == '"') ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

bool SendAll(SOCKET socket, const char* data, std::size_t size) {
  while (size > 0) {
    const int sent = send(socket, data, static_cast<int>(std::min<std::size_t>(size, kChunk)), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// A client that stops reading cannot hold a session (and so the host's
// stop) for ever: a send that makes no progress for this long fails.
void LimitSendTime(SOCKET socket) {
  const DWORD milliseconds = 30000;
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
}

enum class Readable { kNone, kFirst, kSecond, kStopped, kFailed };

// Waits up to `milliseconds` until `first` (or `second`, when valid) can be
// read, looking at the stop flag every poll interval.
Readable WaitReadable(SOCKET first, SOCKET second, DWORD milliseconds, const std::atomic<bool>& stopping) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (stopping.load()) return Readable::kStopped;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(first, &set);
    if (second != INVALID_SOCKET) FD_SET(second, &set);
    const DWORD elapsed = GetTickCount() - start;
    const DWORD wait = elapsed >= milliseconds ? 0 : std::min<DWORD>(kPollMilliseconds, milliseconds - elapsed);
    timeval timeout{static_cast<long>(wait / 1000), static_cast<long>((wait % 1000) * 1000)};
    const int ready = select(0, &set, nullptr, nullptr, &timeout);
    if (ready == SOCKET_ERROR) return Readable::kFailed;
    if (ready > 0) return FD_ISSET(first, &set) ? Readable::kFirst : Readable::kSecond;
    if (wait == 0) return Readable::kNone;
  }
}

bool StartsWithCode(const std::string& line, std::size_t& codeLength) {
  if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
      !std::isdigit(static_cast<unsigned char>(line[1])) || !std::isdigit(static_cast<unsigned char>(line[2]))) {
    return false;
  }
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return false;
  codeLength = line.size() > 3 ? 4 : 3;
  return true;
}

class Session {
 public:
  Session(SOCKET control, int id, const HostContext& context)
      : control_(control), id_(id), context_(context), stopping_(*context.stopping) {}

  void Run() {
    // Clients send ABOR, or the Telnet bytes before it, as urgent data
    // (Python's ftplib sends the whole line so, its LF being the urgent
    // byte); kept in the stream, it ends the line as it should.
    const BOOL inline_ = TRUE;
    setsockopt(control_.get(), SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&inline_), sizeof inline_);
    LimitSendTime(control_.get());
    int peerLength = sizeof controlPeer_;
    getpeername(control_.get(), reinterpret_cast<sockaddr*>(&controlPeer_), &peerLength);
    Reply("220 sfvcheck FTP host ready; names are in the ANSI code page.");
    std::string line;
    while (!quit_ && ReadCommand(line)) Handle(line);
    if (stopping_.load() && !quit_) Reply("421 The host is stopping; closing the connection.");
    LogLine("[%d] connection closed", id_);
  }

 private:
  // ---- control connection ----

  void Reply(const std::string& text) {
    LogLine("[%d] < %s", id_, text.c_str());
    const std::string line = text + "\r\n";
    SendAll(control_.get(), line.data(), line.size());
  }

  // A multi-line reply: "ddd-first", the lines between as given, "ddd last".
  void ReplyLines(int code, const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i == 0 && lines.size() > 1) {
        text += std::to_string(code) + "-" + lines[i] + "\r\n";
      } else if (i + 1 == lines.size()) {
        text += std::to_string(code) + " " + lines[i] + "\r\n";
      } else {
        text += lines[i] + "\r\n";
      }
    }
    SendRaw(text);
  }

  void SendRaw(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find("\r\n", start);
      LogLine("[%d] < %s", id_, text.substr(start, end - start).c_str());
      if (end == std::string::npos) break;
      start = end + 2;
    }
    SendAll(control_.get(), text.data(), text.size());
  }

  // Takes received bytes into the control input without the Telnet
  // commands that clients send around ABOR (IAC IP, IAC DM, ...).
  void TakeControlBytes(const char* data, int size) {
    for (int i = 0; i < size; ++i) {
      const unsigned char c = static_cast<unsigned char>(data[i]);
      if (telnetState_ == 1) {
        // IAC IAC is a data byte 255; WILL, WONT, DO and DONT take an
        // option byte; other commands stand alone. A byte below 240 is no
        // command at all: the urgent Data Mark can be missing from the
        // stream, leaving "IAC IP IAC ABOR".
        telnetState_ = (c >= 0xFB && c <= 0xFE) ? 2 : 0;
        if (c == 0xFF || c < 0xF0) TakeByte(static_cast<char>(c));
        continue;
      }
      if (telnetState_ == 2) {
        telnetState_ = 0;
        continue;
      }
      if (c == 0xFF) {
        telnetState_ = 1;
        continue;
      }
      TakeByte(static_cast<char>(c));
    }
  }

  // Lines end at LF, with or without CR. A line that grows past the limit
  // is queued as too long at once (so it is answered even if its end never
  // comes), and the rest of it, up to its LF, is dropped: no part of it may
  // run as a command, and memory stays bounded whatever a client sends.
  void TakeByte(char c) {
    if (c == '\n') {
      if (discarding_) {
        discarding_ = false;
        return;
      }
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      queuedBytes_ += partial_.size() + 1;
      lines_.push_back({std::move(partial_), false});
      partial_.clear();
      return;
    }
    if (discarding_) return;
    if (partial_.size() <= kMaxCommandLine) {  // one more for a CR
      partial_ += c;
      return;
    }
    partial_.clear();
    discarding_ = true;
    queuedBytes_ += 1;
    lines_.push_back({std::string(), true});
  }

  bool ReceiveControl() {
    char buffer[16 * 1024];  // a flood during a transfer is read at its pace
    const int received = recv(control_.get(), buffer, sizeof buffer, 0);
    if (received <= 0) {
      controlClosed_ = true;
      return false;
    }
    TakeControlBytes(buffer, received);
    return true;
  }

  bool ReadCommand(std::string& line) {
    for (;;) {
      while (!lines_.empty()) {
        ControlLine next = std::move(lines_.front());
        lines_.pop_front();
        queuedBytes_ -= next.text.size() + 1;
        if (!next.tooLong) {
          line = std::move(next.text);
          return true;
        }
        Reply("500 Command line too long.");
      }
      if (controlClosed_) return false;
      const Readable ready = WaitReadable(control_.get(), INVALID_SOCKET, kIdleMilliseconds, stopping_);
      if (ready == Readable::kNone) {
        Reply("421 Idle too long; closing the connection.");
        return false;
      }
      if (ready != Readable::kFirst || !ReceiveControl()) return false;
    }
  }

  // During a transfer the control connection is read only while the input
  // held for later has room: INVALID_SOCKET when it has none.
  SOCKET ControlToWatch() const {
    return queuedBytes_ < kMaxQueuedInput ? control_.get() : INVALID_SOCKET;
  }

  // During a transfer: whether the client sent something on the control
  // connection, read without waiting, and it asked to abort (or went away).
  bool AbortSentNow() {
    return ControlToWatch() != INVALID_SOCKET &&
           WaitReadable(control_.get(), INVALID_SOCKET, 0, stopping_) == Readable::kFirst && AbortRequested();
  }

  // During a transfer: reads what the client sent on the control connection
  // and reports whether it asked to abort (or went away). Other commands
  // wait in the input until the transfer is over. Only lines not looked at
  // before in this transfer are looked at.
  bool AbortRequested() {
    if (!controlClosed_ && ControlToWatch() != INVALID_SOCKET) ReceiveControl();
    if (controlClosed_) return true;
    for (; checkedLines_ < lines_.size(); ++checkedLines_) {
      const ControlLine& line = lines_[checkedLines_];
      if (!line.tooLong && Upper(line.text) == "ABOR") {
        LogLine("[%d] > ABOR", id_);
        queuedBytes_ -= line.text.size() + 1;
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(checkedLines_));
        abortRequested_ = true;
        return true;
      }
    }
    return false;
  }

  // ---- commands ----

  void Handle(const std::string& line) {
    const std::size_t space = line.find(' ');
    const std::string verb = Upper(line.substr(0, space));
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    LogLine("[%d] > %s", id_, verb == "PASS" ? "PASS ****" : line.c_str());
    Dispatch(verb, argument);
    // A passive port serves one transfer command, whatever its outcome: one
    // that was refused or failed must not leave it armed, or the next
    // transfer would take a data connection the client has given up on.
    if (IsTransfer(verb)) passive_.Reset();
  }

  static bool IsTransfer(const std::string& verb) {
    for (const char* transfer : {"LIST", "NLST", "MLSD", "RETR", "STOR", "APPE"}) {
      if (verb == transfer) return true;
    }
    return false;
  }

  void Dispatch(const std::string& verb, const std::string& argument) {

    if (verb == "USER") return User(argument);
    if (verb == "PASS") return Pass(argument);
    if (verb == "QUIT") {
      Reply("221 Goodbye.");
      quit_ = true;
      return;
    }
    if (verb == "NOOP") return Reply("200 NOOP ok.");
    if (verb == "SYST") return Reply("215 UNIX Type: L8");
    if (verb == "FEAT") {
      return ReplyLines(211, {"Features:", " EPSV", " PASV", " SIZE", " MDTM", " REST STREAM",
                              " MLST type*;size*;modify*;perm*;", "End"});
    }
    if (verb == "OPTS") return Opts(argument);
    if (verb == "HELP") {
      return ReplyLines(214, {"Commands:",
                              " USER PASS SYST FEAT OPTS PWD XPWD CWD CDUP XCUP TYPE MODE STRU PASV EPSV",
                              " LIST NLST MLSD MLST SIZE MDTM STOR APPE REST RETR DELE MKD XMKD RMD XRMD",
                              " RNFR RNTO SITE NOOP ABOR QUIT HELP", "Help ok."});
    }
    if (verb == "AUTH") return Reply("502 TLS is not offered; the host serves 127.0.0.1 only.");
    if (!loggedIn_) return Reply("530 Please log in with USER and PASS.");
    if (verb != "RNTO" && verb != "RNFR") renameFrom_.clear();
    if (verb == "PWD" || verb == "XPWD") return Reply("257 " + Quoted(cwd_) + " is the current directory.");
    if (verb == "CWD" || verb == "XCWD") return ChangeDir(argument);
    if (verb == "CDUP" || verb == "XCUP") return ChangeDir("..");
    if (verb == "TYPE") return Type(argument);
    if (verb == "MODE") return Reply(Upper(argument) == "S" ? "200 Mode S." : "504 Only stream mode (S).");
    if (verb == "STRU") return Reply(Upper(argument) == "F" ? "200 Structure F." : "504 Only file structure (F).");
    if (verb == "PASV") return Passive(false);
    if (verb == "EPSV") return Passive(true);
    if (verb == "PORT" || verb == "EPRT") return Reply("502 Active mode is not offered; use PASV or EPSV.");
    if (verb == "LIST" || verb == "NLST" || verb == "MLSD") return Listing(verb, argument);
    if (verb == "MLST") return MachineListOne(argument);
    if (verb == "SIZE" || verb == "MDTM") return SizeOrTime(verb, argument);
    if (verb == "REST") return Restart(argument);
    if (verb == "RETR") return Download(argument);
    if (verb == "STOR") return Upload(argument, false);
    if (verb == "APPE") return Upload(argument, true);
    if (verb == "DELE") return Delete(argument);
    if (verb == "MKD" || verb == "XMKD") return MakeDir(argument);
    if (verb == "RMD" || verb == "XRMD") return RemoveDir(argument);
    if (verb == "RNFR") return RenameFrom(argument);
    if (verb == "RNTO") return RenameTo(argument);
    if (verb == "ABOR") return Reply("225 No transfer to abort.");
    if (verb == "SITE") return Site(argument);
    if (verb == "ALLO") return Reply("202 No storage allocation needed.");
    Reply("502 Command not implemented.");
  }

  void User(const std::string& name) {
    loggedIn_ = false;
    userName_ = name;
    Reply("331 Password required for " + name + ".");
  }

  void Pass(const std::string& password) {
    if (userName_.empty()) return Reply("503 Send USER first.");
    for (const Account& account : kAccounts) {
      if (lstrcmpiA(userName_.c_str(), account.name) != 0) continue;
      if (account.password != nullptr && password != account.password) break;
      loggedIn_ = true;
      isAdmin_ = account.isAdmin;
      cwd_ = "/";
      return Reply(std::string("230 User ") + account.name + " logged in" +
                   (isAdmin_ ? " (administrator)." : "."));
    }
    userName_.clear();
    Reply("530 Login incorrect.");
  }

  void Opts(const std::string& argument) {
    const std::string upper = Upper(argument);
    if (upper == "UTF8 OFF") return Reply("200 UTF8 off: names are in the ANSI code page.");
    if (upper.compare(0, 4, "UTF8") == 0) return Reply("501 Names are in the ANSI code page; UTF8 is not offered.");
    Reply("501 Option not understood.");
  }

  void Type(const std::string& argument) {
    // Windows files already end their lines in CR LF, the network form of
    // ASCII, so both types transfer the bytes unchanged.
    const std::string upper = Upper(argument);
    if (upper == "I" || upper == "L 8" || upper == "A" || upper == "A N") {
      return Reply("200 Type set to " + argument + ".");
    }
    Reply("504 Type not offered.");
  }

  // Resolves a client path; replies 553 and returns false when it would
  // leave the root or is no plain Windows name.
  bool Resolve(const std::string& argument, std::string& resolved, std::string& windowsPath) {
    if (!ResolveClientPath(cwd_, argument, resolved)) {
      Reply("553 Not a permitted name: " + argument);
      return false;
    }
    windowsPath = WindowsPathOf(context_.root, resolved);
    return true;
  }

  void ChangeDir(const std::string& argument) {
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    Entry entry;
    if (!Stat(path, entry) || !entry.directory) return Reply("550 No such directory: " + argument);
    cwd_ = resolved;
    Reply("250 Directory changed to " + cwd_ + ".");
  }

  // ---- data connections ----

  void Passive(bool extended) {
    data_.Reset();
    OwnedSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (!listener.valid() || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return Reply("425 Cannot open a passive data connection.");
    }
    passive_.Reset(listener.Release());
    const unsigned port = ntohs(address.sin_port);
    if (extended) return Reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
          ").");
  }

  // Accepts the client's data connection on the passive port (one transfer
  // per PASV/EPSV). Only a connection from the control connection's address
  // is taken: another's is closed and the wait goes on.
  bool AcceptData() {
    data_.Reset();
    checkedLines_ = 0;
    if (!passive_.valid()) return false;
    const DWORD start = GetTickCount();
    while (!data_.valid()) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= kDataWaitMilliseconds ||
          WaitReadable(passive_.get(), INVALID_SOCKET, kDataWaitMilliseconds - elapsed, stopping_) !=
              Readable::kFirst) {
        break;
      }
      sockaddr_in peer{};
      int length = sizeof peer;
      OwnedSocket accepted(accept(passive_.get(), reinterpret_cast<sockaddr*>(&peer), &length));
      if (!accepted.valid()) break;
      if (peer.sin_family == AF_INET && peer.sin_addr.s_addr == controlPeer_.sin_addr.s_addr) {
        data_.Reset(accepted.Release());
      } else {
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        LogLine("[%d] data connection from %s refused: not the client's address", id_, address);
      }
    }
    passive_.Reset();
    if (data_.valid()) LimitSendTime(data_.get());
    return data_.valid();
  }

  void SendOverData(const std::string& bytes, const char* what) {
    if (!passive_.valid()) return Reply("425 Use PASV or EPSV first.");
    Reply(std::string("150 Opening data connection for ") + what + ".");
    if (!AcceptData()) return Reply("425 No data connection.");
    const bool sent = SendAll(data_.get(), bytes.data(), bytes.size());
    data_.Reset();
    Reply(sent ? "226 Transfer complete." : "426 Connection closed; transfer aborted.");
  }

  void Listing(const std::string& verb, std::string argument) {
    // "LIST -la" and the like: options are ignored.
    while (!argument.empty() && argument[0] == '-') {
      const std::size_t space = argument.find(' ');
      argument = space == std::string::npos ? std::string() : argument.substr(space + 1);
    }
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    Entry self;
    if (!Stat(path, self)) return Reply("550 No such file or directory: " + argument);
    if (verb == "MLSD" && !self.directory) return Reply("501 Not a directory: " + argument);
    std::vector<Entry> entries;
    if (self.directory) {
      entries = ListFolder(path);
    } else {
      self.name = resolved.substr(resolved.find_last_of('/') + 1);
      entries.push_back(self);
    }
    std::string text;
    for (const Entry& entry : entries) {
      if (verb == "LIST") {
        text += ListLine(entry);
      } else if (verb == "NLST") {
        text += entry.name + "\r\n";
      } else {
        text += Facts(entry) + " " + entry.name + "\r\n";
      }
    }
    SendOverData(text, verb == "LIST" ? "the listing" : "the name list");
  }

  void MachineListOne(const std::string& argument) {
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    Entry entry;
    if (!Stat(path, entry)) return Reply("550 No such file or directory: " + argument);
    ReplyLines(250, {"Listing " + resolved, " " + Facts(entry) + " " + resolved, "End."});
  }

  void SizeOrTime(const std::string& verb, const std::string& argument) {
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    Entry entry;
    if (!Stat(path, entry) || entry.directory) return Reply("550 No such file: " + argument);
    Reply("213 " + (verb == "SIZE" ? std::to_string(entry.size) : MachineTime(entry.modified)));
  }

  void Restart(const std::string& argument) {
    char* end = nullptr;
    const unsigned long long offset = std::strtoull(argument.c_str(), &end, 10);
    if (argument.empty() || end == nullptr || *end != '\0') return Reply("501 REST needs a byte offset.");
    restOffset_ = offset;
    Reply("350 Restarting at " + std::to_string(offset) + ". Send STOR or RETR.");
  }

  void Download(const std::string& argument) {
    const unsigned long long offset = restOffset_;
    restOffset_ = 0;
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    OwnedFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return Reply("550 Cannot open " + argument + " (error " + std::to_string(GetLastError()) + ").");
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (offset != 0 && !SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN)) {
      return Reply("554 Cannot restart at " + std::to_string(offset) + ".");
    }
    if (!passive_.valid()) return Reply("425 Use PASV or EPSV first.");
    Reply("150 Opening data connection for " + resolved + ".");
    if (!AcceptData()) return Reply("425 No data connection.");
    std::vector<char> buffer(kChunk);
    bool complete = false;
    for (;;) {
      DWORD read = 0;
      if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) break;
      if (read == 0) {
        complete = true;
        break;
      }
      if (!SendAll(data_.get(), buffer.data(), read) || stopping_.load()) break;
      if (AbortSentNow()) break;
    }
    data_.Reset();
    FinishTransfer(complete);
  }

  void FinishTransfer(bool complete) {
    if (complete) return Reply("226 Transfer complete.");
    Reply("426 Connection closed; transfer aborted.");
    if (abortRequested_) Reply("226 Abort done.");
    abortRequested_ = false;
  }

  HANDLE OpenForUpload(const std::string& path, DWORD disposition) {
    // Others may read the file while it is written, not write it: the
    // sharing a Windows server gives an upload. A reader that denies writers
    // (the plug-in hashing an earlier copy) is waited for briefly.
    const DWORD start = GetTickCount();
    for (;;) {
      HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
          GetTickCount() - start > kShareWaitMilliseconds || stopping_.load()) {
        return file;
      }
      Sleep(50);
    }
  }

  void Upload(const std::string& argument, bool append) {
    const unsigned long long offset = restOffset_;
    restOffset_ = 0;
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    if (resolved == "/") return Reply("553 Not a file name: " + argument);
    if (!passive_.valid()) return Reply("425 Use PASV or EPSV first.");
    const bool keep = append || offset != 0;
    // A refused upload makes no file and no file event: a restart is checked
    // against the existing file first (beyond its end it would leave a hole
    // of zeros; on an absent file an empty one, which the plug-in would take
    // for a corrupt upload and copy over the -[BAD] file of the same name).
    const bool restart = offset != 0 && !append;
    Entry existing;
    if (restart && (!Stat(path, existing) || existing.directory || existing.size < offset)) {
      return Reply("554 Cannot restart at " + std::to_string(offset) + ".");
    }
    Reply("150 Opening data connection for " + resolved + ".");
    // Opened only once the data connection is there, so a client that never
    // connects neither creates the file nor costs an existing one its
    // contents.
    if (!AcceptData()) return Reply("425 No data connection.");
    OwnedFile file(OpenForUpload(path, restart ? OPEN_EXISTING : OPEN_ALWAYS));
    if (!file) {
      const DWORD error = GetLastError();
      data_.Reset();
      return Reply("550 Cannot open " + argument + " for writing (error " + std::to_string(error) + ").");
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    LARGE_INTEGER size{};
    // The file may have shrunk since it was looked at; it was not created.
    if (!GetFileSizeEx(file.get(), &size) || (restart && position.QuadPart > size.QuadPart) ||
        (append ? !SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_END)
                : !SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))) {
      file.reset();
      data_.Reset();
      return Reply("554 Cannot restart at " + std::to_string(offset) + ".");
    }

    bool complete = false;
    unsigned long long bytes = 0;
    bool writeFailed = false;
    if (!keep && !SetEndOfFile(file.get())) writeFailed = true;
    if (!writeFailed) {
      std::vector<char> buffer(kChunk);
      for (;;) {
        const Readable ready = WaitReadable(data_.get(), ControlToWatch(), kIdleMilliseconds, stopping_);
        if (ready == Readable::kSecond) {
          if (AbortRequested()) break;
          continue;
        }
        if (ready != Readable::kFirst) break;
        const int received = recv(data_.get(), buffer.data(), static_cast<int>(buffer.size()), 0);
        if (received == 0) {
          complete = true;
          break;
        }
        if (received < 0) break;
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data(), static_cast<DWORD>(received), &written, nullptr) ||
            written != static_cast<DWORD>(received)) {
          writeFailed = true;
          break;
        }
        bytes += written;
        // ABOR must be seen while data keeps coming, not only in a pause.
        if (AbortSentNow()) break;
      }
    }
    data_.Reset();
    // A restarted upload ends the file where the new data ends.
    if (offset != 0 && complete) SetEndOfFile(file.get());
    // The file is closed before the plug-in hears of it, complete or not.
    file.reset();
    LogLine("[%d] upload of %s %s after %llu bytes", id_, resolved.c_str(), complete ? "complete" : "broken off",
            bytes);
    ReportUpload(path);
    if (writeFailed) return Reply("451 Write error; transfer aborted.");
    FinishTransfer(complete);
  }

  // The file event the server sends for every upload it closes.
  void ReportUpload(const std::string& path) {
    sfvcheck::HostEventRecord record = EventRecord(sfvcheck::kEventFileArrived);
    sfvcheck::SetRecordText(record, path);
    const std::int16_t result = context_.plugin->Deliver(record);
    LogLine("[%d] event 10 %s -> %d", id_, path.c_str(), result);
  }

  void Delete(const std::string& argument) {
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    if (!DeleteFileA(path.c_str())) return Reply("550 Cannot delete " + argument + ".");
    Reply("250 Deleted " + resolved + ".");
  }

  void MakeDir(const std::string& argument) {
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    if (resolved == "/" || !CreateDirectoryA(path.c_str(), nullptr)) {
      return Reply("550 Cannot create " + argument + ".");
    }
    Reply("257 " + Quoted(resolved) + " created.");
  }

  void RemoveDir(const std::string& argument) {
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    if (resolved == "/" || resolved == cwd_ || !RemoveDirectoryA(path.c_str())) {
      return Reply("550 Cannot remove " + argument + ".");
    }
    Reply("250 Removed " + resolved + ".");
  }

  void RenameFrom(const std::string& argument) {
    renameFrom_.clear();
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    Entry entry;
    if (resolved == "/" || !Stat(path, entry)) return Reply("550 No such file or directory: " + argument);
    renameFrom_ = path;
    Reply("350 Ready for RNTO.");
  }

  void RenameTo(const std::string& argument) {
    const std::string from = renameFrom_;
    renameFrom_.clear();
    if (from.empty()) return Reply("503 Send RNFR first.");
    std::string resolved, path;
    if (!Resolve(argument, resolved, path)) return;
    if (resolved == "/" || !MoveFileA(from.c_str(), path.c_str())) {
      return Reply("550 Cannot rename to " + argument + ".");
    }
    Reply("250 Renamed to " + resolved + ".");
  }

  // SITE <text>: the SITE event with the text and the user's administrator
  // flag. An answer (4) with a reply text goes to the client as it stands;
  // an answer without text, or none, gets the host's own reply.
  void Site(const std::string& text) {
    sfvcheck::HostEventRecord record = EventRecord(sfvcheck::kEventSiteRequest);
    sfvcheck::SetRecordText(record, text);
    record.isAdmin = isAdmin_;
    const std::int16_t result = context_.plugin->Deliver(record);
    const std::string reply = record.reply != nullptr ? std::string(record.reply) : std::string();
    LogLine("[%d] event 108 \"%s\" admin %d -> %d, reply \"%s\"", id_, text.c_str(), isAdmin_, result,
            reply.c_str());
    if (result == 4) {
      const std::string formatted = FormatPluginReply(reply);
      if (!formatted.empty()) return SendRaw(formatted);
      return Reply("200 SITE command done.");
    }
    Reply("500 SITE command not understood.");
  }

  struct ControlLine {
    std::string text;
    bool tooLong = false;  // its text dropped; answered with 500
  };

  OwnedSocket control_;
  sockaddr_in controlPeer_{};
  int id_;
  const HostContext& context_;
  const std::atomic<bool>& stopping_;
  std::deque<ControlLine> lines_;  // complete lines not yet handled
  std::size_t queuedBytes_ = 0;    // their size, one byte for each line end
  std::size_t checkedLines_ = 0;   // how many of them this transfer has looked at for ABOR
  std::string partial_;            // the line being received
  bool discarding_ = false;        // dropping the rest of a line that was too long
  int telnetState_ = 0;
  bool controlClosed_ = false;
  bool quit_ = false;
  bool loggedIn_ = false;
  std::int32_t isAdmin_ = 0;
  std::string userName_;
  std::string cwd_ = "/";
  unsigned long long restOffset_ = 0;
  std::string renameFrom_;
  bool abortRequested_ = false;
  OwnedSocket passive_;
  OwnedSocket data_;
};

}  // namespace

void LogLine(const char* format, ...) {
  char line[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::lock_guard<std::mutex> guard(logMutex);
  std::printf("%s\n", line);
  std::fflush(stdout);
}

std::string FormatPluginReply(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return std::string();

  std::string code = "200";
  std::size_t codeLength = 0;
  if (StartsWithCode(lines[0], codeLength) && (lines[0][0] == '2' || lines[0][0] == '4' || lines[0][0] == '5')) {
    code = lines[0].substr(0, 3);
    for (std::string& line : lines) {
      std::size_t length = 0;
      if (StartsWithCode(line, length) && line.compare(0, 3, code) == 0) line.erase(0, length);
    }
  }
  if (lines.size() == 1) return code + " " + lines[0] + "\r\n";
  std::string reply = code + "-" + lines[0] + "\r\n";
  // Lines between are indented, so that none can pass for the last line.
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) reply += " " + lines[i] + "\r\n";
  return reply + code + " " + lines.back() + "\r\n";
}

// Nothing a session meets (out of memory included) may end the host with
// its other sessions and the plug-in: the session ends, its sockets closed.
void ServeConnection(SOCKET control, int id, const HostContext& context) {
  try {
    Session session(control, id, context);
    session.Run();
  } catch (const std::exception& error) {
    LogLine("[%d] session ended by an error: %s", id, error.what());
  } catch (...) {
    LogLine("[%d] session ended by an error", id);
  }
}

sfvcheck::HostEventRecord EventRecord(std::int32_t eventCode) {
  sfvcheck::HostEventRecord record;
  std::memset(&record, 0, sizeof record);
  record.eventCode = eventCode;
  record.reply = nullptr;
  return record;
}

}  // namespace ftphost
