#include "cli/windows_text.h"

#include <windows.h>

namespace fmskins {
namespace {

std::wstring to_wide(UINT code_page, std::string_view bytes) {
  if (bytes.empty()) {
    return {};
  }
  const auto size = static_cast<int>(bytes.size());
  const int length = MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  (void)MultiByteToWideChar(code_page, 0, bytes.data(), size, wide.data(), length);
  return wide;
}

// `defaulted`, when given, is set when a character had no place in the code page.
std::string from_wide(UINT code_page, std::wstring_view wide, DWORD flags, BOOL* defaulted) {
  if (wide.empty()) {
    return {};
  }
  const auto size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(code_page, flags, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  (void)WideCharToMultiByte(code_page, flags, wide.data(), size, bytes.data(), length, nullptr,
                            defaulted);
  return bytes;
}

}  // namespace

std::wstring widen(std::string_view utf8) { return to_wide(CP_UTF8, utf8); }

std::string narrow(std::wstring_view wide) { return from_wide(CP_UTF8, wide, 0, nullptr); }

std::string to_ansi_code_page(std::string_view utf8, bool exact, bool* lossless) {
  // A system whose ANSI code page is UTF-8 holds every character, and takes no flags.
  const bool utf8_system = GetACP() == CP_UTF8;
  BOOL defaulted = FALSE;
  std::string bytes =
      from_wide(CP_ACP, widen(utf8), exact && !utf8_system ? WC_NO_BEST_FIT_CHARS : 0,
                lossless != nullptr && !utf8_system ? &defaulted : nullptr);
  if (lossless != nullptr) {
    *lossless = defaulted == FALSE;
  }
  return bytes;
}

std::string from_ansi_code_page(std::string_view bytes) { return narrow(to_wide(CP_ACP, bytes)); }

std::wstring name_start_within(std::wstring_view name, std::size_t max_bytes) {
  std::size_t used = 0;
  std::size_t end = 0;
  while (end < name.size()) {
    const wchar_t unit = name[end];
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && end + 1 < name.size() &&
                      name[end + 1] >= 0xDC00 && name[end + 1] <= 0xDFFF;
    const std::size_t bytes = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    if (used + bytes > max_bytes) {
      break;
    }
    used += bytes;
    end += pair ? 2 : 1;
  }
  return std::wstring(name.substr(0, end));
}

}  // namespace fmskins
