// The debug output that every byte sent to the device is traced to.
//
// On Windows the text goes to OutputDebugStringA. Elsewhere it goes to the file named by
// the environment variable KORVANE_TRACE ("-" means standard error) and is dropped when
// the variable is unset, as debug output is when no debugger listens.
#pragma once

#include <string>

namespace korvane {

// Sends text to the debug output as it is, without adding a line end.
void DebugOutput(const char* text);

// While an object of this class lives, everything sent to the debug output is also
// collected in it. Captures nest: the innermost one collects.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::string Text() const;
    void Clear();

private:
    friend void DebugOutput(const char* text);
    void Append(const char* text);

    DebugCapture* outer;
    std::string text;
};

namespace detail {
// The platform's own sink; implemented once per OS.
void WritePlatformDebugOutput(const char* text);
}  // namespace detail

}  // namespace korvane
