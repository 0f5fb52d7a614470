// The figures of a period from a journal's records, in an SQLite file of the test's own, and
// when the shift under way started.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "settings/station_config.h"
#include "station/journal.h"
#include "station/journal_reader.h"

namespace korvane {
namespace {

QDateTime At(const char* time) {
    return QDateTime::fromString(QString::fromLatin1(time), Qt::ISODateWithMs);
}

class JournalSummaryTest : public testing::Test {
protected:
    void Save(const char* station, const char* port, const char* started, const QString& uid,
              const char* result, double seconds = 10) {
        JournalRecord record;
        record.id = QStringLiteral("run-%1").arg(++runs);
        record.started = QString::fromLatin1(started);
        record.station = QString::fromLatin1(station);
        record.port = QString::fromLatin1(port);
        record.uid = uid;
        record.result = QString::fromLatin1(result);
        record.seconds = seconds;
        QString error;
        ASSERT_TRUE(journal.Save(record, error)) << error.toStdString();
    }

    JournalSummary Summarize(const QString& station = {}) {
        JournalSummary summary;
        QString error;
        EXPECT_TRUE(
            JournalReader(journal.Where())
                .Summarize({At("2026-03-01T06:00:00Z"), At("2026-03-01T10:00:00Z"), station},
                           summary, error))
            << error.toStdString();
        return summary;
    }

    QTemporaryDir folder;
    Journal journal{folder.filePath("journal.sqlite")};
    int runs = 0;
};

const QString kChipA = QStringLiteral("0123456789abcdef01234567");
const QString kChipB = QStringLiteral("fedcba9876543210fedcba98");
const QString kChipC = QStringLiteral("00000000000000000000000c");
const QString kShared = QString(24, 'f');  // an ID that many chips share

TEST_F(JournalSummaryTest, CountsYieldsAndCycleTimesPerStationAndFixture) {
    // Chip C was first seen before the shift: its run now is no first pass.
    Save("S1", "COM1", "2026-03-01T05:00:00.000Z", kChipC, "failed");
    Save("S1", "COM1", "2026-03-01T06:10:00.000Z", kChipC, "succeeded", 30);
    // Chip A fails first, then passes on another station: final, not first-pass.
    Save("S1", "COM2", "2026-03-01T07:00:00.000Z", kChipA, "failed");
    Save("S2", "COM1", "2026-03-01T08:00:00.000Z", kChipA, "succeeded", 20);
    // Two chips sharing an ID are two chips; an unknown chip is one of its own.
    Save("S1", "COM1", "2026-03-01T08:30:00.000Z", kShared, "succeeded", 10);
    Save("S1", "COM1", "2026-03-01T08:40:00.000Z", kShared, "failed");
    Save("S2", "COM1", "2026-03-01T09:00:00.000Z", QString(), "succeeded", 40);
    // Neither an unfinished run nor one after the period counts.
    Save("S2", "COM1", "2026-03-01T09:30:00.000Z", kChipB, "");
    Save("S2", "COM1", "2026-03-01T10:00:00.000Z", kChipB, "succeeded");

    const JournalSummary summary = Summarize();
    const SummaryFigures& line = summary.line;
    EXPECT_EQ(line.passed, 4);
    EXPECT_EQ(line.failed, 2);
    EXPECT_EQ(line.firstSeen, 4);  // A, both shared, the unknown one
    EXPECT_EQ(line.firstPassed, 2);
    EXPECT_EQ(line.chips, 5);  // C, A, both shared, the unknown one
    EXPECT_EQ(line.chipsPassed, 4);
    EXPECT_DOUBLE_EQ(line.hours, 4);
    EXPECT_DOUBLE_EQ(line.PerHour(), 1.5);
    EXPECT_EQ(line.medianSeconds, 20);  // of 10, 20, 30, 40
    EXPECT_EQ(line.p90Seconds, 40);

    ASSERT_EQ(summary.stations.size(), 2u);
    const StationSummary& s1 = summary.stations[0];
    EXPECT_EQ(s1.station, "S1");
    EXPECT_EQ(s1.figures.Runs(), 4);
    EXPECT_EQ(s1.figures.chips, 3);  // A's last run was on S2
    EXPECT_EQ(s1.figures.medianSeconds, 10);
    ASSERT_EQ(s1.fixtures.size(), 2u);
    EXPECT_EQ(s1.fixtures[1].port, "COM2");
    EXPECT_EQ(s1.fixtures[1].figures.failed, 1);
    EXPECT_EQ(s1.fixtures[1].figures.FirstPassYield(), 0);
    EXPECT_FALSE(s1.fixtures[1].figures.medianSeconds);

    // One station's summary is that station's part of the line's.
    const JournalSummary s2 = Summarize(QStringLiteral("S2"));
    ASSERT_EQ(s2.stations.size(), 1u);
    EXPECT_EQ(s2.line.passed, summary.stations[1].figures.passed);
    EXPECT_EQ(s2.line.chips, summary.stations[1].figures.chips);
    EXPECT_EQ(s2.line.FirstPassYield(), 100);
}

TEST(ShiftStart, ListsAreCheckedAndTheShiftUnderWayIsFound) {
    QString error;
    const auto starts = ParseShiftStarts(QStringLiteral("22:00, 06:00,14:00"), "ShiftStart", error);
    ASSERT_TRUE(starts) << error.toStdString();
    const QDate day(2026, 3, 2);
    const auto startAt = [&](int hour, int minute) {
        return ShiftStartAt(*starts, QDateTime(day, QTime(hour, minute)));
    };
    EXPECT_EQ(startAt(6, 0), QDateTime(day, QTime(6, 0)));
    EXPECT_EQ(startAt(21, 59), QDateTime(day, QTime(14, 0)));
    EXPECT_EQ(startAt(5, 59), QDateTime(day.addDays(-1), QTime(22, 0)));

    for (const char* bad : {"6:00", "24:00", "06:00,06:00", "06:00;14:00", ","}) {
        EXPECT_FALSE(ParseShiftStarts(QString::fromLatin1(bad), "ShiftStart", error)) << bad;
        EXPECT_TRUE(error.startsWith("ShiftStart")) << error.toStdString();
    }
}

}  // namespace
}  // namespace korvane
