#include "cli/windows_text.h"

#include <windows.h>

#include <array>

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

std::wstring full_path(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return {};
  }
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    return {};
  }
  full.resize(length);
  return full;
}

std::wstring system_path(std::string_view utf8) {
  // Room for the temporary file's longer name beside it.
  constexpr std::size_t long_name = 200;
  const std::wstring wide = widen(utf8);
  if (wide.starts_with(L"\\\\?\\")) {
    return wide;
  }
  const std::wstring full = full_path(wide);
  if (full.size() < long_name || full.starts_with(L"\\\\.\\")) {
    return wide;
  }
  return full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

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

std::string from_ansi_code_page(std::string_view bytes) {
  // Most texts convert whole; only one that does not is taken character by character.
  const auto size = static_cast<int>(bytes.size());
  if (bytes.empty() ||
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0) > 0) {
    return narrow(to_wide(CP_ACP, bytes));
  }
  constexpr std::string_view hex_digits = "0123456789ABCDEF";
  std::string text;
  for (std::size_t index = 0; index < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[index]);
    const std::size_t length =
        IsDBCSLeadByteEx(CP_ACP, byte) != 0 && index + 1 < bytes.size() ? 2 : 1;
    std::array<wchar_t, 2> wide{};
    const int got = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data() + index,
                                        static_cast<int>(length), wide.data(), 2);
    if (got > 0) {
      text += narrow(std::wstring_view(wide.data(), static_cast<std::size_t>(got)));
      index += length;
    } else {
      text += "\\x";
      text += hex_digits[byte >> 4U];
      text += hex_digits[byte & 0x0FU];
      index += 1;
    }
  }
  return text;
}

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
