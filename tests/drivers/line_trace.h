// What QEMU's trace says the guest's drivers did to its two serial ports: every modem-line
// change, line setting and latency-timer request, stamped with the host's wall clock.
// The trace file is read as QEMU writes it, line by line, and decoded into events; the
// modem-line states go on to whoever plays the device at the far end of each port.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace korvane::testing {

// Seconds on the host's wall clock, the clock of QEMU's trace stamps.
double WallNow();

// The guest's two ports: the FTDI adapter on USB (/dev/ttyUSB0, ftdi_sio) and the 16550
// (/dev/ttyS1, the 8250 driver).
enum class GuestPort { kFtdi, kUart };
const char* GuestPortName(GuestPort port);

struct LineEvent {
    enum class Kind {
        kModemLines,    // dtr, rts: the lines as they are after the change; value: the
                        // request (FTDI) or the modem control register (16550)
        kDataFormat,    // dataBits, parity ('N', 'O', 'E', 'M', 'S'), stopBits
        kBaud,          // value: bits per second
        kFlowControl,   // value: the FTDI flow-control mode (0: none)
        kLatencyTimer,  // value: milliseconds (FTDI)
    };
    double time = 0;
    GuestPort port = GuestPort::kFtdi;
    Kind kind = Kind::kModemLines;
    bool dtr = false;
    bool rts = false;
    int value = 0;
    int dataBits = 0;
    char parity = '?';
    int stopBits = 0;
};

// A failure's story: the trace's events, the harness's own steps, the bytes each device
// received and what the guest ran, in the order of the host's clock.
class Timeline {
public:
    void Add(double time, const std::string& source, const std::string& text);
    // The entries from a time on, one a line: "+12.345678 source  text", seconds after
    // the first entry of all.
    std::string TextFrom(double from) const;

private:
    struct Entry {
        double time;
        std::string source;
        std::string text;
    };
    mutable std::mutex mutex;
    std::vector<Entry> entries;
};

class LineTrace {
public:
    using LinesChanged = std::function<void(GuestPort port, bool dtr, bool rts, double time)>;

    LineTrace(std::string path, Timeline& timeline, LinesChanged linesChanged);
    ~LineTrace();
    LineTrace(const LineTrace&) = delete;
    LineTrace& operator=(const LineTrace&) = delete;

    // Reads and decodes what QEMU has written since the last call. Safe from any thread;
    // linesChanged is called from here, in the order of the trace.
    void Drain();
    // The events so far (after a Drain) from a time on.
    std::vector<LineEvent> EventsFrom(double from) const;

private:
    void Decode(const std::string& line);
    void Emit(const LineEvent& event, const std::string& text);

    const std::string path;
    Timeline& timeline;
    LinesChanged linesChanged;
    mutable std::mutex mutex;
    int fd = -1;
    std::string partial;  // a line QEMU has not finished writing yet
    std::vector<LineEvent> events;
    // The FTDI adapter's lines: a request may change only one of them.
    bool ftdiDtr = false;
    bool ftdiRts = false;
};

}  // namespace korvane::testing
