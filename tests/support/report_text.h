#pragma once

// The tool's console texts, written out independently of the tool's own sources, so that
// every test compares the report byte for byte against what users are promised.

#include <string>
#include <string_view>

namespace fmskins::test {

// The status of a run that ends with -1, as the parent process sees it: the low eight bits
// on POSIX systems, the whole value on Windows.
#if defined(_WIN32)
inline constexpr int failure_status = -1;
#else
inline constexpr int failure_status = 255;
#endif

inline std::string banner() {
  return "Executing fmskins\n"
         "by the fmskins developers (fmskins@tarnvale-modding.invalid)....\n";
}

inline std::string usage() {
  return "\nProgram: fmskins\n"
         "Purpose: Set paths to skins for Tarnvale FlexModels\n"
         "\n"
         "Usage:\n"
         "fmskins [/A] [/L] [/O outfile.fm] infile.fm skinpath [skinpath...]\n"
         "The /A option appends paths to current list (else replace current list).\n"
         "The /L option just lists the current skin paths without changing the model.\n"
         "The /O option writes output to a new file (else input file is overwritten).\n";
}

inline std::string fatal_line(std::string_view message) {
  return "\nFATAL: " + std::string(message) + "\n";
}

// "%-32s version %d, length %d bytes.\n"
inline std::string chunk_line(std::string_view identifier, long long version, long long size) {
  std::string line(identifier);
  if (line.size() < 32) {
    line.resize(32, ' ');
  }
  return line + " version " + std::to_string(version) + ", length " + std::to_string(size) +
         " bytes.\n";
}

inline std::string input_lines(std::string_view path, std::size_t length) {
  return "Input Model File: " + std::string(path) + "\n" + std::to_string(length) + " bytes\n";
}

inline std::string output_lines(std::string_view path, std::size_t length) {
  return "Output Model File: " + std::string(path) + "\n" + "Wrote: " + std::string(path) + ", " +
         std::to_string(length) + " bytes\n";
}

inline std::string skins_identified(long long count) {
  return "    " + std::to_string(count) + " skins identified.\n";
}

}  // namespace fmskins::test
