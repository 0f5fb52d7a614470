// What the operator sees while several ports are flashed at once. On a terminal, one line
// per port, redrawn in place as a whole: how it ended and the serial first, so that no
// width of the terminal can hide them, then the port, its device, its own clock, and the
// bar with the current entry or why the run did not pass. On a terminal narrower than
// kNarrowestBoard, and when the output is no terminal, plain lines instead, one an event,
// each after its port's name; with JSON on standard output, nothing at all.
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
    // Below this many columns a port's line has no room beside its result.
    static constexpr int kNarrowestBoard = 60;

    PortBoard(std::FILE* out, const std::vector<QString>& ports, Mode mode);
    ~PortBoard();

    // The feedback of the run on port i.
    OperatorFeedback& Feedback(size_t i);
    void Started(size_t i, const QString& device);
    // How the run on port i ended (PASS, FAIL, EMPTY …), the serial the device was given
    // if it was given one, and anything more to say (why it failed, what to do next).
    void Ended(size_t i, const QString& result, const QString& serial, const QString& detail);
    // Draws the last frame and stops redrawing.
    void Finish();

    // One port's line as drawn on a terminal, shorter than width characters.
    struct Line {
        QString port;
        QString device;
        QString status;
        int progress = 0;
        qint64 elapsedMs = 0;
        bool running = false;
        QString result;  // empty while the run goes on, or before one started
        QString serial;
        QString detail;
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
