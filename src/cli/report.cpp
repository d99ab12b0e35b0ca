#include "cli/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include "cli/windows_text.h"
#endif

namespace fmskins {
namespace {

// Set when text written to a console could not be written.
bool report_lost = false;

}  // namespace

#if defined(_WIN32)
namespace {

void write_report_text(std::string_view text) {
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (console != nullptr && console != INVALID_HANDLE_VALUE &&
      GetConsoleMode(console, &mode) != 0) {
    // Text written before, by another path, goes first.
    (void)std::fflush(stdout);
    const std::wstring wide = widen(text);
    std::size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      const auto count = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
      if (WriteConsoleW(console, wide.data() + done, count, &written, nullptr) == 0 ||
          written == 0) {
        report_lost = true;
        return;
      }
      done += written;
    }
    return;
  }
  // Without best fit: a character the code page lacks shows as "?", never as a different
  // character that a reader would take for the real one.
  const std::string bytes = to_ansi_code_page(text, true, nullptr);
  (void)std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

}  // namespace

// The report is printf-style by design: every line is a format string the compiler checks.
void report(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list measure;
  va_copy(measure, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    (void)std::vsnprintf(text.data(), text.size(), format, arguments);
    write_report_text(std::string_view(text.data(), static_cast<std::size_t>(length)));
  }
  va_end(arguments);
}

#else
// The report is printf-style by design: every line is a format string the compiler checks.
void report(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  (void)std::vprintf(format, arguments);
  va_end(arguments);
}

#endif

bool flush_report() { return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 && !report_lost; }

}  // namespace fmskins
