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
