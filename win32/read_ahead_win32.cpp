#include "win32/read_ahead_win32.h"

#include <windows.h>

#include "win32/owned_handle_win32.h"

namespace sfvcheck {
namespace {

// The reader's stack: it calls ReadFile and little else.
constexpr SIZE_T kReaderStack = 64 * 1024;

// The two buffers pass between the reader and the sink: the reader fills
// buffer i when it is empty, the sink takes it when it is full, each going
// 0, 1, 0, 1, ...
struct ReadAhead {
  ReadableFile& file;
  unsigned char* const* buffers;
  std::size_t size;

  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  // Guarded by `lock`:
  bool full[2] = {false, false};
  std::size_t filled[2] = {0, 0};  // bytes in a full buffer; 0 marks the end of the file
  bool failed = false;             // a read failed after the full buffers
  bool stop = false;               // the sink wants no more

  void Lock() { AcquireSRWLockExclusive(&lock); }
  void Unlock() { ReleaseSRWLockExclusive(&lock); }
  void Wait() { SleepConditionVariableSRW(&changed, &lock, INFINITE, 0); }
  void Wake() { WakeAllConditionVariable(&changed); }
};

DWORD WINAPI ReaderMain(void* parameter) {
  ReadAhead& shared = *static_cast<ReadAhead*>(parameter);
  for (int i = 0;; i ^= 1) {
    shared.Lock();
    while (shared.full[i] && !shared.stop) shared.Wait();
    const bool stop = shared.stop;
    shared.Unlock();
    if (stop) return 0;

    std::size_t got = 0;
    bool read = false;
    try {
      read = shared.file.Read(shared.buffers[i], shared.size, &got) && got <= shared.size;
    } catch (...) {
      read = false;  // nothing leaves the thread
    }
    shared.Lock();
    if (read) {
      shared.full[i] = true;
      shared.filled[i] = got;
    } else {
      shared.failed = true;
    }
    shared.Unlock();
    shared.Wake();
    if (!read || got == 0) return 0;
  }
}

// Stops the reader and waits for it to end, however the sink's side ends.
class ReaderThread {
 public:
  ReaderThread(ReadAhead& shared, OwnedObject thread) : shared_(shared), thread_(std::move(thread)) {}
  ~ReaderThread() {
    shared_.Lock();
    shared_.stop = true;
    shared_.Unlock();
    shared_.Wake();
    WaitForSingleObject(thread_.get(), INFINITE);
  }
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;

 private:
  ReadAhead& shared_;
  OwnedObject thread_;
};

}  // namespace

bool ReadAheadToEnd(ReadableFile& file, unsigned char* const buffers[2], std::size_t size, BlockSink& sink) {
  ReadAhead shared{file, buffers, size};
  OwnedObject thread(CreateThread(nullptr, kReaderStack, ReaderMain, &shared,
                                  CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!thread) return file.ReadableFile::ReadToEnd(buffers, size, sink);
  // The reader works for this thread: the same priority (a checking
  // thread's is below normal).
  SetThreadPriority(thread.get(), GetThreadPriority(GetCurrentThread()));
  ResumeThread(thread.get());
  ReaderThread reader(shared, std::move(thread));

  for (int i = 0;; i ^= 1) {
    shared.Lock();
    while (!shared.full[i] && !shared.failed) shared.Wait();
    const bool full = shared.full[i];
    const std::size_t got = shared.filled[i];
    shared.Unlock();
    if (!full) return false;
    if (got == 0) return true;
    sink.Take(buffers[i], got);
    shared.Lock();
    shared.full[i] = false;
    shared.Unlock();
    shared.Wake();
  }
}

}  // namespace sfvcheck
