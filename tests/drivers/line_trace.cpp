#include "drivers/line_trace.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace korvane::testing {

namespace {
// The FTDI vendor requests that the trace names by number.
constexpr unsigned kSetModemControl = 0x4001;
constexpr unsigned kSetLatencyTimer = 0x4009;
// The 16550's modem control register, by its offset: DTR in bit 0, RTS in bit 1. (Its line
// settings come decoded by QEMU; its trace names no port, and it is the guest's only one.)
constexpr unsigned kModemControl = 4;

std::string LinesText(bool dtr, bool rts) {
    return std::string("DTR=") + (dtr ? "1" : "0") + " RTS=" + (rts ? "1" : "0");
}
}  // namespace

double WallNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6;
}

const char* GuestPortName(GuestPort port) {
    return port == GuestPort::kFtdi ? "ttyUSB0" : "ttyS1";
}

void Timeline::Add(double time, const std::string& source, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    // Mostly in order already: a late entry goes back to its place.
    auto place = entries.end();
    while (place != entries.begin() && (place - 1)->time > time) {
        --place;
    }
    entries.insert(place, {time, source, text});
}

std::string Timeline::TextFrom(double from) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::string text;
    char stamp[32];
    for (const Entry& entry : entries) {
        if (entry.time >= from) {
            std::snprintf(stamp, sizeof stamp, "%+11.6f ", entry.time - from);
            text += stamp + entry.source +
                    std::string(9 - std::min<size_t>(8, entry.source.size()), ' ') + entry.text +
                    "\n";
        }
    }
    return text;
}

LineTrace::LineTrace(std::string path, Timeline& timeline, LinesChanged linesChanged)
    : path(std::move(path)), timeline(timeline), linesChanged(std::move(linesChanged)) {}

LineTrace::~LineTrace() {
    if (fd >= 0) {
        close(fd);
    }
}

void LineTrace::Drain() {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;  // QEMU has not made it yet
        }
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        partial.append(buffer, static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
            Decode(partial.substr(start, end - start));
        }
        partial.erase(0, start);
    }
}

std::vector<LineEvent> LineTrace::EventsFrom(double from) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<LineEvent> found;
    std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                 [from](const LineEvent& event) { return event.time >= from; });
    return found;
}

void LineTrace::Emit(const LineEvent& event, const std::string& text) {
    events.push_back(event);
    timeline.Add(event.time, GuestPortName(event.port), text);
    if (event.kind == LineEvent::Kind::kModemLines) {
        linesChanged(event.port, event.dtr, event.rts, event.time);
    }
}

// Each line: "PID@SECONDS.MICROSECONDS:event arguments".
void LineTrace::Decode(const std::string& line) {
    const size_t at = line.find('@');
    const size_t colon = line.find(':', at == std::string::npos ? 0 : at);
    if (at == std::string::npos || colon == std::string::npos) {
        return;
    }
    LineEvent event;
    event.time = std::strtod(line.c_str() + at + 1, nullptr);
    const char* rest = line.c_str() + colon + 1;
    unsigned bus = 0, address = 0, request = 0, value = 0;
    int number = 0, dataBits = 0, stopBits = 0;
    char parity = '?';
    if (std::sscanf(rest, "usb_serial_handle_control dev %u:%u got control 0x%x, value 0x%x", &bus,
                    &address, &request, &value) == 4) {
        if (request == kSetModemControl) {
            // Bits 8 and 9 say which of DTR (bit 0) and RTS (bit 1) the request sets.
            ftdiDtr = (value & 0x100) != 0 ? (value & 1) != 0 : ftdiDtr;
            ftdiRts = (value & 0x200) != 0 ? (value & 2) != 0 : ftdiRts;
            event.kind = LineEvent::Kind::kModemLines;
            event.value = static_cast<int>(value);
            event.dtr = ftdiDtr;
            event.rts = ftdiRts;
            Emit(event, "modem lines " + LinesText(ftdiDtr, ftdiRts));
        } else if (request == kSetLatencyTimer) {
            event.kind = LineEvent::Kind::kLatencyTimer;
            event.value = static_cast<int>(value & 0xFF);
            Emit(event, "latency timer " + std::to_string(event.value) + " ms");
        }
    } else if (std::sscanf(rest, "usb_serial_set_baud dev %u:%u baud rate %d", &bus, &address,
                           &number) == 3) {
        event.kind = LineEvent::Kind::kBaud;
        event.value = number;
        Emit(event, "baud " + std::to_string(number));
    } else if (std::sscanf(rest,
                           "usb_serial_set_data dev %u:%u parity %c, data bits %d, stop bits %d",
                           &bus, &address, &parity, &dataBits, &stopBits) == 5) {
        event.kind = LineEvent::Kind::kDataFormat;
        event.parity = parity;
        event.dataBits = dataBits;
        event.stopBits = stopBits;
        Emit(event, "data " + std::to_string(dataBits) + parity + std::to_string(stopBits));
    } else if (std::sscanf(rest, "usb_serial_set_flow_control dev %u:%u flow control %d", &bus,
                           &address, &number) == 3) {
        event.kind = LineEvent::Kind::kFlowControl;
        event.value = number;
        Emit(event, "flow control " + std::to_string(number));
    } else if (std::sscanf(rest, "serial_write write addr 0x%x val 0x%x", &address, &value) == 2) {
        event.port = GuestPort::kUart;
        if (address == kModemControl) {
            event.kind = LineEvent::Kind::kModemLines;
            event.dtr = (value & 1) != 0;
            event.rts = (value & 2) != 0;
            event.value = static_cast<int>(value);
            Emit(event, "modem lines " + LinesText(event.dtr, event.rts));
        }
    } else if (std::sscanf(rest, "serial_update_parameters baudrate=%d parity='%c' data=%d stop=%d",
                           &number, &parity, &dataBits, &stopBits) == 4) {
        // Written at every change of the divisor or the line control; the guest's last
        // one before it talks is what it talks with.
        event.port = GuestPort::kUart;
        event.kind = LineEvent::Kind::kBaud;
        event.value = number;
        Emit(event, "baud " + std::to_string(number));
        event.kind = LineEvent::Kind::kDataFormat;
        event.parity = parity;
        event.dataBits = dataBits;
        event.stopBits = stopBits;
        Emit(event, "data " + std::to_string(dataBits) + parity + std::to_string(stopBits));
    }
}

}  // namespace korvane::testing
