#pragma once

// Windows only: conversions between the tool's inside encoding (UTF-8), the system's wide
// strings (UTF-16) and the ANSI code page, the 8-bit text that model files store.

#include <string>
#include <string_view>

namespace fmskins {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);  // to UTF-8

// The full form of `path` (drive or share, folders, name), or "" where the system cannot
// make one.
std::wstring full_path(const std::wstring& path);

// A file name as the system's file calls take it: UTF-16, and where its full form is long
// enough that it, or the temporary file made beside it, could pass the 260 characters a
// system without long paths enabled allows, as that full form behind \\?\, which every
// system takes at any length. Shorter names and devices go as they are.
std::wstring system_path(std::string_view utf8);

// UTF-8 to the ANSI code page. With `exact`, no character is replaced by a look-alike, and
// `lossless` (when given) tells whether every character could be kept.
std::string to_ansi_code_page(std::string_view utf8, bool exact, bool* lossless);

// ANSI code page bytes to UTF-8. A byte that is no text in the code page (a lead byte of a
// double-byte code page without its trail byte, say) is shown as \xHH, never as a look-alike
// character, and never takes the bytes after it with it.
std::string from_ansi_code_page(std::string_view bytes);

// The longest start of `name` that ends on a whole character and takes at most `max_bytes`
// in UTF-8, so that a name made from it fits every file system's limit on name length.
std::wstring name_start_within(std::wstring_view name, std::size_t max_bytes);

}  // namespace fmskins
