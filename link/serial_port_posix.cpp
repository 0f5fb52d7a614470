// SerialPort on POSIX systems: raw termios, poll-based timed reads, tcflush purges and
// the modem-line ioctls. Every OS call of the serial port is in this file.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "link/parity_marks.h"
#include "link/port_lock.h"
#include "link/serial_port.h"
#include "platform/interrupt.h"
#include "platform/ticks.h"

namespace korvane {

namespace {

int Fd(PortHandle handle) {
    return static_cast<int>(handle);
}

speed_t SpeedFor(uint32_t baudRate) {
    switch (baudRate) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B115200;
    }
}

// Raw 8E1 with no flow control. Parity is checked and a byte with a parity error is
// marked (0xFF 0x00 byte) so that Read can hand it on as 0x3F; a real 0xFF then comes
// doubled. Modem lines stay under program control: CLOCAL ignores carrier, and HUPCL is
// off so that closing does not move DTR behind our back.
// True when even parity is in force afterwards.
bool ApplyLineSettings(int fd, uint32_t baudRate) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | ISTRIP | IGNBRK | BRKINT);
    settings.c_iflag |= INPCK | PARMRK;
    settings.c_cflag &= ~(CSIZE | CSTOPB | PARODD | CRTSCTS | HUPCL);
    settings.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, SpeedFor(baudRate));
    cfsetospeed(&settings, SpeedFor(baudRate));
    // A device may take the call and still drop parity (pseudo-terminals do): what counts
    // is what is in force afterwards.
    termios applied{};
    if (tcsetattr(fd, TCSANOW, &settings) == 0 && tcgetattr(fd, &applied) == 0 &&
        (applied.c_cflag & PARENB) != 0) {
        return true;
    }
    // Raw mode matters more than parity, so apply everything else; without parity there
    // are no marks to decode.
    settings.c_cflag &= ~PARENB;
    settings.c_iflag &= ~(INPCK | PARMRK);
    tcsetattr(fd, TCSANOW, &settings);
    return false;
}

bool ParityMarksOn(int fd) {
    termios settings{};
    return tcgetattr(fd, &settings) == 0 && (settings.c_iflag & PARMRK) != 0;
}

// What an error of stat or open says about the device.
OpenFailure FailureFor(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENODEV:
        case ENXIO:
            return OpenFailure::kNoSuchDevice;
        case EACCES:
        case EPERM:
        case EROFS:
            return OpenFailure::kPermissionDenied;
        case EBUSY:  // another opener's TIOCEXCL
            return OpenFailure::kHeld;
        default:
            return OpenFailure::kOther;
    }
}

// Asks the driver to hand over received bytes at once rather than on its latency timer
// (16 ms by default on FTDI adapters, which turn this flag into a 1 ms timer): every
// exchange waits for it otherwise. The driver's flags as they were, to be given back on
// close; -1 when nothing was changed (a pseudo-terminal, a driver without the request, a
// device already at low latency).
int AskForLowLatency(int fd) {
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return -1;
    }
    const int before = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0 ? before : -1;
#else
    (void)fd;
    return -1;
#endif
}

void GiveBackLatency(int fd, int flags) {
#ifdef __linux__
    serial_struct serial{};
    if (flags >= 0 && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (flags & ASYNC_LOW_LATENCY);
        ioctl(fd, TIOCSSERIAL, &serial);
    }
#else
    (void)fd;
    (void)flags;
#endif
}

bool SetModemLines(int fd, int lines, bool on) {
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines) == 0;
}

enum class LineWait { kReadable, kTimedOut, kGone };

