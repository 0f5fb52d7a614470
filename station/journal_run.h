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
    JournalRecorder(QString where, QString station);

    // Records that waited in the spool go to the server first; then the new record is
    // made, or the run does not start.
    bool Begin(const RunStart& start, std::string& why) override;
    bool RecordNumber(int sequenceNumber, const std::string& serialText, std::string& why) override;
    void EntryEnded(const EntryResult& entry) override;
    // Completes the record; one that cannot reach the server waits in the spool.
    void End(bool succeeded, const std::string& status) override;

    const Journal& Store() const { return journal; }
    QString RunId() const;
    // The last run's record as it was completed.
    JournalRecord LastRecord() const;
    // Why the last record could not be completed in the journal ("" when it was).
    QString CompletionProblem() const;

private:
    Journal journal;
    Journal spool;
    QString station;
    mutable std::mutex mutex;
    JournalRecord record;
    QString completionProblem;
    QElapsedTimer clock;
};

// The shared sequence of a line of stations, kept in the journal's database. A number is
// claimed in one transaction with the record of the run that sends it.
class JournalCounter : public SequenceNumbers {
public:
    explicit JournalCounter(const JournalRecorder& recorder) : recorder(recorder) {}

    // The chosen number becomes the line's next one.
    bool Take(std::optional<int> chosen, std::string& why) override;
    // What the journal said was next when the run started; another station may take it.
    int Next() const override;
    bool Consume(int& number, std::string& why) override;
    void Give() override {}

private:
    const JournalRecorder& recorder;
    mutable std::mutex mutex;
    int next = 1;
};

// Makes number the next one of the line's shared sequence. Refused (why set) for a number
// at or below one that a record already holds.
bool SetLinesNextNumber(const Journal& journal, int number, std::string& why);

// The sentence an operator reads when the journal cannot be reached.
std::string JournalUnreachable(const Journal& journal, const QString& error);

}  // namespace korvane
