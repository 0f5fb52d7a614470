// The production journal: one record for every device run, in an SQLite file of the
// station's own or on a PostgreSQL server that a line of stations shares, and, when
// asked, the one sequence of device numbers that all of them draw from. Both stores go
// through the same statements; the program creates and migrates the schema itself.
//
// Every operation opens its own short connection in the calling thread: a flash run
// claims its number on its worker thread, and a database connection may only be used in
// the thread that opened it.
#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace korvane {

struct JournalEntry {
    QString name;
    QString kind;  // loader, firmware or data
    qint64 bytes = 0;
    QString result;  // succeeded or failed
};

struct JournalRecord {
    QString id;       // unique for the run, made at its start
    QString started;  // UTC, ISO 8601
    QString station;
    QString port;  // as the operator named it: COMn, or a device path
    QString device;
    QString package;
    qint64 packageSize = 0;
    QString sha256;
    std::optional<int> sequenceNumber;  // when a serial record was sent
    QString serial;                     // its 13 characters
    QString result;                     // succeeded, failed, or empty: never finished
    QString status;                     // the last status line the operator saw
    double seconds = 0;
    QString version;
    std::vector<JournalEntry> entries;
};

struct JournalQuery {
    QString since;  // records started at or after this ISO 8601 time or date
    std::optional<int> sequenceNumber;
    QString serial;
};

// Empty when where names a store this program can use: a postgresql:// (or postgres://)
// URI, or the path of an SQLite file. Otherwise a sentence saying why not and what is
// accepted: a mistyped URI must never become an SQLite file of that name, with a fresh
// sequence that starts again at 1.
QString JournalAddressProblem(const QString& where);

class Journal {
public:
    // where: a libpq connection URI for a server, or the path of an SQLite file.
    explicit Journal(QString where);

    // The embedded default: journal.sqlite in the per-user data folder.
    static QString DefaultPath();
    // Where records wait that could not reach a server.
    static QString SpoolPath();

    bool IsServer() const;
    // For messages: the URI without its password, or the file.
    QString Where() const;

    // Reaches the store and brings its schema up to date. Each call below does too.
    bool Open(QString& error) const;
    // Writes the record whole, new or over an earlier state of the same run.
    bool Save(const JournalRecord& record, QString& error) const;
    // Sets the sequence number and serial text of a run already saved.
    bool SetRecordedNumber(const QString& runId, int sequenceNumber, const QString& serial,
                           QString& error) const;
    // Takes the next number of the shared sequence for the run, in one transaction
    // that also writes it into the run's record: a claimed number is never without the
    // device that holds it.
    bool ClaimNumber(const QString& runId, int& number, QString& error) const;
    // The number the next claim gives: the sequence's, raised past every number held.
    bool NextNumber(int& number, QString& error) const;
    bool SetNextNumber(int number, QString& error) const;
    // The highest sequence number any record holds; 0 when none does.
    bool HighestNumber(int& number, QString& error) const;
    // Records, oldest first.
    bool Records(const JournalQuery& query, std::vector<JournalRecord>& records,
                 QString& error) const;
    // Moves every record of the other journal here, then removes it there.
    bool TakeOver(const Journal& other, QString& error) const;

private:
    QString where;
};

}  // namespace korvane
