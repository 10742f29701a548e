// Byte strings written as text: C escapes on input, a printable form for the
// log lines.
#pragma once

#include <string>
#include <string_view>

namespace zelmodsim {

// Decodes \\ \n \r \t \0 and \xHH (exactly two hex digits); any other
// backslash sequence throws zel::ParseError.
std::string DecodeEscapes(std::string_view text);

// Printable ASCII stays, a backslash becomes \\ and every other byte \xHH
// (lower-case hex), so a log line stays one line and can be decoded again.
std::string EscapeForLog(std::string_view bytes);

}  // namespace zelmodsim
