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

// The temporary file and what the run is doing with it. The handler and the run's own
// thread each claim a change of state with a compare-exchange, so that only one of them
// acts on the temporary: the handler removes it only while it is `written` (claiming it as
// `interrupted`), and the run renames it only after claiming it as `replacing`. While it is
// being put in the output's place, when it may be the only copy there is, the handler
// waits; once it is in place (`replaced`), the edit has landed and the handler lets the run
// finish, its "Wrote:" line and status 0 included.
std::array<wchar_t, 32768> pending_temporary{};
enum class Pending { none, written, replacing, interrupted, replaced };
std::atomic<Pending> pending{Pending::none};

}  // namespace

BOOL WINAPI end_run_on_interrupt(DWORD /*event*/) {
  for (;;) {
    Pending seen = Pending::written;
    if (pending.compare_exchange_strong(seen, Pending::interrupted)) {
      // Open with delete sharing (and, while it is written, marked for deletion as well):
      // it goes when the process's handles close.
      (void)DeleteFileW(pending_temporary.data());
      break;
    }
    if (seen == Pending::replaced) {
      return TRUE;  // the new model is in its place: the run ends as it would have
    }
    if (seen != Pending::replacing) {
      break;  // nothing written yet, or an interrupt already being handled
    }
    Sleep(1);
  }
  // Not ExitProcess: the run's own thread may hold the C library's locks, which the exit's
  // clean-up would wait for.
  (void)TerminateProcess(GetCurrentProcess(), control_c_exit);
  return TRUE;
}

void guard_console_interrupts() { (void)SetConsoleCtrlHandler(end_run_on_interrupt, TRUE); }

void guard_temporary(const std::wstring& temporary) {
  if (temporary.size() >= pending_temporary.size()) {
    return;
  }
  std::copy(temporary.begin(), temporary.end(), pending_temporary.begin());
  pending_temporary[temporary.size()] = L'\0';
  pending.store(Pending::written);
}

void replacing_temporary() {
  Pending seen = Pending::written;
  if (!pending.compare_exchange_strong(seen, Pending::replacing)) {
    // An interrupt has claimed the temporary and is ending the run: it is not renamed.
    for (;;) {
      Sleep(INFINITE);
    }
  }
}

void temporary_may_go() { pending.store(Pending::written); }

void temporary_replaced() { pending.store(Pending::replaced); }

void release_temporary_guard() {
  // An interrupt that claimed the temporary is ending the run; any other state is left.
  Pending seen = pending.load();
  while (seen != Pending::interrupted && !pending.compare_exchange_weak(seen, Pending::none)) {
    // `seen` now holds the state found instead, and is tried again
  }
}

}  // namespace fmskins
