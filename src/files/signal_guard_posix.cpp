#include "files/signal_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "files/model_file_system.h"

namespace fmskins {
namespace {

constexpr int signal_limit = 65;  // signal numbers run from 1 to 64 on the systems served

// What the handler looks at. Fixed storage and flags only: a handler may use only
// async-signal-safe calls.
std::array<char, 4096> pending_temporary{};
volatile std::sig_atomic_t pending_directory = -1;
volatile std::sig_atomic_t temporary_exists = 0;

std::uint8_t* mapped_start = nullptr;
std::size_t mapped_length = 0;
std::size_t page_size = 4096;
volatile std::sig_atomic_t pages_lost = 0;

volatile std::sig_atomic_t lease_descriptor = -1;  // while the lease is held
volatile std::sig_atomic_t lease_taken = 0;
volatile std::sig_atomic_t lease_broken = 0;
// SIGIO was ignored when the run began (as under a parent that ignores it): taken over for
// the lease's breaks, it still ends nothing else.
volatile std::sig_atomic_t stray_io_ignored = 0;

// Signals whose default action ends the process. Those the run stops for (job control),
// those that are ignored by default, and the two it ignores itself (SIGPIPE: a lost report
// must not kill the run; SIGXFSZ: a file-size limit fails the write instead) are left out.
bool ends_the_process(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGPIPE:
    case SIGXFSZ:
      return false;
    default:
      return true;
  }
}

// Signals raised by the faulting instruction itself: never blocked, since blocking them is
// undefined.
bool raised_by_a_fault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
         signal_number == SIGFPE || signal_number == SIGTRAP || signal_number == SIGSYS ||
         signal_number == SIGABRT;
}

// A bus error the kernel raised for a page of the model mapping that is no longer in the
// file. One sent by another program (kill -BUS) has another code and is no lost page.
bool lost_model_page(int signal_number, const siginfo_t* info) {
  if (signal_number != SIGBUS || mapped_length == 0 ||
      (info->si_code != BUS_ADRERR && info->si_code != BUS_OBJERR)) {
    return false;
  }
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const auto start = reinterpret_cast<std::uintptr_t>(mapped_start);
  if (address < start || address - start >= mapped_length) {
    return false;
  }
  // The mapping starts on a page boundary, and so does every page counted from it. The
  // lost page becomes one of zeros and the read is retried.
  std::uint8_t* const page = mapped_start + ((address - start) & ~(page_size - 1));
  return mmap(page, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
         MAP_FAILED;
}

// The lease's signal while the lease is being broken (the lease then reads as to be
// released). One sent by another program finds the lease as it was.
bool lease_break(int signal_number) {
  const int descriptor = lease_descriptor;
  if (signal_number != SIGIO || descriptor < 0 || fcntl(descriptor, F_GETLEASE) != F_UNLCK) {
    return false;
  }
  lease_broken = 1;
  lease_descriptor = -1;
  (void)fcntl(descriptor, F_SETLEASE, F_UNLCK);  // the other program need not wait
  return true;
}

extern "C" void on_signal(int signal_number, siginfo_t* info, void* /*context*/) {
  if (lost_model_page(signal_number, info)) {
    pages_lost = 1;
    return;
  }
  if (lease_break(signal_number) || (signal_number == SIGIO && stray_io_ignored != 0)) {
    return;
  }
  if (temporary_exists != 0) {
    (void)unlinkat(pending_directory, pending_temporary.data(), 0);
  }
  // The signal is blocked while its handler runs: raised again, it ends the process by its
  // default action as the handler returns (a fault that repeats does the same).
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  (void)sigaction(signal_number, &default_action, nullptr);
  (void)raise(signal_number);
}

// Installs the handler once, for every signal that ends the process. Signals the user had
// ignored (nohup, say) stay ignored, but for the two the run itself depends on: SIGBUS
// (a lost page of the model) and SIGIO (a break of the lease, which a parent that ignores or
// blocks it would otherwise leave unanswered, holding the writer up), which are also
// unblocked for the run; an ignored SIGIO that is no break of the lease is still ignored,
// from the moment the handler is installed to the end of the run. Numbers the system keeps for
// itself are refused by sigaction and skipped. SIGBUS is required: false where it could not be
// taken.
bool install_handler() {
  static bool installed = false;
  static bool bus_errors_handled = false;
  if (installed) {
    return bus_errors_handled;
  }
  installed = true;
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number = 1; signal_number < signal_limit && signal_number < NSIG;
       ++signal_number) {
    struct sigaction previous {};
    if (signal_number == SIGIO && sigaction(signal_number, nullptr, &previous) == 0 &&
        previous.sa_handler == SIG_IGN) {
      stray_io_ignored = 1;
    }
    if (ends_the_process(signal_number) && sigaction(signal_number, nullptr, &previous) == 0 &&
        (previous.sa_handler != SIG_IGN || signal_number == SIGBUS || signal_number == SIGIO) &&
        sigaction(signal_number, &action, nullptr) == 0 && signal_number == SIGBUS) {
      bus_errors_handled = true;
    }
  }
  sigset_t needed{};
  sigemptyset(&needed);
  (void)sigaddset(&needed, SIGBUS);
  (void)sigaddset(&needed, SIGIO);
  (void)sigprocmask(SIG_UNBLOCK, &needed, nullptr);
  return bus_errors_handled;
}

