// What the signals that end a process do while devices are being flashed: they abandon
// the runs at their next exchange, or, with a watch, first ask it to stop starting new
// devices.
#pragma once

namespace korvane {

// Ctrl-C, a termination request and a closed terminal abandon the runs; the signals that
// must not stop a device mid-run are ignored.
void AbandonRunsOnSignals();

// Makes the first signal a request to stop starting devices, readable on the descriptor
// returned; -1 when no pipe can be made.
int ArmGentleStop();

// After ArmGentleStop: waits for the first signal, or for RequestGentleStop.
void AwaitGentleStop();
// Does what the first signal does after ArmGentleStop.
void RequestGentleStop();

// The signal that abandoned the runs, 0 when none did.
int InterruptSignal();

}  // namespace korvane
