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

struct FixtureLive;

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
    QString uid;                  // the chip's unique ID, 24 hexadecimal digits; empty: unknown
    std::optional<int> flashKib;  // its flash size
    QString signer;               // the key ID of the package's signature, when it had one
    QString signedComment;        // and its trusted comment
    QString code;    // the outcome's code ("ok", "write-refused", ...); empty: unfinished
    QString reason;  // why it failed, with its facts; empty when the status says all
    std::vector<JournalEntry> entries;
};

struct JournalQuery {
    QString since;  // records started at or after this ISO 8601 time or date
    std::optional<int> sequenceNumber;
    QString serial;
    QString uid;              // records of this chip
    bool duplicates = false;  // only records whose number another chip's record holds too
};

// Who holds a sequence number that a run wanted: the record of the device given it, or a
// station whose lease holds it (leaseStation).
struct NumberHolder {
    QString runId;
    QString serial;
    QString station;
    QString started;
    QString port;
    QString uid;  // the chip the holder's record names
    QString leaseStation;
    QString leaseInstance;  // the station whose lease it is, when it has an identity
};

enum class NumberRecorded {
    kRecorded,  // the number is the run's
    kHeld,      // another device (or another station's lease) holds it
    kFailed,    // the store could not be reached or written
};

// A block of consecutive numbers a station claimed, for going on while the server is away.
struct Lease {
    QString id;
    QString station;
    QString instance;  // the identity of the station that claimed it; empty for older leases
    int first = 0;
    int last = 0;
    QString claimed;  // UTC, ISO 8601
    int next = 0;     // the station's own copy: its next unused number (last + 1 when none)
    int used = 0;     // a listing: how many of its numbers records hold
};

// A station as the journal last heard of it: its identity, the name it runs under, the
// machine it runs on and when it was last seen (UTC, ISO 8601).
struct StationSeen {
    QString instance;
    QString name;
    QString host;
    QString seen;
};

// A number a record brought from a spool that another device already holds, or that lies
// in another station's lease: both records are kept, and the conflict with them.
struct NumberConflict {
    QString runId;
    int sequenceNumber = 0;
    QString serial;
    NumberHolder holder;
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
    // Makes the number and serial text the saved run's, in one transaction whose unique key
    // lets no other record have the number: kHeld (holder set) when another record has it,
    // or when it lies in the lease of another station. A station is known by its instance
    // (its identity), not by its name, which two stations may share; a lease claimed before
    // stations had identities is known by its station's name.
    NumberRecorded RecordNumber(const QString& runId, const QString& station,
                                const QString& instance, int sequenceNumber, const QString& serial,
                                NumberHolder& holder, QString& error) const;
    // Takes the next number of the shared sequence for the run, in one transaction
    // that also writes it into the run's record: a claimed number is never without the
    // device that holds it.
    bool ClaimNumber(const QString& runId, int& number, QString& error) const;
    // The number the next claim gives: the sequence's, raised past every number held.
    bool NextNumber(int& number, QString& error) const;
    bool SetNextNumber(int number, QString& error) const;
    // The highest sequence number any record holds; 0 when none does.
    bool HighestNumber(int& number, QString& error) const;
    // Claims count consecutive numbers of the shared sequence for station, recorded as its
    // lease in one transaction.
    bool ClaimLease(const QString& station, const QString& instance, int count, Lease& lease,
                    QString& error) const;
    // Every lease recorded here, oldest first, with how many of its numbers records hold.
    bool Leases(std::vector<Lease>& leases, QString& error) const;
    // A station's own copy of a lease it claimed from server (a Where() text), kept here.
    bool KeepLease(const QString& server, const Lease& lease, QString& error) const;
    // How many unused numbers the copies of station's leases from server hold here.
    bool LeasedNumbersLeft(const QString& server, const QString& station, int& left,
                           QString& error) const;
    // Takes the lowest unused number of those copies, in one transaction; number is 0 when
    // none is left.
    bool TakeLeasedNumber(const QString& server, const QString& station, int& number,
                          QString& error) const;
    // The lowest unused number of those copies without taking it; 0 when none is left.
    bool NextLeasedNumber(const QString& server, const QString& station, int& number,
                          QString& error) const;
    // Keeps one readout unprotect a service bench made: where, on which chip (when known),
    // and how it ended.
    bool RecordUnprotect(const QString& station, const QString& port, const QString& uid,
                         const QString& result, QString& error) const;
    // Records, oldest first.
    bool Records(const JournalQuery& query, std::vector<JournalRecord>& records,
                 QString& error) const;
    // Moves every record of the other journal (a spool of the station instance) here, then
    // removes it there. Each number goes through the same guard as a live run's: a record
    // whose number another device holds (or another station's lease) is kept beside the
    // holder's, never as the number's holder, and each such conflict is recorded and added
    // to conflicts.
    bool TakeOver(const Journal& other, const QString& instance,
                  std::vector<NumberConflict>& conflicts, QString& error) const;
    // Writes a fixture's live state over its last one.
    bool WriteFixtureState(const FixtureLive& state, QString& error) const;
    // Tells the journal that the station instance runs under name on host, now.
    bool SeeStation(const StationSeen& station, QString& error) const;
    // The stations taken to be running: seen since (UTC, ISO 8601), or holding a lease
    // with numbers no record holds yet.
    bool LiveStations(const QString& since, std::vector<StationSeen>& stations,
                      QString& error) const;

private:
    QString where;
};

}  // namespace korvane
