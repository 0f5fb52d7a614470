#include "cli/port_board.h"

#include <algorithm>
#include <chrono>

#include "cli/console_feedback.h"
#include "cli/terminal_text.h"
#include "station/fixture_watch.h"

namespace korvane {

namespace {
// Often enough for a clock and a bar to look live, seldom enough to cost nothing.
constexpr auto kRedrawPeriod = std::chrono::milliseconds(200);
// For a terminal that does not say how wide it is.
constexpr int kDefaultWidth = 100;
// The result and the serial take this many columns on every line ("PASS K352264900041"),
// so that the ports' names line up below each other.
constexpr int kHeadColumns = 18;
// A port's or a device's name beyond this many columns is shortened in its middle.
constexpr int kNameColumns = 24;
// A bar narrower than this says nothing; its percentage alone stays instead.
constexpr int kNarrowestBar = 10;
// The room a shrinking bar leaves for the status line ("Writing the file: [MCU.BIN] ...").
constexpr int kStatusColumns = 31;

QString Safe(const QString& text) {
    return QString::fromStdString(TerminalSafe(text.toStdString()));
}

// Names of serial devices share their start (/dev/serial/by-id/usb-FTDI_…) and differ at
// their end (the adapter's serial, port0): a little of the start stays, to show what kind
// of name it is, and most of the end.
QString ElideMiddle(const QString& text, int columns) {
    if (text.size() <= columns) {
        return text;
    }
    const int kept = columns - 1;
    const int front = kept / 4;
    return text.left(front) + QChar(0x2026) + text.right(kept - front);
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
    const int columns = TerminalColumns(out);
    if (mode == Mode::kLiveLines && columns > 0 && columns < kNarrowestBoard) {
        this->mode = Mode::kPlainLines;
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        lines[i].port = ports[i];
        feedbacks.push_back(std::make_unique<PortFeedback>(*this, i));
    }
    if (this->mode == Mode::kLiveLines) {
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
    Line& line = lines[i];
    line.device = device;
    line.status.clear();
    line.progress = 0;
    line.running = true;
    line.result.clear();
    line.serial.clear();
    line.detail.clear();
    clocks[i].start();
}

void PortBoard::Ended(size_t i, const QString& result, const QString& serial,
                      const QString& detail) {
    std::lock_guard<std::mutex> lock(mutex);
    Line& line = lines[i];
    line.elapsedMs = clocks[i].isValid() ? clocks[i].elapsed() : 0;
    line.running = false;
    line.result = result;
    line.serial = serial;
    line.detail = detail;
    if (mode == Mode::kPlainLines) {
        const QString said = serial.isEmpty() ? result : result + " " + serial;
        std::fprintf(
            out, "%s: %s\n", line.port.toLocal8Bit().constData(),
            TerminalSafe((detail.isEmpty() ? said : said + ": " + detail).toStdString()).c_str());
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
    const int room = width - 1;  // a character in the last column wraps on some terminals
    QString head =
        line.running ? QString::fromLatin1(FixtureStateWord(FixtureState::kFlashing)) : line.result;
    if (!line.serial.isEmpty()) {
        head += QLatin1Char(' ') + line.serial;
    }
    QString text =
        Safe(head).leftJustified(kHeadColumns) + "  " + ElideMiddle(Safe(line.port), kNameColumns);
    // A port named by its device path is not shown twice.
    if (!line.device.isEmpty() && line.device != line.port) {
        text += "  " + ElideMiddle(Safe(line.device), kNameColumns);
    }
    text += "  " + QString::fromStdString(ClockText(line.elapsedMs));
    const QString tail = Safe(line.running ? line.status : line.detail);
    if (line.running) {
        // The bar shrinks to leave the status line its room; too short, it goes.
        const int besideBar = static_cast<int>(ProgressBarText(0, 0).size()) + 2;
        const int forTail = tail.isEmpty() ? 0 : 2 + std::min<int>(tail.size(), kStatusColumns);
        const int barWidth =
            std::min(kFullBarWidth, room - static_cast<int>(text.size()) - besideBar - forTail);
        text += "  " + QString::fromStdString(barWidth >= kNarrowestBar
                                                  ? ProgressBarText(line.progress, barWidth)
                                                  : PercentText(line.progress));
    }
    if (!tail.isEmpty()) {
        text += "  " + tail;
    }
    return text.left(room);
}

void PortBoard::Redraw() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished) {
        DrawFrame();
        wake.wait_for(lock, kRedrawPeriod);
    }
}

void PortBoard::DrawFrame() {
    const int columns = TerminalColumns(out);
    const int width = columns > 0 ? columns : kDefaultWidth;
    // The whole frame in one write: the lines never flicker or mix with other output.
    QByteArray frame;
    if (drawn) {
        frame += QStringLiteral("\033[%1A").arg(lines.size()).toLatin1();
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        Line line = lines[i];
        if (line.running && clocks[i].isValid()) {
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
