#pragma once

// The POSIX writer's parts, one file each: naming the output and deciding how it is written
// (output_file_posix.cpp), moving the bytes (output_copy_posix.cpp) and replacing a file
// through a temporary one (output_replace_posix.cpp). Signals are in signal_guard.h.

#include <sys/stat.h>

#include <string>

#include "files/output_file.h"

namespace fmskins {

// Writes the output's pieces to `descriptor`, in order, the model's ranges moved in the
// kernel wherever the system allows. With `flush_early`, the disk writes of each block are
// started once it is written. False on any failure, a model file that ended early among
// them.
bool write_pieces(int descriptor, const OutputRequest& request, bool flush_early);

// Where the output goes: its folder, opened once when the run looks at the output (links on
// the way followed then, and never again), and its name in that folder. Everything after is
// done relative to the open folder, so that nothing done to the path afterwards (a folder
// renamed, or swapped for a link) can move the write to another folder.
struct OutputPlace {
  int directory = -1;  // the folder, open
  std::string name;    // the file's name in it, never a link when it was looked at
  std::string shown;   // the folder as a path, for messages
};

// Writes the result to a temporary file beside the output, flushes it and renames it over
// the output's name. `existing` is the file being replaced, open (its mode, owner and
// extended attributes are kept; it is closed here), or -1 for a new file. Every failure ends
// the run with nothing replaced and no temporary file left, or, where the folder lets
// nothing be removed, a second line naming the file left.
void replace_through_temporary(const OutputPlace& place, const OutputRequest& request,
                               int existing);

// What a failed write of the output is reported as: a model file changed or cut short under
// the tool is the cause, where it was.
const char* write_failure(const OutputRequest& request);

[[noreturn]] void cannot_open(int error_number);

// Records that the standard descriptor `descriptor` was closed when the run began, and has
// been opened on /dev/null since: an output named by it is refused, as a closed one is.
void note_closed_at_start(int descriptor);

std::string directory_of(const std::string& path);
std::string name_of(const std::string& path);
bool same_file(const struct stat& one, const struct stat& other);
bool same_as_descriptor(const struct stat& opened, int descriptor);

}  // namespace fmskins
