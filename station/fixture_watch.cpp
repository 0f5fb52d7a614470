#include "station/fixture_watch.h"

#include <chrono>

namespace korvane {

namespace {
// A device is taken out once this many probes in a row get no answer: one missed answer
// (a probe during its reset) is no reason to flash it again.
constexpr int kMissesForTakenOut = 2;
}  // namespace

const char* FixtureStateWord(FixtureState state) {
    switch (state) {
        case FixtureState::kEmpty:
            return "EMPTY";
        case FixtureState::kFlashing:
            return "FLASHING";
        case FixtureState::kPassed:
            return "PASS";
        case FixtureState::kFailed:
            return "FAIL";
        case FixtureState::kProtected:
            return "PROTECTED";
        case FixtureState::kFlashedBefore:
            return "DONE";
    }
    return "";
}

std::optional<double> FixtureCounts::YieldPercent() const {
    return Devices() > 0 ? std::optional<double>(100.0 * passed / Devices()) : std::nullopt;
}

double FixtureCounts::PerHour(double hours) const {
    return hours > 0 ? Devices() / hours : 0.0;
}

void WatchControl::StopStartingDevices() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    woken.notify_all();
}

bool WatchControl::Stopping() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
}

bool WatchControl::Pause(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    woken.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    return !stopping;
}

FixtureCounts WatchFixture(FixtureDevice& device, FixtureObserver& observer, WatchControl& control,
                           uint32_t probeMs) {
    FixtureCounts counts;
    FixtureState state = FixtureState::kEmpty;
    std::string lastUid;    // of the device last flashed (or found protected) here
    bool seenEmpty = true;  // since then
    int misses = 0;
    observer.StateChanged(state, {});
    while (!control.Stopping()) {
        // Probes start once every probeMs: a probe's reset pulse and its wait for an answer
        // are part of the interval, not added to it, or a device put in would wait for the
        // interval and a whole probe more.
        const auto probed = std::chrono::steady_clock::now();
        const auto restOfInterval = [&] {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - probed)
                                   .count();
            control.Pause(spent < probeMs ? probeMs - static_cast<uint32_t>(spent) : 0);
        };
        const ProbeFinding found = device.Probe();
        if (found.kind == ProbeFinding::Kind::kNothing) {
            if (state != FixtureState::kEmpty && ++misses >= kMissesForTakenOut) {
                state = FixtureState::kEmpty;
                device.TakenOut();
                observer.StateChanged(state, {});
            }
            seenEmpty = state == FixtureState::kEmpty;
            restOfInterval();
            continue;
        }
        misses = 0;
        // A device whose unique ID could not be read (a protected one among them) cannot be
        // told from the one before: it is new only once the fixture has been seen empty.
        const bool isNew = seenEmpty || (!found.uid.empty() && found.uid != lastUid);
        if (!isNew || control.Stopping()) {
            restOfInterval();
            continue;
        }
        lastUid = found.uid;
        seenEmpty = false;
        // A board that went through before (a station restarted with boards still in) is
        // neither flashed nor counted again.
        if (const std::string done = found.uid.empty() ? std::string() : device.Done(found.uid);
            !done.empty()) {
            state = FixtureState::kFlashedBefore;
            observer.StateChanged(state, done);
            restOfInterval();
            continue;
        }
        // A read-protected device is run too: its run writes nothing, and it leaves a
        // record, an object for a line's software and a count like any other.
        observer.StateChanged(FixtureState::kFlashing, {});
        const auto start = std::chrono::steady_clock::now();
        const RunOutcome outcome = device.Flash(observer.RunFeedback());
        counts.busySeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool passed = outcome.Passed();
        ++(passed ? counts.passed : counts.failed);
        observer.Flashed(outcome, device.LastRecord());
        state = passed                                        ? FixtureState::kPassed
                : outcome.result == RunResult::kReadProtected ? FixtureState::kProtected
                                                              : FixtureState::kFailed;
        observer.StateChanged(state, passed ? outcome.serial : outcome.Said());
        // An interrupted run abandons the whole watch.
        if (outcome.result == RunResult::kInterrupted) {
            break;
        }
    }
    return counts;
}

}  // namespace korvane
