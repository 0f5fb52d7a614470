#include "station/live_states.h"

#include <QDateTime>

namespace korvane {

namespace {

// The words the journal keeps a fixture's state in.
const char* StateName(FixtureState state) {
    switch (state) {
        case FixtureState::kEmpty:
            return "empty";
        case FixtureState::kFlashing:
            return "flashing";
        case FixtureState::kPassed:
            return "passed";
        case FixtureState::kFailed:
            return "failed";
        case FixtureState::kProtected:
            return "protected";
        case FixtureState::kFlashedBefore:
            return "take-out";  // went through before: not flashed again
    }
    return "empty";
}

}  // namespace

// Tells the fixture's states, and the status and progress of its run, to the live states,
// and everything to the observer that shows them, as it was.
class LiveStates::Observer : public FixtureObserver, public OperatorFeedback {
public:
    Observer(LiveStates& live, size_t fixture, FixtureObserver& shown, FixtureLive initial)
        : live(live), fixture(fixture), shown(shown), state(std::move(initial)) {}

    void StateChanged(FixtureState changed, const std::string& detail) override {
        state.state = QString::fromLatin1(StateName(changed));
        state.detail = QString::fromStdString(detail);
        state.entry.clear();
        state.percent.reset();
        if (changed != FixtureState::kFailed && changed != FixtureState::kProtected) {
            state.code.clear();
        }
        live.Set(fixture, state);
        shown.StateChanged(changed, detail);
    }
    void Flashed(const RunOutcome& outcome, const JournalRecord& record) override {
        state.code = QString::fromStdString(outcome.code);
        shown.Flashed(outcome, record);
    }
    OperatorFeedback& RunFeedback() override { return *this; }

    void ShowStatus(const std::string& text) override {
        state.entry = QString::fromStdString(text);
        live.Set(fixture, state);
        shown.RunFeedback().ShowStatus(text);
    }
    void Progress(int position) override {
        if (state.percent != position) {
            state.percent = position;
            live.Set(fixture, state);
        }
        shown.RunFeedback().Progress(position);
    }
    void EnableCommands(bool on) override { shown.RunFeedback().EnableCommands(on); }
    void ShowSequenceNumber(int number) override { shown.RunFeedback().ShowSequenceNumber(number); }

private:
    LiveStates& live;
    size_t fixture;
    FixtureObserver& shown;
    FixtureLive state;  // as this fixture's thread last made it
};

LiveStates::LiveStates(Journal journalIn, StationSeen stationIn, const std::vector<QString>& ports)
    : journal(std::move(journalIn)), station(std::move(stationIn)), fixtures(ports.size()) {
    for (size_t i = 0; i < ports.size(); ++i) {
        fixtures[i].state = {
            station.instance, static_cast<int>(i) + 1, ports[i], {}, {}, {}, {}, {}, {}};
    }
    writer = std::thread([this] { Write(); });
}

LiveStates::~LiveStates() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Slot& slot : fixtures) {
            slot.state.state = QStringLiteral("stopped");
            slot.state.detail.clear();
            slot.state.entry.clear();
            slot.state.percent.reset();
            slot.due = true;
        }
        ending = true;
    }
    woken.notify_all();
    writer.join();
}

FixtureObserver& LiveStates::Around(size_t fixture, FixtureObserver& shown) {
    observers.push_back(std::make_unique<Observer>(*this, fixture, shown, fixtures[fixture].state));
    return *observers.back();
}

std::vector<FixtureObserver*> LiveStates::Around(const std::vector<FixtureObserver*>& shown) {
    std::vector<FixtureObserver*> around;
    for (size_t i = 0; i < shown.size() && i < fixtures.size(); ++i) {
        around.push_back(&Around(i, *shown[i]));
    }
    return around;
}

void LiveStates::Set(size_t fixture, const FixtureLive& state) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        fixtures[fixture].state = state;
        fixtures[fixture].state.changed =
            QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        fixtures[fixture].due = true;
    }
    woken.notify_all();
}

void LiveStates::Write() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextBeat = Clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = nextBeat;
        std::vector<FixtureLive> toWrite;
        std::vector<size_t> written;
        for (size_t i = 0; i < fixtures.size(); ++i) {
            Slot& slot = fixtures[i];
            if (!slot.due) {
                continue;
            }
            const Clock::time_point allowed = slot.written + kLeastInterval;
            if (ending || allowed <= now) {
                toWrite.push_back(slot.state);
                written.push_back(i);
                slot.due = false;
                slot.written = now;
            } else {
                wake = std::min(wake, allowed);
            }
        }
        const bool beat = nextBeat <= now;
        const bool last = ending;
        lock.unlock();
        QString error;
        if (beat) {
            // A heartbeat that cannot reach the server is simply the next one's to give.
            journal.SeeStation(station, error);
            nextBeat = now + kHeartbeat;
            wake = std::min(wake, nextBeat);
        }
        std::vector<size_t> failed;
        for (size_t i = 0; i < toWrite.size(); ++i) {
            if (!journal.WriteFixtureState(toWrite[i], error)) {
                failed.push_back(written[i]);
            }
        }
        lock.lock();
        // A state the server could not take waits for the next heartbeat, unless a newer one
        // came meanwhile; at the end, nothing waits.
        for (size_t i : failed) {
            fixtures[i].due = true;
        }
        if (!failed.empty()) {
            wake = std::min(wake, nextBeat);
        }
        if (last) {
            return;
        }
        woken.wait_until(lock, wake, [&] {
            if (ending) {
                return true;
            }
            for (const Slot& slot : fixtures) {
                if (slot.due && slot.written + kLeastInterval <= Clock::now()) {
                    return true;
                }
            }
            return false;
        });
    }
}

}  // namespace korvane
