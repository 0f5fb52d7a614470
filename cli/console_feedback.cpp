#include "cli/console_feedback.h"

#include <unistd.h>

#include <algorithm>

#include "cli/terminal_text.h"

namespace korvane {

std::string ProgressBarText(int position, int width) {
    // Positions above 100 show as a full bar, as the window's bar does.
    const int shown = std::clamp(position, 0, 100);
    const int filled = shown * width / 100;
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), ' ') + "] " + PercentText(position);
}

std::string PercentText(int position) {
    const int shown = std::clamp(position, 0, 100);
    return (shown < 100 ? (shown < 10 ? "  " : " ") : "") + std::to_string(shown) + "%";
}

std::string ClockText(int64_t milliseconds) {
    const int64_t seconds = std::max<int64_t>(milliseconds, 0) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
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
    const Clock::time_point now = Clock::now();
    // The bar starts again for each entry; its time left is that entry's, at the pace the
    // bar has kept since it started.
    if (position <= 0 || position < lastPosition) {
        barStart = now;
    }
    lastPosition = position;
    const auto since = [now](Clock::time_point from) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now - from).count();
    };
    std::string clock = "  " + ClockText(since(runStart));
    const int shown = std::clamp(position, 0, 100);
    if (shown > 0 && shown < 100) {
        clock += ", " + ClockText(since(barStart) * (100 - shown) / shown) + " left";
    }
    std::fprintf(out, "\r  %s%s\033[K", ProgressBarText(position).c_str(), clock.c_str());
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
