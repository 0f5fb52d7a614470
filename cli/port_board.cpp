#include "cli/port_board.h"

#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <chrono>

#include "cli/console_feedback.h"
#include "cli/terminal_text.h"

namespace korvane {

namespace {
// Often enough for a clock and a bar to look live, seldom enough to cost nothing.
constexpr auto kRedrawPeriod = std::chrono::milliseconds(200);
constexpr int kDefaultWidth = 100;

int TerminalWidth(std::FILE* out) {
#ifndef _WIN32
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 20) {
        return size.ws_col;
    }
#else
    (void)out;
#endif
    return kDefaultWidth;
}
}  // namespace

class PortBoard::PortFeedback : public OperatorFeedback {
public:
    PortFeedback(PortBoard& board, size_t index) : board(board), index(index) {}
    void ShowStatus(const std::string& text) override { board.Status(index, text); }
    void Progress(int position) override { board.Progress(index, position); }
    void EnableCommands(bool) override {}
    void ShowSequenceNumber(int) override {}

private:
    PortBoard& board;
    size_t index;
};

PortBoard::PortBoard(std::FILE* out, const std::vector<QString>& ports, Mode mode)
    : out(out), mode(mode), lines(ports.size()), clocks(ports.size()) {
    for (size_t i = 0; i < ports.size(); ++i) {
        lines[i].port = ports[i];
        feedbacks.push_back(std::make_unique<PortFeedback>(*this, i));
    }
    if (mode == Mode::kLiveLines) {
        painter = std::thread([this] { Redraw(); });
    }
}

OperatorFeedback& PortBoard::Feedback(size_t i) {
    return *feedbacks[i];
}

PortBoard::~PortBoard() {
    Finish();
}

void PortBoard::Started(size_t i, const QString& device) {
    std::lock_guard<std::mutex> lock(mutex);
    lines[i].device = device;
    lines[i].status.clear();
    lines[i].progress = 0;
    lines[i].outcome.clear();
    clocks[i].start();
}

void PortBoard::Ended(size_t i, const QString& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    lines[i].elapsedMs = clocks[i].isValid() ? clocks[i].elapsed() : 0;
    lines[i].outcome = outcome;
    if (mode == Mode::kPlainLines) {
        std::fprintf(out, "%s: %s\n", lines[i].port.toLocal8Bit().constData(),
                     TerminalSafe(outcome.toStdString()).c_str());
        std::fflush(out);
    }
    wake.notify_all();
}

void PortBoard::Status(size_t i, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    lines[i].status = QString::fromLocal8Bit(text.c_str());
    if (mode == Mode::kPlainLines) {
        std::fprintf(out, "%s: %s\n", lines[i].port.toLocal8Bit().constData(),
                     TerminalSafe(text).c_str());
        std::fflush(out);
    }
}

void PortBoard::Progress(size_t i, int position) {
    std::lock_guard<std::mutex> lock(mutex);
    lines[i].progress = position;
}

QString PortBoard::Render(const Line& line, int width) {
    const qint64 seconds = line.elapsedMs / 1000;
    const QString clock = QString::asprintf("%02lld:%02lld", seconds / 60, seconds % 60);
    // A port named by its device path is not shown twice.
    const QString device = line.device == line.port ? QString() : line.device + "  ";
    QString text = line.port + "  " + device +
                   QString::fromStdString(ProgressBarText(line.progress)) + "  " + clock + "  " +
                   (line.outcome.isEmpty() ? line.status : line.outcome);
    text = QString::fromStdString(TerminalSafe(text.toStdString()));
    return text.left(width - 1);
}

void PortBoard::Redraw() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished) {
        DrawFrame();
        wake.wait_for(lock, kRedrawPeriod);
    }
}

void PortBoard::DrawFrame() {
    const int width = TerminalWidth(out);
    // The whole frame in one write: the lines never flicker or mix with other output.
    QByteArray frame;
    if (drawn) {
        frame += QStringLiteral("\033[%1A").arg(lines.size()).toLatin1();
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        Line line = lines[i];
        if (line.outcome.isEmpty() && clocks[i].isValid()) {
            line.elapsedMs = clocks[i].elapsed();
        }
        frame += "\r\033[K" + Render(line, width).toUtf8() + "\n";
    }
    std::fwrite(frame.constData(), 1, static_cast<size_t>(frame.size()), out);
    std::fflush(out);
    drawn = true;
}

void PortBoard::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (finished) {
            return;
        }
        finished = true;
        wake.notify_all();
    }
    if (painter.joinable()) {
        painter.join();
        std::lock_guard<std::mutex> lock(mutex);
        DrawFrame();
    }
}

}  // namespace korvane
