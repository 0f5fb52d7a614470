// A fixture of a line that flashes each new device put into it: probe while it is empty,
// flash a device that appears, show how it went, wait for it to be taken out, start over.
// One watch runs per fixture, on a thread of its own; the tool's board and the station
// window both follow it through FixtureObserver, as the dialog follows a run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "flashing/flash_run.h"
#include "station/journal.h"

namespace korvane {

enum class FixtureState {
    kEmpty,      // no device answers: probed about once a second
    kFlashing,   // a new device is being flashed
    kPassed,     // its run succeeded; waiting for it to be taken out
    kFailed,     // its run failed; waiting for it to be taken out
    kProtected,  // its flash is read-protected: nothing was written; waiting
    // It went through before and is not flashed again: nothing was written; waiting.
    kFlashedBefore,
};

// "EMPTY", "FLASHING", "PASS", "FAIL", "PROTECTED", "DONE": the word a fixture's state is shown by.
const char* FixtureStateWord(FixtureState state);

// What one probe of a fixture found.
struct ProbeFinding {
    enum class Kind { kNothing, kDevice, kProtected };
    Kind kind = Kind::kNothing;
    std::string uid;  // the chip's unique ID, when it could be read
};

// How one fixture is probed and flashed.
class FixtureDevice {
public:
    virtual ~FixtureDevice() = default;
    virtual ProbeFinding Probe() = 0;
    // Flashes the device the last probe found, telling feedback as a run does. A
    // read-protected one too: its run writes nothing and says why, and is recorded as any.
    virtual RunOutcome Flash(OperatorFeedback& feedback) = 0;
    // Why the chip of this unique ID is to be taken out as it is, having gone through
    // before; empty when it is to be flashed.
    virtual std::string Done(const std::string& uid) {
        (void)uid;
        return {};
    }
    // The journal's record of the last device flashed, when there is one.
    virtual JournalRecord LastRecord() const { return {}; }
    // The device last found was taken out.
    virtual void TakenOut() {}
};

// What a fixture's watch tells whoever shows it. Calls come from the fixture's thread.
class FixtureObserver {
public:
    virtual ~FixtureObserver() = default;
    // detail: the serial text of a passed device, why one failed or is protected.
    virtual void StateChanged(FixtureState state, const std::string& detail) = 0;
    // Once for every device flashed (or refused: read-protected, its chip elsewhere), with
    // the journal's record of its run.
    virtual void Flashed(const RunOutcome& outcome, const JournalRecord& record) = 0;
    // Where the run of a device tells its status and progress.
    virtual OperatorFeedback& RunFeedback() = 0;
};

// Shared by every fixture of a station: once stopping, no new device is started; the
// devices being flashed finish. Waits between probes end at once when it is stopped.
class WatchControl {
public:
    void StopStartingDevices();
    bool Stopping() const;
    // Waits ms milliseconds, or less when stopping; false when stopping.
    bool Pause(uint32_t ms);

private:
    mutable std::mutex mutex;
    std::condition_variable woken;
    bool stopping = false;
};

struct FixtureCounts {
    int passed = 0;
    int failed = 0;
    double busySeconds = 0;  // spent flashing

    int Devices() const { return passed + failed; }
    // The share of devices that passed, in percent; nothing before the first device.
    std::optional<double> YieldPercent() const;
    // Devices an hour over hours; 0 for no time at all.
    double PerHour(double hours) const;
};

// Watches one fixture until control stops it. A device counts as new when its unique ID
// differs from the device last flashed there, or when the fixture has been seen empty
// since; it is flashed once whether it passed or failed (or not at all when it is done),
// and taken out once two probes in a row get no answer.
FixtureCounts WatchFixture(FixtureDevice& device, FixtureObserver& observer, WatchControl& control,
                           uint32_t probeMs);

}  // namespace korvane
