// Operator feedback for a terminal: status lines as they come, and a progress bar drawn in
// place when the output is a terminal (plain status lines otherwise, for logs and pipes).
// The bar carries the run's clock and the time its entry still needs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "flashing/operator_feedback.h"

namespace korvane {

class ConsoleFeedback : public OperatorFeedback {
public:
    explicit ConsoleFeedback(std::FILE* out);
    ~ConsoleFeedback() override;

    void ShowStatus(const std::string& text) override;
    void Progress(int position) override;
    void EnableCommands(bool) override {}
    void ShowSequenceNumber(int sequenceNumber) override;

    // Ends a progress bar that is still drawn, so the next text starts on a fresh line.
    void EndProgressLine();
    // The next sequence number, once the run has moved the counter on: said with the
    // serial the device was given, when the run has ended.
    std::optional<int> NextNumber();

private:
    std::FILE* out;
    bool terminal;
    bool barShown = false;
    std::optional<int> nextNumber;
    std::mutex mutex;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point runStart = Clock::now();
    Clock::time_point barStart = runStart;  // when the bar last started from its left end
    int lastPosition = 0;
};

// The width of a full bar between its brackets.
constexpr int kFullBarWidth = 40;

// The bar as drawn on a terminal line, e.g. "[#####               ]  25%", with width
// columns between the brackets.
std::string ProgressBarText(int position, int width = kFullBarWidth);

// The bar's percentage alone, four columns wide: " 25%".
std::string PercentText(int position);

// A duration as minutes and seconds, "07:05"; past an hour the minutes go on counting.
std::string ClockText(int64_t milliseconds);

}  // namespace korvane
