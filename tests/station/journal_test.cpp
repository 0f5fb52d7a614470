// The journal's numbers in process, against SQLite files in a folder of the test's own:
// who may hold a sequence number, the leases of a line's stations, the journal's counter
// with and without a lease, and records that come back from a spool.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <optional>

#include "station/journal.h"
#include "station/journal_run.h"

namespace korvane {
namespace {

const QString kChipA = QStringLiteral("0123456789abcdef01234567");
const QString kChipB = QStringLiteral("fedcba9876543210fedcba98");
const QString kManyChips = QString(24, 'f');  // an ID that many chips share

class StationJournal : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        // The station's spool lives in the per-user data folder: this test's own.
        dataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", folder.path().toLocal8Bit());
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", dataHome); }

    // A run's record on chip uid, holding number when given one.
    void Save(const Journal& journal, const QString& id, const QString& uid,
              std::optional<int> number = std::nullopt) {
        JournalRecord record;
        record.id = id;
        record.started = QStringLiteral("2026-03-01T10:00:00.000Z");
        record.station = QStringLiteral("S1");
        record.uid = uid;
        record.sequenceNumber = number;
        QString error;
        ASSERT_TRUE(journal.Save(record, error)) << error.toStdString();
    }

    NumberRecorded Record(const QString& runId, const QString& station, const QString& instance,
                          int number) {
        QString error;
        const NumberRecorded recorded = server.RecordNumber(
            runId, station, instance, number,
            QStringLiteral("K35226010000") + QString::number(number % 10), holder, error);
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        return recorded;
    }

    Lease Claim(const QString& station, const QString& instance, int count) {
        Lease lease;
        QString error;
        EXPECT_TRUE(server.ClaimLease(station, instance, count, lease, error))
            << error.toStdString();
        return lease;
    }

    int Next() {
        int next = 0;
        QString error;
        EXPECT_TRUE(server.NextNumber(next, error)) << error.toStdString();
        return next;
    }

    // The runs whose records hold number, oldest first.
    std::vector<QString> RunsHolding(int number) {
        JournalQuery query;
        query.sequenceNumber = number;
        std::vector<JournalRecord> records;
        QString error;
        EXPECT_TRUE(server.Records(query, records, error)) << error.toStdString();
        std::vector<QString> runs;
        for (const JournalRecord& record : records) {
            runs.push_back(record.id);
        }
        return runs;
    }

    // The numbers that runs, one after the other, take from counter; 0 for a run that got none.
    static std::vector<int> NumberRuns(JournalCounter& counter, int runs) {
        std::vector<int> given;
        for (int run = 0; run < runs; ++run) {
            std::string why;
            int number = 0;
            EXPECT_TRUE(counter.Take(std::nullopt, why) && counter.Consume(number, {}, why)) << why;
            given.push_back(number);
        }
        return given;
    }

    // The server's journal file becomes a folder: no connection can open it.
    void TakeServerAway() {
        for (const char* suffix : {"", "-wal", "-shm"}) {
            QFile::remove(server.Where() + suffix);
        }
        ASSERT_TRUE(QDir().mkpath(server.Where()));
    }

