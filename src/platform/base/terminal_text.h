// Text that may have come from outside (a service's reply, a file) made safe to write to a terminal.
#pragma once

#include <string>
#include <string_view>

namespace lv {

// The text with everything that could steer a terminal or split a line written visibly: "\t", "\n",
// "\r" and "\\" for the tab, line ends and backslash; "\x1b" for the other C0 controls and DEL (NUL
// too); "\u0085" for the C1 controls U+0080 to U+009F; "\u202e" for the bidirectional controls (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) and the line and paragraph separators U+2028 and
// U+2029; "\x9b" for each byte that is not part of well-formed UTF-8. Everything else is kept.
std::string terminalText(std::string_view text);

}  // namespace lv
