// Operator feedback for a terminal: status lines as they come, and a progress bar drawn in
// place when the output is a terminal (plain status lines otherwise, for logs and pipes).
#pragma once

#include <cstdio>
#include <mutex>
#include <optional>

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
};

// The bar as drawn on a terminal line, e.g. "[#####               ]  25%".
std::string ProgressBarText(int position);

}  // namespace korvane
