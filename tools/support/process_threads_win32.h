// The number of threads of the calling process (a Toolhelp snapshot), for the
// hosts and the tests that watch how many checking threads the plug-in holds.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

namespace sfvcheck::testing {

// -1 when no snapshot can be taken.
inline int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace sfvcheck::testing