    QTemporaryDir folder;
    QByteArray dataHome;
    Journal server{folder.filePath(QStringLiteral("line.sqlite"))};
    NumberHolder holder;
};

TEST_F(StationJournal, ANumberIsRefusedToAnotherChipAndGivenAgainToItsOwn) {
    Save(server, "first", kChipA);
    Save(server, "other", kChipB);
    Save(server, "rework", kChipA);
    EXPECT_EQ(Record("first", "S1", "i1", 7), NumberRecorded::kRecorded);
    EXPECT_EQ(Record("other", "S1", "i1", 7), NumberRecorded::kHeld);
    EXPECT_EQ(holder.runId, "first");
    EXPECT_EQ(holder.uid, kChipA);
    EXPECT_EQ(Record("rework", "S1", "i1", 7), NumberRecorded::kRecorded);

    // An ID that many chips share tells none of them apart.
    Save(server, "blank-1", kManyChips);
    Save(server, "blank-2", kManyChips);
    EXPECT_EQ(Record("blank-1", "S1", "i1", 8), NumberRecorded::kRecorded);
    EXPECT_EQ(Record("blank-2", "S1", "i1", 8), NumberRecorded::kHeld);
    EXPECT_EQ(RunsHolding(7), (std::vector<QString>{"first", "rework"}));
}

TEST_F(StationJournal, ANumberInAnotherStationsLeaseIsRefused) {
    const Lease lease = Claim("L1", "instance-1", 5);
    Save(server, "run", kChipA);
    // Another station is another instance, whatever name it runs under.
    EXPECT_EQ(Record("run", "L1", "instance-2", lease.first + 2), NumberRecorded::kHeld);
    EXPECT_EQ(holder.leaseStation, "L1");
    EXPECT_EQ(holder.leaseInstance, "instance-1");
    EXPECT_EQ(Record("run", "L1", "instance-1", lease.first + 2), NumberRecorded::kRecorded);
}

TEST_F(StationJournal, ALeaseClaimedWithoutAnInstanceIsToldByItsStationsName) {
    const Lease lease = Claim("L0", "", 5);
    Save(server, "run", kChipA);
    EXPECT_EQ(Record("run", "L1", "instance-1", lease.last), NumberRecorded::kHeld);
    EXPECT_EQ(holder.leaseStation, "L0");
    EXPECT_EQ(holder.leaseInstance, "");
    EXPECT_EQ(Record("run", "L0", "instance-1", lease.last), NumberRecorded::kRecorded);
}

TEST_F(StationJournal, TheSequenceGoesPastEveryNumberARecordOrALeaseHolds) {
    Save(server, "profile-counted", kChipA, 10);
    const Lease lease = Claim("L1", "instance-1", 5);
    EXPECT_EQ(lease.first, 11);
    EXPECT_EQ(lease.last, 15);
    QString error;
    ASSERT_TRUE(server.SetNextNumber(3, error)) << error.toStdString();
    EXPECT_EQ(Next(), 16);
    Save(server, "claimed", kChipB);
    int number = 0;
    ASSERT_TRUE(server.ClaimNumber("claimed", number, error)) << error.toStdString();
    EXPECT_EQ(number, 16);
    EXPECT_EQ(Next(), 17);
}

TEST_F(StationJournal, TheLinesNextNumberNeverGoesBackToOneHeld) {
    Save(server, "held", kChipA, 20);
    const Lease lease = Claim("L1", "instance-1", 5);
    std::string why;
    EXPECT_FALSE(SetLinesNextNumber(server, lease.last, why));
    EXPECT_NE(why.find("already holds sequence numbers up to 25, so the line's next number "
                       "cannot be 25"),
              std::string::npos)
        << why;
    EXPECT_FALSE(SetLinesNextNumber(server, 20, why));
    EXPECT_EQ(Next(), 26);
    EXPECT_TRUE(SetLinesNextNumber(server, 40, why)) << why;
    EXPECT_EQ(Next(), 40);
}

TEST_F(StationJournal, AStationTakesTheNumbersOfItsLeasesInTurn) {
    const Journal spool(Journal::SpoolPath());
    const QString other = QStringLiteral("postgresql://line-2/journal");
    QString error;
    const QString claimed = QStringLiteral("2026-03-01T09:00:00.000Z");
    ASSERT_TRUE(spool.KeepLease(server.Where(), {"a", "L1", "i1", 7, 8, claimed, 7}, error));
    ASSERT_TRUE(spool.KeepLease(server.Where(), {"b", "L1", "i1", 1, 3, claimed, 1}, error));
    ASSERT_TRUE(spool.KeepLease(other, {"c", "L1", "i1", 20, 30, claimed, 20}, error));
    int left = 0;
    ASSERT_TRUE(spool.LeasedNumbersLeft(server.Where(), "L1", left, error));
    EXPECT_EQ(left, 5);
    std::vector<int> taken;
    for (int number = -1; number != 0;) {
        ASSERT_TRUE(spool.TakeLeasedNumber(server.Where(), "L1", number, error))
            << error.toStdString();
        taken.push_back(number);
    }
    EXPECT_EQ(taken, (std::vector<int>{1, 2, 3, 7, 8, 0}));
    int next = 0;
    ASSERT_TRUE(spool.NextLeasedNumber(other, "L1", next, error));
    EXPECT_EQ(next, 20);
}

TEST_F(StationJournal, TheCounterClaimsEachNumberWithItsRunsRecord) {
    Save(server, "earlier", kChipA, 41);
    JournalRecorder recorder(server.Where(), "S1", "i1");
    JournalCounter counter(recorder);
    std::string why;
    ASSERT_TRUE(recorder.Begin({"COM1", "/dev/ttyS0", "p.bin"}, why)) << why;
    ASSERT_TRUE(counter.Take(std::nullopt, why)) << why;
    EXPECT_EQ(counter.Next(), 42);
    int number = 0;
    ASSERT_TRUE(counter.Consume(number, {}, why)) << why;
    EXPECT_EQ(number, 42);
    EXPECT_EQ(counter.Next(), 43);
    EXPECT_EQ(RunsHolding(42), std::vector<QString>{recorder.RunId()});

    // A number chosen for the run becomes the line's next, never one held already.
    EXPECT_FALSE(counter.Take(42, why));
    ASSERT_TRUE(counter.Take(50, why)) << why;
    EXPECT_EQ(counter.Next(), 50);
}

TEST_F(StationJournal, TheCounterWithALeaseClaimsAgainWhenHalfIsUsed) {
    JournalRecorder recorder(server.Where(), "L1", "i1");
    JournalCounter counter(recorder, 4);
    std::string why;
    // The fourth run found one number left, fewer than half a lease, and claimed the next.
    EXPECT_EQ(NumberRuns(counter, 4), (std::vector<int>{1, 2, 3, 4}));
    std::vector<Lease> leases;
    QString error;
    ASSERT_TRUE(server.Leases(leases, error)) << error.toStdString();
    ASSERT_EQ(leases.size(), 2u);
    EXPECT_EQ(leases[1].first, 5);
    EXPECT_EQ(leases[1].instance, "i1");
    EXPECT_FALSE(counter.Take(7, why)) << "a chosen number is not the station's";
}

TEST_F(StationJournal, TheCounterWithALeaseGoesOnWhileItsServerIsAway) {
    JournalRecorder recorder(server.Where(), "L1", "i1");
    JournalCounter counter(recorder, 2);
    std::string why;
    ASSERT_TRUE(counter.Take(std::nullopt, why)) << why;
    TakeServerAway();
    EXPECT_EQ(NumberRuns(counter, 2), (std::vector<int>{1, 2}));
    EXPECT_FALSE(counter.Take(std::nullopt, why));
    EXPECT_NE(why.find("cannot be reached, and this station's lease has no number left"),
              std::string::npos)
        << why;
}

TEST_F(StationJournal, ARecordFromASpoolWhoseNumberIsHeldComesOverAsAConflict) {
    const Journal spool(folder.filePath(QStringLiteral("spool.sqlite")));
    Save(server, "holder", kChipA);
    ASSERT_EQ(Record("holder", "S1", "i1", 5), NumberRecorded::kRecorded);
    const Lease lease = Claim("L9", "instance-9", 3);
    Save(spool, "other-chip", kChipB, 5);
    Save(spool, "same-chip", kChipA, 5);
    Save(spool, "in-a-lease", kChipB, lease.first);
    Save(spool, "fresh", kChipA, lease.last + 1);

    std::vector<NumberConflict> conflicts;
    QString error;
    ASSERT_TRUE(server.TakeOver(spool, "instance-1", conflicts, error)) << error.toStdString();
    // Records come over in the order they were made, here of their IDs.
    ASSERT_EQ(conflicts.size(), 2u);
    EXPECT_EQ(conflicts[0].runId, "in-a-lease");
    EXPECT_EQ(conflicts[0].holder.leaseStation, "L9");
    EXPECT_EQ(conflicts[1].runId, "other-chip");
    EXPECT_EQ(conflicts[1].holder.runId, "holder");

    // The holder keeps its number; the record nobody contested holds its own.
    Save(server, "later", kChipB);
    EXPECT_EQ(Record("later", "S1", "i1", 5), NumberRecorded::kHeld);
    EXPECT_EQ(holder.runId, "holder");
    EXPECT_EQ(Record("later", "S1", "i1", lease.last + 1), NumberRecorded::kHeld);
    EXPECT_EQ(holder.runId, "fresh");
    std::vector<JournalRecord> left;
    ASSERT_TRUE(spool.Records({}, left, error)) << error.toStdString();
    EXPECT_TRUE(left.empty());
}

}  // namespace
}  // namespace korvane