// Waits until the line has input or the deadline passes.
LineWait WaitReadable(int fd, uint32_t start, uint32_t windowMs) {
    for (;;) {
        const uint32_t elapsed = TicksSince(start, TickCount());
        if (elapsed > windowMs) {
            return LineWait::kTimedOut;
        }
        // One millisecond past the window, so that a wake-up at the timeout finds it run out.
        // An interrupt ends the wait at once: the run is being abandoned.
        pollfd waiters[2] = {{fd, POLLIN, 0}, {InterruptWakeDescriptor(), POLLIN, 0}};
        pollfd& waiter = waiters[0];
        const int ready =
            poll(waiters, waiters[1].fd >= 0 ? 2 : 1, static_cast<int>(windowMs - elapsed + 1));
        if (InterruptRequested()) {
            return LineWait::kTimedOut;
        }
        if (ready > 0) {
            if ((waiter.revents & POLLNVAL) != 0) {
                return LineWait::kGone;
            }
            // A hang-up or error with no data: the other end of a pseudo-terminal went
            // away, an adapter was unplugged. Nothing more will come, and saying so now
            // spares the operator a read window per step of the run.
            if ((waiter.revents & POLLIN) == 0) {
                return LineWait::kGone;
            }
            return LineWait::kReadable;
        }
        if (ready < 0 && errno != EINTR) {
            return LineWait::kGone;
        }
    }
}

// Reads one raw byte that the driver already queued with the one before it (the parts of
// a parity mark arrive together). False when none comes within the read window.
bool ReadFollowingByte(int fd, uint32_t start, uint8_t* byte) {
    for (;;) {
        const ssize_t got = read(fd, byte, 1);
        if (got == 1) {
            return true;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (WaitReadable(fd, start, SerialPort::kReadWindowMs) != LineWait::kReadable) {
            return false;
        }
    }
}

}  // namespace

std::string PortHolderNow(const std::string& device) {
    const std::string locked = LockHolder(device);
    return locked.empty() ? OtherOpener(device) : locked;
}

bool SerialPort::OpenDevice(const std::string& device, uint32_t rate) {
    Close();
    holder.clear();
    parityRefused = false;
    lineGone = false;
    deviceGroup.clear();
    openFailure = OpenFailure::kNone;
    openError.clear();
    // A name that leads nowhere takes no lock file.
    struct stat status {};
    if (stat(device.c_str(), &status) != 0) {
        const int error = errno;
        return OpenFailed(FailureFor(error), std::strerror(error));
    }
    // A port locked by another program is left alone before anything reaches it, its
    // modem lines included, which opening a serial device already moves.
    if (!AcquirePortLock(device, lockFile, holder)) {
        return OpenFailed(OpenFailure::kHeld, std::strerror(EBUSY));
    }
    // Who else has the device open is looked for before it is opened: the look through
    // every process takes milliseconds, and the open starts a pulse on the modem lines
    // that lasts until the lines are cleared below.
    std::string other = OtherOpener(device);
    // Non-blocking only for the open itself, so that a missing carrier cannot hang it.
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        ReleasePortLock(lockFile);
        // Serial devices are given to a group (dialout, uucp): joining it is the remedy.
        if (FailureFor(error) == OpenFailure::kPermissionDenied && (status.st_mode & S_IRWXG)) {
            if (const group* owner = getgrgid(status.st_gid)) {
                deviceGroup = owner->gr_name;
            }
        }
        return OpenFailed(FailureFor(error), std::strerror(error));
    }
    const auto refuse = [&](OpenFailure failure, int error) {
        close(fd);
        ReleasePortLock(lockFile);
        return OpenFailed(failure, std::strerror(error));
    };
    // Only a terminal is a serial port, and only for one does it tell anything who else
    // has it open: every process holds the null device.
    if (!isatty(fd)) {
        return refuse(OpenFailure::kNotASerialPort, ENOTTY);
    }
    // On a real serial device, another process that holds it open (a modem manager
    // probing it) would hear our bytes.
    if (!other.empty()) {
        holder = std::move(other);
        return refuse(OpenFailure::kHeld, EBUSY);
    }
    // Exclusive use: the lock keeps out every process that also locks (our own tools,
    // whatever their privileges), and TIOCEXCL keeps out other unprivileged openers.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return refuse(OpenFailure::kHeld, errno);
    }
    ioctl(fd, TIOCEXCL);
    // A real driver raises DTR and RTS as it opens the device (a pseudo-terminal has no
    // lines to raise): on a fixture that is a pulse on RESET and BOOT0. It is cut as short
    // as can be, before the driver is asked anything more; each request to a USB adapter
    // takes a round trip.
    SetModemLines(fd, TIOCM_DTR | TIOCM_RTS, false);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    handle = fd;
    baudRate = rate;
    receiveAt = receiveEnd = 0;

    serialFlagsBefore = AskForLowLatency(fd);
    parityRefused = !ApplyLineSettings(fd, rate) && !IsPseudoTerminal(device);
    tcflush(fd, TCIOFLUSH);
    return true;
}

