// stack: DirectoryCheck passes over a list of long names (hashing, moving
// aside, marking, completing, and one pass ended by an exception), each on a
// fresh thread whose stack is painted first; prints how deep each went.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "core/check/directory_check.h"
#include "core/check/naming.h"
#include "core/crc/crc32.h"
#include "core/settings/run_settings.h"
#include "win32/critical_section_win32.h"
#include "win32/file_system_win32.h"
#include "win32/owned_handle_win32.h"
#include "win32/workers_win32.h"

namespace sfvcheck {
namespace bench {
namespace {

constexpr unsigned char kStackPaint = 0xA5;
constexpr std::size_t kPaintedStack = 512 * 1024;  // painted below the probe's frame

// A pass to measure: its folder and what it does, run on a thread of its own.
struct StackScenario {
  const char* label;
  std::function<void()> run;
  std::size_t used = 0;  // bytes from the stack's top to the deepest byte written
  bool overflowed = false;
};

__attribute__((noinline)) void PaintStack(volatile unsigned char* from, volatile unsigned char* to) {
  while (from < to) *from++ = kStackPaint;
}

// Paints the stack below this frame, runs the scenario, then finds the lowest
// byte that was written. The thread's stack is committed whole at creation.
DWORD WINAPI MeasureStackThread(void* parameter) {
  auto* scenario = static_cast<StackScenario*>(parameter);
  auto* frame = static_cast<unsigned char*>(__builtin_frame_address(0));
  // The stack's top: the end of the reservation that holds this frame.
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(frame, &region, sizeof region) != sizeof region) return 1;
  const void* const stack = region.AllocationBase;
  unsigned char* top = frame;
  while (VirtualQuery(top, &region, sizeof region) == sizeof region && region.AllocationBase == stack) {
    top = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize;
  }
  unsigned char* paintTop = frame - 4096;  // clear of PaintStack's own frame
  unsigned char* paintLow = paintTop - kPaintedStack;
  if (VirtualQuery(paintLow, &region, sizeof region) != sizeof region || region.AllocationBase != stack ||
      region.State != MEM_COMMIT || region.Protect != PAGE_READWRITE) {
    return 1;
  }
  PaintStack(paintLow, paintTop);
  scenario->run();
  const unsigned char* lowest = paintLow;
  while (lowest < paintTop && *lowest == kStackPaint) ++lowest;
  scenario->overflowed = lowest == paintLow;
  scenario->used = static_cast<std::size_t>(top - lowest);
  return 0;
}

bool MeasureStack(StackScenario& scenario) {
  // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is committed at once,
  // so the painting never meets an uncommitted page.
  OwnedObject thread(CreateThread(nullptr, 2 * kPaintedStack, MeasureStackThread, &scenario, 0, nullptr));
  if (!thread) return false;
  WaitForSingleObject(thread.get(), INFINITE);
  DWORD code = 1;
  return GetExitCodeThread(thread.get(), &code) && code == 0;
}

// A name as long as the folder leaves room for (paths stay below MAX_PATH,
// markers included), ending in `tail`.
std::string LongName(const std::string& folder, char fill, const std::string& tail) {
  const std::size_t room = MAX_PATH - 1 - folder.size() - std::strlen("-[MISSING]") - tail.size();
  return std::string(room > 200 ? 200 : room, fill) + tail;
}

}  // namespace

int RunStack() {
  std::printf("stack: deepest stack use of DirectoryCheck passes, each on a fresh thread, %d-bit build\n",
              static_cast<int>(sizeof(void*) * 8));
  const std::string folder = MakeWorkFolder("stack");
  if (folder.empty()) return 1;
  // Eight long names: four good, two corrupt, two absent at first.
  std::vector<std::string> names;
  std::string list = "; long names, hashed, moved aside and marked\r\n";
  const std::string content = RandomBytes(300000, 5);
  const std::uint32_t crc = Crc32(0, content.data(), content.size());
  for (int i = 0; i < 8; ++i) {
    names.push_back(LongName(folder, static_cast<char>('a' + i), ".r0" + std::to_string(i)));
    list += SfvLine(names.back(), i == 4 || i == 5 ? ~crc : crc);
    if (i < 6 && !WriteWholeFile(folder + names.back(), content)) return 1;
  }
  if (!WriteWholeFile(folder + kListName, list)) return 1;

  Win32FileSystem fs;
  CriticalSectionLock lock;
  const RunSettings settings;
  const CheckContext context{fs, lock, [&settings] { return settings; }};
  const CheckContext throwing{fs, lock, []() -> RunSettings { throw std::bad_alloc(); }};
  const std::string arrived = folder + names[0];
  std::vector<StackScenario> scenarios = {
      {"first pass: hashes 6, moves 2 aside, marks 2 missing", [&] { DirectoryCheck(context, arrived); }},
      {"second pass: state file read, markers kept", [&] { DirectoryCheck(context, arrived); }},
      {"third pass: the 2 absent files arrive, 6 of 8 good",
       [&] {
         WriteWholeFile(folder + names[6], content);
         WriteWholeFile(folder + names[7], content);
         DirectoryCheck(context, arrived);
       }},
      {"a pass ended by an exception", [&] { DirectoryCheck(throwing, arrived); }},
  };
  std::size_t deepest = 0;
  int result = 0;
  for (StackScenario& scenario : scenarios) {
    if (!MeasureStack(scenario)) {
      std::printf("  %s: could not be measured\n", scenario.label);
      result = 1;
      continue;
    }
    std::printf("  %-56s %s%6.1f KiB\n", scenario.label, scenario.overflowed ? "more than " : "",
                scenario.used / 1024.0);
    deepest = std::max(deepest, scenario.used);
  }
  std::printf("  deepest: %.1f KiB of stack (from the thread's start); the checking thread reserves %u KiB\n",
              deepest / 1024.0, static_cast<unsigned>(Workers::kStackReservation / 1024));
  // The passes did their work: two files moved aside, 6 of 8 good.
  const std::size_t movedAside = fs.ListMatches(folder + "*-[BAD]*").size();
  const bool meterAt75 = Exists(folder + MeterFolderName(75, settings));
  if (movedAside != 2 || !meterAt75) {
    std::printf("  the passes did not end as expected (%zu moved aside, meter at 75%%: %s)\n", movedAside,
                meterAt75 ? "yes" : "no");
    result = 1;
  }
  RemoveWorkFolder(folder);
  return result;
}

}  // namespace bench
}  // namespace sfvcheck
