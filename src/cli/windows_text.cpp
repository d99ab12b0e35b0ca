#include "cli/windows_text.h"

#include <windows.h>

namespace fmskins {

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  (void)MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                            length);
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(length), '\0');
  (void)WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                            length, nullptr, nullptr);
  return utf8;
}

std::string to_ansi_code_page(std::string_view utf8, bool exact, bool* lossless) {
  if (lossless != nullptr) {
    *lossless = true;
  }
  const std::wstring wide = widen(utf8);
  if (wide.empty()) {
    return {};
  }
  // A system whose ANSI code page is UTF-8 holds every character, and takes no flags.
  const bool utf8_system = GetACP() == CP_UTF8;
  const DWORD flags = exact && !utf8_system ? WC_NO_BEST_FIT_CHARS : 0;
  BOOL defaulted = FALSE;
  const int length = WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  (void)WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), bytes.data(),
                            length, nullptr,
                            lossless != nullptr && !utf8_system ? &defaulted : nullptr);
  if (lossless != nullptr) {
    *lossless = defaulted == FALSE;
  }
  return bytes;
}

std::string from_ansi_code_page(std::string_view bytes) {
  if (bytes.empty()) {
    return {};
  }
  const int length =
      MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  (void)MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                            length);
  return narrow(wide);
}

}  // namespace fmskins
