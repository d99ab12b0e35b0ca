#include "model/model_lock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "cli/fatal.h"

#if defined(_WIN32)
#include <windows.h>

#include "cli/windows_text.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace fmskins {
namespace {

constexpr std::chrono::seconds lock_patience{10};

enum class Outcome { locked, busy, replaced, not_in_place, unlockable };

#if defined(_WIN32)
// Windows will not replace a file that another handle holds open, so the lock is a hidden
// file beside the model, opened exclusively and deleted by the system when the run ends,
// however it ends.

bool same_file(const std::string& one, const std::string& other) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  bool same = false;
  const HANDLE a =
      CreateFileW(widen(one).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE b =
      CreateFileW(widen(other).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE && GetFileType(a) == FILE_TYPE_DISK &&
      GetFileInformationByHandle(a, &first) != 0 && GetFileInformationByHandle(b, &second) != 0) {
    same = first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
  }
  if (a != INVALID_HANDLE_VALUE) {
    CloseHandle(a);
  }
  if (b != INVALID_HANDLE_VALUE) {
    CloseHandle(b);
  }
  return same;
}

Outcome try_lock(const std::string& model_path, const std::string& output_path,
                 std::intptr_t& handle) {
  if (!same_file(model_path, output_path)) {
    return Outcome::not_in_place;
  }
  const std::wstring path = widen(model_path);
  const std::size_t separator = path.find_last_of(L"\\/:");
  const std::size_t name_start = separator == std::wstring::npos ? 0 : separator + 1;
  const std::wstring lock_path =
      path.substr(0, name_start) + L"." + path.substr(name_start).substr(0, 200) + L".fmskins-lock";
  const HANDLE lock =
      CreateFileW(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (lock != INVALID_HANDLE_VALUE) {
    handle = reinterpret_cast<std::intptr_t>(lock);
    return Outcome::locked;
  }
  const DWORD error = GetLastError();
  // Held by another run, or deleted by it a moment ago and not yet gone.
  if (error == ERROR_SHARING_VIOLATION ||
      (error == ERROR_ACCESS_DENIED &&
       GetFileAttributesW(lock_path.c_str()) != INVALID_FILE_ATTRIBUTES)) {
    return Outcome::busy;
  }
  return Outcome::unlockable;
}

void close_lock(std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }
#else
// The model file itself is locked. The run before may replace it while this one waits;
// then the file locked is the old one, and the one now named is locked instead.

bool same_file(int descriptor, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(descriptor, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

Outcome try_lock(const std::string& model_path, const std::string& output_path,
                 std::intptr_t& handle) {
  const int descriptor = open(model_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    return Outcome::not_in_place;  // the read reports why
  }
  // The output is compared while the model path names the opened file both before and
  // after, so that a run replacing the model meanwhile cannot make the two seem different.
  struct stat status {};
  const bool in_place = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                        same_file(descriptor, output_path);
  Outcome outcome = Outcome::replaced;
  if (same_file(descriptor, model_path)) {
    outcome = Outcome::not_in_place;
    if (in_place) {
      if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        outcome = same_file(descriptor, model_path) ? Outcome::locked : Outcome::replaced;
      } else {
        outcome = errno == EWOULDBLOCK || errno == EINTR ? Outcome::busy : Outcome::unlockable;
      }
    }
  }
  if (outcome == Outcome::locked) {
    handle = descriptor;
  } else {
    close(descriptor);
  }
  return outcome;
}

void close_lock(std::intptr_t handle) { close(static_cast<int>(handle)); }
#endif

}  // namespace

ModelLock lock_model_for_edit(const std::string& model_path, const std::string& output_path) {
  const auto deadline = std::chrono::steady_clock::now() + lock_patience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    ModelLock lock;
    switch (try_lock(model_path, output_path, lock.handle)) {
      case Outcome::locked:
        return lock;
      case Outcome::not_in_place:  // another output, or no model to read: nothing to hold
      case Outcome::unlockable:    // a file system without locks: the edit goes unserialised
        return {};
      case Outcome::replaced:
        break;
      case Outcome::busy:
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      fatal("Model file is still locked by another run", -1);
    }
  }
}

void release_model_lock(ModelLock& lock) {
  if (lock.handle != -1) {
    close_lock(lock.handle);
    lock.handle = -1;
  }
}

}  // namespace fmskins
