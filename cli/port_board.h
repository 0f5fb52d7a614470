// What the operator sees while several ports are flashed at once. On a terminal, one line
// per port (port, device, the current entry, a bar, its own clock, then how it ended),
// redrawn in place as a whole; otherwise plain status lines, each after its port's name;
// with JSON on standard output, nothing at all.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "flashing/operator_feedback.h"

namespace korvane {

class PortBoard {
public:
    enum class Mode { kLiveLines, kPlainLines, kSilent };

    PortBoard(std::FILE* out, const std::vector<QString>& ports, Mode mode);
    ~PortBoard();

    // The feedback of the run on port i.
    OperatorFeedback& Feedback(size_t i);
    void Started(size_t i, const QString& device);
    void Ended(size_t i, const QString& outcome);
    // Draws the last frame and stops redrawing.
    void Finish();

    // One port's line as drawn on a terminal, at most width characters.
    struct Line {
        QString port;
        QString device;
        QString status;
        int progress = 0;
        qint64 elapsedMs = 0;
        QString outcome;  // empty while the run goes on
    };
    static QString Render(const Line& line, int width);

private:
    class PortFeedback;

    void Status(size_t i, const std::string& text);
    void Progress(size_t i, int position);
    void Redraw();
    void DrawFrame();

    std::FILE* out;
    Mode mode;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Line> lines;
    std::vector<QElapsedTimer> clocks;
    std::vector<std::unique_ptr<PortFeedback>> feedbacks;
    bool drawn = false;
    bool finished = false;
    std::thread painter;
};

}  // namespace korvane