// True when `each` is a descriptor of this process's, other than `skipped`, open for writing
// on the file `model`.
bool writes_to(int each, int skipped, const struct stat& model) {
  struct stat status {};
  const int flags = each < 0 || each == skipped ? -1 : fcntl(each, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(each, &status) == 0 &&
         status.st_dev == model.st_dev && status.st_ino == model.st_ino;
}

// True when a descriptor of this process's own, open for writing, is on the file open as
// `descriptor` (a shell's `3<>model`): it keeps a lease from being granted, and is no other
// program. The process's open files are listed where the system lists them; where it cannot
// (no /proc, or no descriptor left to list them with) every number up to the limit is asked.
bool written_through_own_descriptor(int descriptor) {
  struct stat model {};
  if (fstat(descriptor, &model) != 0) {
    return false;
  }
  bool found = false;
  DIR* const directory = opendir("/proc/self/fd");
  if (directory == nullptr) {
    const long limit = sysconf(_SC_OPEN_MAX);
    const int last = limit > 65536 || limit < 0 ? 65536 : static_cast<int>(limit);
    for (int each = 0; each < last && !found; ++each) {
      found = writes_to(each, -1, model);
    }
    return found;
  }
  const int listing = dirfd(directory);
  while (const dirent* entry = readdir(directory)) {
    int each = -1;
    (void)std::from_chars(entry->d_name, entry->d_name + std::strlen(entry->d_name), each);
    found = found || writes_to(each, listing, model);
  }
  (void)closedir(directory);
  return found;
}

}  // namespace

bool watch_model_mapping(const std::uint8_t* start, std::size_t length) {
  const long size = sysconf(_SC_PAGESIZE);
  page_size = size > 0 ? static_cast<std::size_t>(size) : page_size;
  mapped_start = const_cast<std::uint8_t*>(start);
  mapped_length = length;
  if (!install_handler()) {
    mapped_length = 0;
    return false;
  }
  return true;
}

bool mapped_pages_lost() { return pages_lost != 0; }

bool lease_model(int descriptor) {
  (void)install_handler();
  if (fcntl(descriptor, F_SETLEASE, F_RDLCK) == 0) {
    lease_descriptor = descriptor;
    lease_taken = 1;
    return true;
  }
  return errno != EAGAIN || written_through_own_descriptor(descriptor);
}

bool model_leased() { return lease_taken != 0; }

// The signal is not relied on alone: a lease whose break has begun no longer reads as held.
bool model_lease_broken() {
  if (lease_broken != 0) {
    return true;
  }
  const int descriptor = lease_descriptor;
  return lease_taken != 0 && (descriptor < 0 || fcntl(descriptor, F_GETLEASE) != F_RDLCK);
}

void guard_temporary(int directory, const std::string& name) {
  if (name.size() >= pending_temporary.size()) {
    return;
  }
  (void)install_handler();
  std::memcpy(pending_temporary.data(), name.c_str(), name.size() + 1);
  pending_directory = directory;
  temporary_exists = 1;
}

void release_temporary_guard() { temporary_exists = 0; }

sigset_t interrupting_signals() {
  sigset_t set{};
  sigemptyset(&set);
  for (int signal_number = 1; signal_number < signal_limit && signal_number < NSIG;
       ++signal_number) {
    if (ends_the_process(signal_number) && !raised_by_a_fault(signal_number) &&
        signal_number != SIGIO) {
      (void)sigaddset(&set, signal_number);
    }
  }
  return set;
}

}  // namespace fmskins
