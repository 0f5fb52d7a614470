// Text from outside the program (package entry names, file paths) on its way to a
// terminal: control characters and bytes that are not UTF-8 would be taken by the
// terminal as commands (an escape sequence can clear the screen or retitle the window),
// so they are shown as \xNN instead.
#pragma once

#include <cstdio>
#include <string>

namespace korvane {

// The bytes with every control character (C0, DEL and the C1 range) and every byte that
// is not part of a valid UTF-8 sequence written as \xNN; everything else unchanged.
std::string TerminalSafe(const std::string& text);

// The columns of the terminal out writes to; 0 when it is not a terminal or does not say.
int TerminalColumns(std::FILE* out);

}  // namespace korvane
