// A flash run as the journal sees it: the recorder that keeps the run's record from
// before the device is touched to its end, and the counter that hands out the line's
// shared sequence numbers from the journal's database.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <mutex>

#include "flashing/run_recorder.h"
#include "flashing/sequence_numbers.h"
#include "station/journal.h"

namespace korvane {

class JournalRecorder : public RunRecorder {
public:
    // mayWaitInSpool: the station goes on while its server is away (it holds a lease), so
    // a record that cannot reach the server is made in the spool instead. instance: the
    // station's identity, which its leases belong to.
    JournalRecorder(QString where, QString station, QString instance = {},
                    bool mayWaitInSpool = false);

    // Records that waited in the spool go to the server first; then the new record is
    // made (in the spool, when the station may go on without its server), or the run does
    // not start.
    bool Begin(const RunStart& start, std::string& why) override;
    NumberVerdict RecordNumber(int sequenceNumber, const std::string& serialText,
                               std::string& why) override;
    void DeviceIdentified(const std::string& uid, int flashKib) override;
    std::optional<EarlierRun> EarlierRunOf(const std::string& uid) override;
    void EntryEnded(const EntryResult& entry) override;
    // Completes the record; one that cannot reach the server waits in the spool.
    std::string End(const RunEnd& end) override;
    // Numbers found given twice as records came over from the spool, once each.
    std::vector<std::string> TakeAlerts() override;

    // Brings the records that wait in the spool to the server, through its number guard;
    // a conflict found becomes an alert. False (error set) when the server is out of reach.
    bool BringSpoolOver(QString& error) const;

    const Journal& Store() const { return journal; }
    const Journal& Spool() const { return spool; }
    const QString& Station() const { return station; }
    const QString& Instance() const { return instance; }
    QString RunId() const;
    // The last run's record as it was completed.
    JournalRecord LastRecord() const;

private:
    // Saves the run's record in the spool, where the rest of the run goes on.
    bool MoveToSpool();

    Journal journal;
    Journal spool;
    QString station;
    QString instance;
    bool mayWaitInSpool;
    mutable std::mutex mutex;
    mutable std::vector<std::string> alerts;
    JournalRecord record;
    bool inSpool = false;  // this run's record waits in the spool: the server is away
    QElapsedTimer clock;
};

// The shared sequence of a line of stations, kept in the journal's database. A number is
// claimed in one transaction with the record of the run that sends it.
//
// With a lease, the station claims blocks of that many numbers while the server can be
// reached, keeps its copy of them in its spool, and numbers its devices from them; while
// the server is away it goes on from what the lease still holds. A block is claimed anew
// whenever fewer than half a lease's numbers are left.
class JournalCounter : public SequenceNumbers {
public:
    explicit JournalCounter(const JournalRecorder& recorder, int lease = 0)
        : recorder(recorder), lease(lease) {}

    // The chosen number becomes the line's next one (not with a lease: its numbers are the
    // station's, and a chosen one would not be).
    bool Take(std::optional<int> chosen, std::string& why) override;
    // What the journal said was next when the run started; another station may take it.
    int Next() const override;
    bool Consume(int& number, const NumberGuard& guard, std::string& why) override;
    void Give() override {}

private:
    // Brings what waits in the spool to the server, then claims a new block when fewer
    // than half a lease are left. False (error set) when the server cannot be reached.
    bool TopUp(QString& error) const;
    // Takes the next leased number; claims a block first when none is left and the
    // server can be reached.
    bool TakeLeased(int& number, std::string& why) const;

    const JournalRecorder& recorder;
    const int lease;
    mutable std::mutex mutex;
    int next = 1;
};

// Makes number the next one of the line's shared sequence. Refused (why set) for a number
// at or below one that a record already holds.
bool SetLinesNextNumber(const Journal& journal, int number, std::string& why);

// The sentence an operator reads when the journal refuses a number another device holds.
QString NumberHeldText(int sequenceNumber, const NumberHolder& holder);

// The sentence an operator reads when a record that waited in the spool carries a number
// that another device holds.
QString NumberConflictText(const NumberConflict& conflict);

// The sentence an operator reads when the journal cannot be reached.
std::string JournalUnreachable(const Journal& journal, const QString& error);

}  // namespace korvane
