#include "cli/interrupt_signals.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif
#include <csignal>
#include <initializer_list>

#include "platform/interrupt.h"

namespace korvane {

namespace {

volatile std::sig_atomic_t interruptSignal = 0;
// With --watch the first signal is a request to stop starting devices, told through this
// pipe (the only thing a handler may safely do); the next one abandons the runs.
int stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t stopAsked = 0;

// True when this was the first request to stop, now told through the pipe.
bool TellGentleStop() {
    if (stopPipe[1] < 0 || stopAsked != 0) {
        return false;
    }
    stopAsked = 1;
    const char byte = 1;
    [[maybe_unused]] const auto written = write(stopPipe[1], &byte, 1);
    return true;
}

void OnInterruptSignal(int signalNumber) {
    if (TellGentleStop()) {
        return;
    }
    interruptSignal = signalNumber;
    RequestInterrupt();
}

}  // namespace

int ArmGentleStop() {
#ifdef _WIN32
    const bool made = _pipe(stopPipe, 16, _O_BINARY) == 0;
#else
    const bool made = pipe(stopPipe) == 0;
#endif
    return made ? stopPipe[0] : -1;
}

void AwaitGentleStop() {
    char byte = 0;
    [[maybe_unused]] const auto got = read(stopPipe[0], &byte, 1);
}

void RequestGentleStop() {
    TellGentleStop();
}

// The runs are abandoned at their next exchange instead of the process being killed
// mid-write: the port is closed and the counter left as the rules for a sent record say.
// The exit status is the conventional one for the signal. A reader of standard output that
// goes away (a pager quit, "| head"), a stray user signal and a file-size limit (which then
// reads as a full disk) never stop a device mid-run: the runs finish and the journal says
// what it could keep.
void AbandonRunsOnSignals() {
#ifndef _WIN32
    InterruptWakeDescriptor();
    struct sigaction action {};
    action.sa_handler = OnInterruptSignal;
    sigemptyset(&action.sa_mask);
    for (const int abandoning : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(abandoning, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int ignored : {SIGPIPE, SIGUSR1, SIGUSR2, SIGXFSZ}) {
        sigaction(ignored, &ignore, nullptr);
    }
#else
    std::signal(SIGINT, OnInterruptSignal);
    std::signal(SIGTERM, OnInterruptSignal);
#endif
}

int InterruptSignal() {
    return interruptSignal;
}

}  // namespace korvane
