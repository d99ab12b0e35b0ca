#pragma once

#include <string>
#include <string_view>

namespace fmskins {

// Everything the tool prints goes through here, to standard output, printf-style.
//
// On POSIX systems the text goes out as it is. On Windows the tool's texts are UTF-8 inside
// (typed arguments are taken as UTF-16 and converted), and they go out as a Windows program
// of the game's era would print them: to a console as UTF-16 text, so every name shows
// correctly whatever the console's code page; to a file or pipe as the system's ANSI code
// page, the bytes such programs have always written.
#if defined(__MINGW32__)
void report(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#elif defined(__GNUC__)
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void report(const char* format, ...);
#endif

// Sends everything reported so far on its way, before something else writes to the same
// place. False when any of the report so far could not be written (a reader that left, a
// full disk).
bool flush_report();

}  // namespace fmskins
