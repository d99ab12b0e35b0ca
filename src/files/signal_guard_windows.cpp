// Windows: the console's interrupts, as signals are on POSIX systems. The handler runs on a
// thread of its own while the run goes on; it removes the temporary output file, if there
// is one, and ends the process itself, since a handler that leaves the exit code to the
// system gets status 0 from some (wine among them) for a run that never finished.

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "files/output_windows.h"

namespace fmskins {
namespace {

// The status Windows' own handler ends a process with on Ctrl-C.
constexpr UINT control_c_exit = 0xC000013AU;

// The temporary file: removed while it is being written, and never while it is being put
// in the output's place, when it may be the only copy there is; the handler then waits
// for the replace to end.
std::array<wchar_t, 32768> pending_temporary{};
enum class Pending { none, written, replacing };
std::atomic<Pending> pending{Pending::none};

BOOL WINAPI end_run_on_interrupt(DWORD /*event*/) {
  while (pending.load() == Pending::replacing) {
    Sleep(1);
  }
  // The temporary is open with delete sharing (and, while it is written, marked for
  // deletion as well): it goes when the process's handles close.
  if (pending.load() == Pending::written) {
    (void)DeleteFileW(pending_temporary.data());
  }
  // Not ExitProcess: the run's own thread may hold the C library's locks, which the exit's
  // clean-up would wait for.
  (void)TerminateProcess(GetCurrentProcess(), control_c_exit);
  return TRUE;
}

}  // namespace

void guard_console_interrupts() { (void)SetConsoleCtrlHandler(end_run_on_interrupt, TRUE); }

void guard_temporary(const std::wstring& temporary) {
  if (temporary.size() >= pending_temporary.size()) {
    return;
  }
  std::copy(temporary.begin(), temporary.end(), pending_temporary.begin());
  pending_temporary[temporary.size()] = L'\0';
  pending.store(Pending::written);
}

void replacing_temporary() { pending.store(Pending::replacing); }

void temporary_may_go() { pending.store(Pending::written); }

void release_temporary_guard() { pending.store(Pending::none); }

}  // namespace fmskins
