#pragma once

// Text as the report shows it, in one place: a text stored in a model taken into the
// tool's inside encoding, and any text from a model or the command line made safe for a
// terminal. The chunk format and the model pass know bytes only; the ANSI code page
// conversions themselves are in windows_text.h.

#include <string>
#include <string_view>

namespace fmskins {

// A text stored in a model (a skin path, an identifier), in the tool's inside encoding:
// unchanged on POSIX systems; converted from the ANSI code page on Windows.
std::string stored_text_for_report(std::string_view stored);

// Text from a model file or the command line made safe for a terminal: control characters
// become \xHH, one per byte as stored: C0 controls and DEL; C1 controls (U+0080 to U+009F),
// whether written in UTF-8 or as single bytes 80 to 9F outside any UTF-8 sequence. Every
// other byte is kept exactly as it is.
std::string printable_text(std::string_view text);

}  // namespace fmskins
