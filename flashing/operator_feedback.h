// What the flashing engine tells the operator, and how: the window implements this on its
// own thread, the command-line tool by printing. A call from the engine's worker returns
// only once it has been applied.
#pragma once

#include <string>

namespace korvane {

class OperatorFeedback {
public:
    virtual ~OperatorFeedback() = default;

    // The status line, printf-style. The text has no length limit.
    void Status(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    virtual void ShowStatus(const std::string& text) = 0;
    // Progress bar position: a percentage, 0 … 100.
    virtual void Progress(int position) = 0;
    // Cancel, Update and Reset, on or off together.
    virtual void EnableCommands(bool on) = 0;
    virtual void ShowSequenceNumber(int sequenceNumber) = 0;
};

// Formats like printf into a string of whatever length is needed.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace korvane