void SerialPort::Close() {
    if (!IsOpen()) {
        return;
    }
    const int fd = Fd(handle);
    tcflush(fd, TCIOFLUSH);
    GiveBackLatency(fd, serialFlagsBefore);
    serialFlagsBefore = -1;
    // Lift the exclusive mark, which would otherwise outlive us while another process
    // (a simulator, say) still has the device open.
    ioctl(fd, TIOCNXCL);
    close(fd);
    handle = kInvalidPortHandle;
    receiveAt = receiveEnd = 0;
    ReleasePortLock(lockFile);
}

void SerialPort::PurgeReceive() {
    if (IsOpen()) {
        tcflush(Fd(handle), TCIFLUSH);
        receiveAt = receiveEnd = 0;
    }
}

bool SerialPort::EscapeToDevice(uint8_t code) {
    const int fd = Fd(handle);
    switch (code) {
        case kSetRts:
            return SetModemLines(fd, TIOCM_RTS, true);
        case kClrRts:
            return SetModemLines(fd, TIOCM_RTS, false);
        case kSetDtr:
            return SetModemLines(fd, TIOCM_DTR, true);
        case kClrDtr:
            return SetModemLines(fd, TIOCM_DTR, false);
        case kSetBreak:
            return ioctl(fd, TIOCSBRK) == 0;
        case kClrBreak:
            return ioctl(fd, TIOCCBRK) == 0;
        case kSetXoff:
            return tcflow(fd, TCOOFF) == 0;
        case kSetXon:
            return tcflow(fd, TCOON) == 0;
        default:
            return false;
    }
}

int32_t SerialPort::WriteToDevice(const uint8_t* data, int32_t length) {
    const int fd = Fd(handle);
    int32_t written = 0;
    while (written < length) {
        const ssize_t n = write(fd, data + written, static_cast<size_t>(length - written));
        if (n > 0) {
            written += static_cast<int32_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    return written;
}

int32_t SerialPort::Read(uint8_t* buffer, int32_t length) {
    if (!IsOpen() || length < 1) {
        return 0;
    }
    const uint32_t start = TickCount();
    // What an earlier platform read took beyond its caller's count comes first.
    const auto takeBlock = [&](uint8_t* into, int32_t wanted) {
        const int32_t n = std::min(wanted, receiveEnd - receiveAt);
        std::memcpy(into, receiveBlock + receiveAt, static_cast<size_t>(n));
        receiveAt += n;
        return n;
    };
    int32_t received = takeBlock(buffer, length);
    if (received == length) {
        return received;
    }
    const int fd = Fd(handle);
    const bool marked = ParityMarksOn(fd);
    while (received < length) {
        const LineWait wait = WaitReadable(fd, start, readWindowMs);
        if (wait == LineWait::kGone) {
            lineGone = true;
        }
        if (wait != LineWait::kReadable) {
            break;
        }
        // Whatever the driver holds, up to a block; what the caller did not ask for waits
        // for the next Read.
        ssize_t got = read(fd, receiveBlock, sizeof receiveBlock);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            // Readable yet nothing to read: the device went away.
            lineGone = true;
            break;
        }
        if (marked) {
            got = DecodeParityMarks(receiveBlock, static_cast<int32_t>(got), [&](uint8_t* byte) {
                return ReadFollowingByte(fd, start, byte);
            });
        }
        receiveAt = 0;
        receiveEnd = static_cast<int32_t>(got);
        received += takeBlock(buffer + received, length - received);
    }
    return received;
}

}  // namespace korvane
