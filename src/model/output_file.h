#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace fmskins {

// Writes the finished model to `path` so that no failure can lose what was there.
//
// A regular file (or a new one) is written to a temporary file in the same directory,
// flushed to disk and renamed over the target: at every instant the path holds either the
// old file or the complete new one. An existing file keeps its permission bits (and, where
// allowed, its owner); a symbolic link stays a link and the file it points to is replaced.
// Anything else (a device, a pipe, the tool's own standard output) is written directly.
//
// Every failure removes the temporary file and ends the run through fatal().
void write_output_file(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace fmskins
