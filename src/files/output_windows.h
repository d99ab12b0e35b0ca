#pragma once

// The Windows writer's parts, one file each, as on POSIX systems: naming the output and
// deciding how it is written (output_file_windows.cpp), moving the bytes
// (output_copy_windows.cpp), replacing a file through a temporary one
// (output_replace_windows.cpp), and the console's interrupts (signal_guard_windows.cpp).

#include <windows.h>

#include <string>

#include "files/output_file.h"

namespace fmskins {

// Writes the output's pieces to `handle`, in order, each from the model image or the
// tool's own bytes. False on any failure.
bool write_fully(HANDLE handle, const OutputRequest& request);

// Writes the result to a temporary file beside `path`, flushes it, gives it what the file
// it replaces had (when `exists`) and renames it over `path` in one step. Every failure
// ends the run with nothing replaced and no temporary file left, except where the
// temporary is the only copy of the model there is.
void replace_through_temporary(const std::wstring& path, const OutputRequest& request, bool exists);

// True when `path` names the disk file that `handle` is open on (the same volume and file
// index), whatever name either was given.
bool same_disk_file(const std::wstring& path, HANDLE handle);

// The steps of replace_through_temporary, each a function of its own so that the Windows
// test runner can take them one at a time on the volume it is run from, and say which the
// volume refuses.

// The temporary file, its handle, and the model file still open where the rename allows.
struct Temporary {
  std::wstring name;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool may_set_access = false;  // the handle has WRITE_DAC
  bool may_set_owner = false;   // the handle has WRITE_OWNER, with the privilege for it
  int model_descriptor = -1;
};

// Creates the temporary file beside `path` (the output; `exists` when there is a file to
// replace), with only the rights its later calls need. Ends the run when it cannot.
Temporary create_temporary(const std::wstring& path, bool exists);

// How the temporary file is marked to go when its last handle closes.
enum class DeletionMark {
  on_close,  // the on-close state (Windows 10 and later, where the file system has it),
             // under which every call on the handle stays allowed
  pending,   // the older mark, after which the system promises only a close, though NTFS
             // allows the rest; for systems and file systems without the on-close state
  none,      // neither was taken: the file stays if the run is ended from outside
};
DeletionMark mark_for_deletion(HANDLE handle);
// Takes the mark back, by the same route it was set. False on failure.
bool clear_deletion_mark(HANDLE handle, DeletionMark mark);

// Gives the temporary file the attributes, creation time, access list and (where it may)
// owner of the file at `path`. Ends the run, nothing replaced, where the access list would
// widen.
void keep_what_the_output_had(const std::wstring& path, Temporary& temporary);

// Renames the open file over `path` by its handle, with the call that replaces even a file
// open elsewhere with delete sharing (the model, which the tool keeps open to the end for
// that reason). False with the last error set where it fails or the system lacks it.
bool rename_by_handle(HANDLE handle, const std::wstring& path);
// Renames the temporary over `path` in one step: by its handle, or else, wherever that call
// is not to be had (an older system, FAT32, exFAT, some network file systems), by name
// once the model is closed. False with the last error set on failure.
bool rename_over(Temporary& temporary, const std::wstring& path);

// The console handler: what a Ctrl-C, Ctrl-Break or closed console does to the run.
BOOL WINAPI end_run_on_interrupt(DWORD event);

// The C library's error number for a failed file call, as the tool's statuses use them.
int error_number_of(DWORD error);

[[noreturn]] void cannot_open(int error_number);

// Ctrl-C, Ctrl-Break, a closed console, logging off, shutting down: from the start of the
// run, any of them ends it with the status Windows' own handling gives (STATUS_CONTROL_C_EXIT,
// a negative %ERRORLEVEL%, which `if %ERRORLEVEL% NEQ 0` catches and `if errorlevel 1` does
// not), after removing the temporary output file, if there is one, and waiting for a
// rename in progress to end; once the new model is in place, the run finishes instead.
void guard_console_interrupts();
// Records the temporary output file, removed if an interrupt ends the run while it exists.
void guard_temporary(const std::wstring& temporary);
// The temporary is about to be put in the output's place: an interrupt waits until that
// ends. Where an interrupt has claimed the temporary first, never returns: the run is
// being ended, and the old file stays.
void replacing_temporary();
// The rename failed: an interrupt may remove the temporary again.
void temporary_may_go();
// The new model is in the output's place: an interrupt from now on lets the run finish.
void temporary_replaced();
void release_temporary_guard();

}  // namespace fmskins
