// A request from outside to abandon the work under way: Ctrl-C or a termination signal
// to the command-line tool. Once it has come, waits on the serial line end at once and
// nothing more is written to the device, so a flash run ends at its next exchange
// instead of talking on for minutes to a device the operator has given up on.
#pragma once

namespace korvane {

// Safe to call from a signal handler. Stays requested for the rest of the process.
void RequestInterrupt();
bool InterruptRequested();

#ifndef _WIN32
// A descriptor that becomes readable once an interrupt has been requested, for waits
// that poll. Call it once before signals may arrive, so that a handler finds it made.
int InterruptWakeDescriptor();
#endif

}  // namespace korvane
