// A station's fixtures as the journal shows them live, in an SQLite file of the test's own:
// what the fixtures' watches tell reaches the journal, and still reaches whoever shows it.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "station/journal_changes.h"
#include "station/journal_reader.h"
#include "station/live_states.h"

namespace korvane {
namespace {

// What a front end shows of a fixture: only what it was told.
class ShownFixture : public FixtureObserver, public OperatorFeedback {
public:
    void StateChanged(FixtureState, const std::string& detail) override {
        details.push_back(detail);
    }
    void Flashed(const RunOutcome&, const JournalRecord&) override {}
    OperatorFeedback& RunFeedback() override { return *this; }
    void ShowStatus(const std::string& text) override { status = text; }
    void Progress(int position) override { progress = position; }
    void EnableCommands(bool) override {}
    void ShowSequenceNumber(int) override {}

    std::vector<std::string> details;
    std::string status;
    int progress = 0;
};

TEST(LiveStates, AFixturesStateReachesTheJournalAndEndsAsStopped) {
    QTemporaryDir folder;
    const QString path = folder.filePath("journal.sqlite");
    const Journal journal(path);
    QString error;
    ASSERT_TRUE(journal.Open(error)) << error.toStdString();
    const JournalReader reader(path);
    const auto fixtures = [&] {
        std::vector<StationLive> stations;
        EXPECT_TRUE(reader.Stations(QDateTime::currentDateTimeUtc().addSecs(-60), stations, error))
            << error.toStdString();
        return stations.empty() ? std::vector<FixtureLive>() : stations.front().fixtures;
    };
    ShownFixture shown;
    {
        LiveStates live(journal, {"instance-1", "S1", "bench", {}}, {"COM1", "COM2"});
        FixtureObserver& observer = live.Around(1, shown);
        observer.StateChanged(FixtureState::kFlashing, "");
        observer.RunFeedback().ShowStatus("Writing MCU.BIN");
        observer.RunFeedback().Progress(40);
        // Waits for the journal's file to change until the state is there.
        const ChangeFeed changes(path);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        Changes seen;
        for (;;) {
            const std::vector<FixtureLive> now = fixtures();
            if (now.size() == 1 && now[0].state == "flashing" && now[0].percent == 40) {
                EXPECT_EQ(now[0].port, "COM2");
                EXPECT_EQ(now[0].fixture, 2);
                EXPECT_EQ(now[0].entry, "Writing MCU.BIN");
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the state never came";
            seen = changes.Wait(seen, std::chrono::milliseconds(500));
        }
    }
    // The front end heard everything, as it would have without the live states.
    EXPECT_EQ(shown.details.size(), 1u);
    EXPECT_EQ(shown.status, "Writing MCU.BIN");
    EXPECT_EQ(shown.progress, 40);
    const std::vector<FixtureLive> ended = fixtures();
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0].state, "stopped");
    EXPECT_EQ(ended[1].state, "stopped");
}

}  // namespace
}  // namespace korvane
