#include "cli/shown_text.h"

#include <cstddef>

#if defined(_WIN32)
#include "cli/windows_text.h"
#endif

namespace fmskins {
namespace {

// The length of the well-formed UTF-8 sequence that starts at `index`, or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t index) {
  const auto byte_at = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned lead = byte_at(index);
  std::size_t length = 0;
  unsigned second_low = 0x80U;
  unsigned second_high = 0xBFU;
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
    second_low = lead == 0xE0U ? 0xA0U : second_low;    // no overlong forms
    second_high = lead == 0xEDU ? 0x9FU : second_high;  // no surrogates
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
    second_low = lead == 0xF0U ? 0x90U : second_low;
    second_high = lead == 0xF4U ? 0x8FU : second_high;  // nothing past U+10FFFF
  }
  if (length == 0 || text.size() - index < length) {
    return 0;
  }
  for (std::size_t next = 1; next < length; ++next) {
    const unsigned byte = byte_at(index + next);
    if (byte < (next == 1 ? second_low : 0x80U) || byte > (next == 1 ? second_high : 0xBFU)) {
      return 0;
    }
  }
  return length;
}

void append_escaped(std::string& printable, unsigned char byte) {
  constexpr std::string_view hex_digits = "0123456789ABCDEF";
  printable += "\\x";
  printable += hex_digits[byte >> 4U];
  printable += hex_digits[byte & 0x0FU];
}

}  // namespace

#if defined(_WIN32)
std::string stored_text_for_report(std::string_view stored) { return from_ansi_code_page(stored); }
#else
std::string stored_text_for_report(std::string_view stored) { return std::string(stored); }
#endif

std::string printable_text(std::string_view text) {
  std::string printable;
  printable.reserve(text.size());
  for (std::size_t index = 0; index < text.size();) {
    const auto byte = static_cast<unsigned char>(text[index]);
    const std::size_t length = byte < 0x80U ? 1 : utf8_sequence_length(text, index);
    const bool c1_control =
        length == 2 && byte == 0xC2U && static_cast<unsigned char>(text[index + 1]) <= 0x9FU;
    if (byte < 0x20U || byte == 0x7FU || (length == 0 && byte <= 0x9FU)) {
      append_escaped(printable, byte);  // a C0 control, or a stray C1 byte of an 8-bit text
    } else if (c1_control) {
#if defined(_WIN32)
      // Inside text converted from the code page: the byte stored is the code point's.
      append_escaped(printable, static_cast<unsigned char>(text[index + 1]));
#else
      append_escaped(printable, byte);
      append_escaped(printable, static_cast<unsigned char>(text[index + 1]));
#endif
    } else {
      printable.append(text.substr(index, length == 0 ? 1 : length));
    }
    index += length == 0 ? 1 : length;
  }
  return printable;
}

}  // namespace fmskins
