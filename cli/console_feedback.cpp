#include "cli/console_feedback.h"

#include <unistd.h>

#include <algorithm>

#include "cli/terminal_text.h"

namespace korvane {

namespace {
constexpr int kBarWidth = 40;
}  // namespace

std::string ProgressBarText(int position) {
    // Positions above 100 show as a full bar, as the window's bar does.
    const int shown = std::clamp(position, 0, 100);
    const int filled = shown * kBarWidth / 100;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "] " +
           (shown < 100 ? (shown < 10 ? "  " : " ") : "") + std::to_string(shown) + "%";
}

ConsoleFeedback::ConsoleFeedback(std::FILE* out) : out(out), terminal(isatty(fileno(out)) != 0) {}

ConsoleFeedback::~ConsoleFeedback() {
    EndProgressLine();
}

void ConsoleFeedback::EndProgressLine() {
    std::lock_guard<std::mutex> lock(mutex);
    if (barShown) {
        std::fputc('\n', out);
        barShown = false;
        std::fflush(out);
    }
}

void ConsoleFeedback::ShowStatus(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (barShown) {
        std::fputs("\r\033[K", out);  // the bar's line becomes the status line
        barShown = false;
    }
    std::fprintf(out, "%s\n", TerminalSafe(text).c_str());
    std::fflush(out);
}

void ConsoleFeedback::Progress(int position) {
    if (!terminal) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(out, "\r  %s", ProgressBarText(position).c_str());
    barShown = true;
    std::fflush(out);
}

void ConsoleFeedback::ShowSequenceNumber(int sequenceNumber) {
    std::lock_guard<std::mutex> lock(mutex);
    nextNumber = sequenceNumber;
}

std::optional<int> ConsoleFeedback::NextNumber() {
    std::lock_guard<std::mutex> lock(mutex);
    return nextNumber;
}

}  // namespace korvane
