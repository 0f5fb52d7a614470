// The journal's schema: the steps that create and migrate it, and the check that brings
// a store up to date when a connection opens it.
#include <QMutex>
#include <QSet>
#include <vector>

#include "station/journal.h"
#include "station/journal_connection.h"

namespace korvane::journal_sql {

namespace {

// Each step brings the schema from the version before it to its own; a store holds the
// versions it has been through, and a program never writes to a store that a newer one
// has migrated past what it knows.
struct Migration {
    int version;
    std::vector<const char*> statements;
};

// Moves the shared sequence past the highest number any record holds. Written without
// GREATEST or MAX(a, b), which the two stores spell differently. It reads runs because
// the numbers table came only with the step after it; a step that ran on stored journals
// stays as it ran, and the runtime reads the highest number held from numbers.
constexpr char kRaiseSequence[] =
    "UPDATE sequence SET next = (SELECT COALESCE(MAX(sn), 0) + 1 FROM runs) WHERE id = 1 AND "
    "next <= (SELECT COALESCE(MAX(sn), 0) FROM runs)";

const std::vector<Migration>& Migrations() {
    static const std::vector<Migration> migrations = {
        {1,
         {
             "CREATE TABLE IF NOT EXISTS runs (id TEXT PRIMARY KEY, started TEXT NOT NULL, "
             "station TEXT NOT NULL, port TEXT NOT NULL, device TEXT NOT NULL, package TEXT NOT "
             "NULL, package_size BIGINT NOT NULL, sha256 TEXT NOT NULL, sn INTEGER, serial TEXT, "
             "result TEXT, status TEXT, seconds DOUBLE PRECISION, version TEXT NOT NULL)",
             "CREATE INDEX IF NOT EXISTS runs_started ON runs (started)",
             "CREATE INDEX IF NOT EXISTS runs_sn ON runs (sn)",
             "CREATE TABLE IF NOT EXISTS entries (run_id TEXT NOT NULL, position INTEGER NOT "
             "NULL, name TEXT NOT NULL, kind TEXT NOT NULL, bytes BIGINT NOT NULL, result TEXT "
             "NOT NULL, PRIMARY KEY (run_id, position))",
             "CREATE TABLE IF NOT EXISTS sequence (id INTEGER PRIMARY KEY, next INTEGER NOT NULL)",
             "INSERT INTO sequence (id, next) VALUES (1, 1) ON CONFLICT DO NOTHING",
         }},
        // A journal that recorded numbers from the profile's counter before its own
        // sequence was used must not hand those numbers out again.
        {2, {kRaiseSequence}},
        // Every sequence number a device was given belongs to one record, and the store
        // itself refuses a second: the earliest record of each number keeps it, and
        // records that already share one (made before) stay as they are.
        {3,
         {
             "CREATE TABLE IF NOT EXISTS numbers (sn INTEGER PRIMARY KEY, run_id TEXT NOT NULL)",
             "INSERT INTO numbers (sn, run_id) SELECT r.sn, r.id FROM runs r WHERE r.sn IS NOT "
             "NULL AND NOT EXISTS (SELECT 1 FROM runs o WHERE o.sn = r.sn AND (o.started < "
             "r.started OR (o.started = r.started AND o.id < r.id))) ON CONFLICT DO NOTHING",
             // Blocks of numbers that a station claimed to go on with while the server is
             // away; held_leases is a station's own copy, in its spool, with the next unused.
             "CREATE TABLE IF NOT EXISTS leases (id TEXT PRIMARY KEY, station TEXT NOT NULL, "
             "first INTEGER NOT NULL, last INTEGER NOT NULL, claimed TEXT NOT NULL)",
             "CREATE TABLE IF NOT EXISTS held_leases (id TEXT PRIMARY KEY, server TEXT NOT NULL, "
             "station TEXT NOT NULL, first INTEGER NOT NULL, last INTEGER NOT NULL, next "
             "INTEGER NOT NULL, claimed TEXT NOT NULL)",
         }},
        // Which chip a run flashed (its unique ID and flash size), who signed the package
        // it wrote, and every readout unprotect a service bench made.
        {4,
         {
             "ALTER TABLE runs ADD COLUMN uid TEXT",
             "ALTER TABLE runs ADD COLUMN flash_kib INTEGER",
             "ALTER TABLE runs ADD COLUMN signer TEXT",
             "ALTER TABLE runs ADD COLUMN signed_comment TEXT",
             "CREATE INDEX IF NOT EXISTS runs_uid ON runs (uid)",
             "CREATE TABLE IF NOT EXISTS unprotects (id TEXT PRIMARY KEY, time TEXT NOT NULL, "
             "station TEXT NOT NULL, port TEXT NOT NULL, uid TEXT, result TEXT NOT NULL)",
         }},
        // A lease belongs to one station instance, not to a name two stations may share;
        // the stations as last heard of; and the numbers that came back from a spool while
        // another device held them.
        {5,
         {
             "ALTER TABLE leases ADD COLUMN instance TEXT",
             "CREATE TABLE IF NOT EXISTS stations (instance TEXT PRIMARY KEY, name TEXT NOT "
             "NULL, host TEXT NOT NULL, seen TEXT NOT NULL)",
             "CREATE TABLE IF NOT EXISTS conflicts (run_id TEXT PRIMARY KEY, sn INTEGER NOT "
             "NULL, holder_run_id TEXT, lease_station TEXT, found TEXT NOT NULL)",
         }},
        // How each run ended for a line's own software (the outcome's stable code), and
        // why it failed with the facts the engine had: entry, address or block, cause.
        {6,
         {
             "ALTER TABLE runs ADD COLUMN code TEXT",
             "ALTER TABLE runs ADD COLUMN reason TEXT",
         }},
        // What a line's supervisor asks of the journal, answered from indexes: a period's
        // runs of a station, a page after a cursor, a chip's history by its unique ID or its
        // serial text. And each fixture's live state, as its station last wrote it.
        {7,
         {
             "CREATE INDEX IF NOT EXISTS runs_started_id ON runs (started, id)",
             "CREATE INDEX IF NOT EXISTS runs_station_started ON runs (station, started)",
             "CREATE INDEX IF NOT EXISTS runs_uid_started ON runs (uid, started)",
             "CREATE INDEX IF NOT EXISTS runs_serial ON runs (serial)",
             "CREATE TABLE IF NOT EXISTS fixture_states (instance TEXT NOT NULL, fixture INTEGER "
             "NOT NULL, port TEXT NOT NULL, state TEXT NOT NULL, detail TEXT NOT NULL, entry "
             "TEXT, percent INTEGER, code TEXT, changed TEXT NOT NULL, PRIMARY KEY (instance, "
             "fixture))",
         }},
    };
    return migrations;
}

}  // namespace

bool Connection::IsCurrent(QString& error) {
    const int latest = Migrations().back().version;
    QSqlQuery probe(Db());
    if (!probe.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM journal_schema")) ||
        !probe.next()) {
        error = QStringLiteral("%1 holds no journal").arg(Journal(where).Where());
        return false;
    }
    const int version = probe.value(0).toInt();
    if (version > latest) {
        error = QStringLiteral(
                    "the journal was written by a newer program (schema %1; this one knows %2)")
                    .arg(version)
                    .arg(latest);
    } else if (version < latest) {
        error = QStringLiteral(
                    "the journal's schema is version %1 and this program reads version %2: let "
                    "a station of this version (or korvane-flash journal) open it first")
                    .arg(version)
                    .arg(latest);
    }
    return version == latest;
}

// Creates or migrates the schema once per process and store, and again for a journal
// file that this connection made: one removed while the station ran (moved away for an
// archive, say) comes back whole instead of failing every run on its missing tables.
bool Connection::UpToDate(QString& error) {
    static QMutex mutex;
    static QSet<QString> current;
    QMutexLocker lock(&mutex);
    if (current.contains(where) && !madeHere) {
        return true;
    }
    const int latest = Migrations().back().version;
    // Up to date already, as a store mostly is: nothing to create or to lock.
    QSqlQuery probe(Db());
    if (probe.exec(QStringLiteral("SELECT MAX(version) FROM journal_schema")) && probe.next() &&
        probe.value(0).toInt() == latest) {
        current.insert(where);
        return true;
    }
    probe.finish();
    const bool migrated = InTransaction(error, [&] {
        if (IsServerAddress(where) &&
            // Stations that start together on a new database create it one at a time.
            !Exec(QStringLiteral("SELECT pg_advisory_xact_lock(5152601)"), error)) {
            return false;
        }
        if (!Exec(QStringLiteral(
                      "CREATE TABLE IF NOT EXISTS journal_schema (version INTEGER PRIMARY KEY)"),
                  error)) {
            return false;
        }
        QSqlQuery query(Db());
        if (!query.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM journal_schema")) ||
            !query.next()) {
            error = Why(query.lastError());
            return false;
        }
        const int version = query.value(0).toInt();
        if (version > latest) {
            error = QStringLiteral(
                        "the journal was written by a newer program (schema %1; "
                        "this one knows %2)")
                        .arg(version)
                        .arg(latest);
            return false;
        }
        for (const Migration& step : Migrations()) {
            if (step.version <= version) {
                continue;
            }
            for (const char* statement : step.statements) {
                if (!Exec(QString::fromLatin1(statement), error)) {
                    return false;
                }
            }
            if (!Exec(QStringLiteral("INSERT INTO journal_schema (version) VALUES (%1)")
                          .arg(step.version),
                      error)) {
                return false;
            }
        }
        return true;
    });
    if (migrated && !IsServerAddress(where)) {
        // Readers never wait for a writer, and one station's processes write in turn.
        Exec(QStringLiteral("PRAGMA journal_mode=WAL"), error);
    }
    if (migrated) {
        current.insert(where);
    }
    return migrated;
}

}  // namespace korvane::journal_sql
