#pragma once

#include <string_view>

#include "cli/command_line.h"
#include "model/model_image.h"

namespace fmskins {

// Reads the model file named by the options whole. A regular file is mapped instead where
// the system allows, so that only the pages looked at are read. A path that cannot be
// opened, or whose length cannot be found (a directory, a pipe), ends the run with the usage
// text and the error number as status; a failed or short read ends it with -1. On POSIX
// systems the file stays open (`descriptor`), so that it can be compared later however it is
// renamed; on Windows it is closed, since an open file there cannot be replaced.
ModelImage read_model_file(const RunOptions& options);

// True when the last part of `path` is a name that Windows gives to a device (CON, PRN, AUX,
// NUL, COM1 to COM9, LPT1 to LPT9, in any case) followed by an extension, such as "aux.fm":
// on Windows such a name opens the device, not a file, so the tool refuses it as the model
// and as the output, with `device_name_note` as the second line. A bare NUL or CON is the
// device the user asked for.
bool names_windows_device(std::string_view path);
inline constexpr const char* device_name_note =
    "On Windows, CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 are devices, whatever "
    "follows them after a dot: give the file another name.";

// True when another program cut the mapped model file short after it was mapped, and a page
// that was looked at was gone: its bytes read as zeros, and nothing made from them may be
// used.
bool model_cut_short(const ModelImage& model);

// True when the model was cut short (above), or when the model file's size or times differ
// from those seen when it was read: another program wrote to it meanwhile, and an edit of
// what was read would lose that program's bytes. Models that are no regular file are never
// reported changed.
bool model_changed_since_read(const ModelImage& model, const std::string& model_path);

}  // namespace fmskins
