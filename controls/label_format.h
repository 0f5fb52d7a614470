// The text of a progress label: a printf-style format with one integer argument.
#pragma once

#include <QString>

namespace korvane {

// Substitutes value into the first integer conversion of format (d, i, o, u, x or X, with
// printf flags, width and precision) and turns "%%" into "%". The format comes from the
// control's window text, so anything else, such as a second conversion or one that would
// read a string or a pointer, is shown as written instead of being handed to printf.
// Width and precision are capped at 64.
QString FormatLabel(const QString& format, int value);

}  // namespace korvane
