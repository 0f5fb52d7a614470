#include "station/journal.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <QVariant>
#include <algorithm>

#include "flashing/serial_record.h"
#include "platform/unique_id.h"
#include "settings/profile.h"

namespace korvane {

namespace {

// Each step brings the schema from the version before it to its own; a store holds the
// versions it has been through, and a program never writes to a store that a newer one
// has migrated past what it knows.
struct Migration {
    int version;
    std::vector<const char*> statements;
};

// Moves the shared sequence past the highest number any record holds. Written without
// GREATEST or MAX(a, b), which the two stores spell differently.
constexpr char kRaiseSequence[] =
    "UPDATE sequence SET next = (SELECT COALESCE(MAX(sn), 0) + 1 FROM runs) WHERE id = 1 AND "
    "next <= (SELECT COALESCE(MAX(sn), 0) FROM runs)";

// The same past every number a record or a station's lease holds, and taking the row's
// lock, so that claims and records of numbers at one server follow one another.
constexpr char kRaiseSequencePastAll[] =
    "UPDATE sequence SET next = CASE WHEN next > (SELECT MAX(m) FROM (SELECT COALESCE(MAX(sn), "
    "0) AS m FROM numbers UNION ALL SELECT COALESCE(MAX(last), 0) AS m FROM leases) AS held) "
    "THEN next ELSE (SELECT MAX(m) FROM (SELECT COALESCE(MAX(sn), 0) AS m FROM numbers UNION "
    "ALL SELECT COALESCE(MAX(last), 0) AS m FROM leases) AS held) + 1 END WHERE id = 1";

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
    };
    return migrations;
}

constexpr char kRunColumns[] =
    "id, started, station, port, device, package, package_size, sha256, sn, serial, result, "
    "status, seconds, version, uid, flash_kib, signer, signed_comment";

// A URI's scheme is case-insensitive; libpq itself knows these two spellings.
bool IsServerAddress(const QString& where) {
    return where.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           where.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

// The Debian package that brings a Qt SQL driver, for the message when it is missing.
QString DriverPackage(const QString& driver) {
    return driver == QLatin1String("QPSQL") ? QStringLiteral("libqt6sql6-psql")
                                            : QStringLiteral("libqt6sql6-sqlite");
}

QVariant NullableInt(const std::optional<int>& value) {
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<int>());
}

// Never null: the column holds text, if only an empty one.
QVariant Text(const QString& text) {
    return QVariant(text.isNull() ? QStringLiteral("") : text);
}

QVariant NullableText(const QString& text) {
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

// The store's own words on one line: the client library breaks its message over several
// lines, with a tab before the hint, which a status line or a log would show escaped.
// Qt's own words for the step that failed ("Unable to fetch row") add nothing to them.
QString Why(const QSqlError& error) {
    const QString said = error.databaseText().simplified();
    return said.isEmpty() ? error.driverText().simplified() : said;
}

// One connection, opened in this thread and removed when it goes.
class Connection {
public:
    explicit Connection(const QString& where) : where(where) {
        static QAtomicInteger<quint64> counter;
        name = QStringLiteral("korvane-journal-%1").arg(counter.fetchAndAddRelaxed(1));
        const QString driver =
            IsServerAddress(where) ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
        if (!QSqlDatabase::isDriverAvailable(driver)) {
            missingDriver = driver;
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, name);
        if (IsServerAddress(where)) {
            // The URI's parts, and its parameters (a socket folder as host=, say) as the
            // client library's own settings.
            const QUrl url(where);
            db.setHostName(url.host());
            db.setPort(url.port(-1));
            db.setUserName(url.userName());
            db.setPassword(url.password());
            db.setDatabaseName(url.path().mid(1));
            QStringList options = {QStringLiteral("connect_timeout=5")};
            for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
                options << key + "='" + QString(value).replace('\\', "\\\\").replace('\'', "\\'") +
                               "'";
            }
            db.setConnectOptions(options.join(';'));
        } else {
            QDir().mkpath(QFileInfo(where).absolutePath());
            madeHere = !QFileInfo::exists(where);
            db.setDatabaseName(where);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
        }
    }
    ~Connection() {
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QSqlDatabase Db() const { return QSqlDatabase::database(name, false); }

    bool Open(QString& error) {
        if (!missingDriver.isEmpty()) {
            error = QStringLiteral("the Qt %1 driver is not installed (Debian package %2)")
                        .arg(missingDriver == QLatin1String("QPSQL") ? QStringLiteral("PostgreSQL")
                                                                     : QStringLiteral("SQLite"),
                             DriverPackage(missingDriver));
            return false;
        }
        QSqlDatabase db = Db();
        if (!db.open()) {
            error = Why(db.lastError());
            return false;
        }
        return UpToDate(error);
    }

    // Runs statements in one transaction: all of them or none.
    template <typename Body>
    bool InTransaction(QString& error, Body body) {
        QSqlDatabase db = Db();
        if (!db.transaction()) {
            error = Why(db.lastError());
            return false;
        }
        if (!body() || !db.commit()) {
            if (error.isEmpty()) {
                error = Why(db.lastError());
            }
            db.rollback();
            return false;
        }
        return true;
    }

    bool Exec(QSqlQuery& query, QString& error) {
        if (query.exec()) {
            return true;
        }
        error = Why(query.lastError());
        return false;
    }

    // One statement with its values bound in order, run in query (whose rows the caller
    // then reads). A statement that cannot be prepared (the store is full, or gone) says
    // why here; binding values to it anyway would only report that their count is wrong.
    bool Run(QSqlQuery& query, const QString& statement, const QVariantList& values,
             QString& error) {
        if (!query.prepare(statement)) {
            error = Why(query.lastError());
            return false;
        }
        for (const QVariant& value : values) {
            query.addBindValue(value);
        }
        return Exec(query, error);
    }

    bool Exec(const QString& statement, const QVariantList& values, QString& error) {
        QSqlQuery query(Db());
        return Run(query, statement, values, error);
    }

    // The first column of the first row the statement gives as a number; 0 when it gives
    // no row.
    bool QueryNumber(const QString& statement, const QVariantList& values, int& number,
                     QString& error) {
        QSqlQuery query(Db());
        if (!Run(query, statement, values, error)) {
            return false;
        }
        number = query.next() ? query.value(0).toInt() : 0;
        return true;
    }

    bool Exec(const QString& statement, QString& error) {
        QSqlQuery query(Db());
        if (query.exec(statement)) {
            return true;
        }
        error = Why(query.lastError());
        return false;
    }

private:
    // Creates or migrates the schema once per process and store, and again for a journal
    // file that this connection made: one removed while the station ran (moved away for an
    // archive, say) comes back whole instead of failing every run on its missing tables.
    bool UpToDate(QString& error) {
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
            if (!Exec(
                    QStringLiteral(
                        "CREATE TABLE IF NOT EXISTS journal_schema (version INTEGER PRIMARY KEY)"),
                    error)) {
                return false;
            }
            QSqlQuery query(Db());
            if (!query.exec(
                    QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM journal_schema")) ||
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

    QString where;
    QString name;
    QString missingDriver;  // the Qt driver this store needs, when it is not installed
    bool madeHere = false;  // an SQLite file that was not there before this connection
};

JournalRecord RecordFrom(const QSqlQuery& query) {
    JournalRecord record;
    record.id = query.value(0).toString();
    record.started = query.value(1).toString();
    record.station = query.value(2).toString();
    record.port = query.value(3).toString();
    record.device = query.value(4).toString();
    record.package = query.value(5).toString();
    record.packageSize = query.value(6).toLongLong();
    record.sha256 = query.value(7).toString();
    if (!query.value(8).isNull()) {
        record.sequenceNumber = query.value(8).toInt();
    }
    record.serial = query.value(9).toString();
    record.result = query.value(10).toString();
    record.status = query.value(11).toString();
    record.seconds = query.value(12).toDouble();
    record.version = query.value(13).toString();
    record.uid = query.value(14).toString();
    if (!query.value(15).isNull()) {
        record.flashKib = query.value(15).toInt();
    }
    record.signer = query.value(16).toString();
    record.signedComment = query.value(17).toString();
    return record;
}

// Writes the record, its number (held by the record unless another holds it already) and
// its entries, inside the caller's transaction.
bool WriteRecord(Connection& connection, const JournalRecord& record, QString& error) {
    {
        // A number once recorded is never taken out of a record again.
        if (!connection.Exec(
                QStringLiteral(
                    "INSERT INTO runs (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                    "?, ?) ON CONFLICT (id) DO UPDATE SET started = excluded.started, station = "
                    "excluded.station, port = excluded.port, device = excluded.device, package "
                    "= excluded.package, package_size = excluded.package_size, sha256 = "
                    "excluded.sha256, sn = COALESCE(excluded.sn, runs.sn), serial = "
                    "COALESCE(excluded.serial, runs.serial), result = excluded.result, status "
                    "= excluded.status, seconds = excluded.seconds, version = excluded.version, "
                    "uid = COALESCE(excluded.uid, runs.uid), flash_kib = "
                    "COALESCE(excluded.flash_kib, runs.flash_kib), signer = excluded.signer, "
                    "signed_comment = excluded.signed_comment")
                    .arg(QLatin1String(kRunColumns)),
                {Text(record.id), Text(record.started), Text(record.station), Text(record.port),
                 Text(record.device), Text(record.package), QVariant(record.packageSize),
                 Text(record.sha256), NullableInt(record.sequenceNumber),
                 NullableText(record.serial), NullableText(record.result), Text(record.status),
                 QVariant(record.seconds), Text(record.version), NullableText(record.uid),
                 NullableInt(record.flashKib), NullableText(record.signer),
                 NullableText(record.signedComment)},
                error)) {
            return false;
        }
        // A record that went round the spool keeps its number where nobody else holds it;
        // where someone does, both records stay, and "journal --duplicates" shows them.
        if (record.sequenceNumber &&
            !connection.Exec(QStringLiteral("INSERT INTO numbers (sn, run_id) VALUES (?, ?) ON "
                                            "CONFLICT DO NOTHING"),
                             {*record.sequenceNumber, Text(record.id)}, error)) {
            return false;
        }
        if (!connection.Exec(QStringLiteral("DELETE FROM entries WHERE run_id = ?"), {record.id},
                             error)) {
            return false;
        }
        for (size_t i = 0; i < record.entries.size(); ++i) {
            const JournalEntry& entry = record.entries[i];
            if (!connection.Exec(QStringLiteral("INSERT INTO entries (run_id, position, name, "
                                                "kind, bytes, result) VALUES (?, ?, ?, ?, ?, ?)"),
                                 {Text(record.id), QVariant(static_cast<int>(i)), Text(entry.name),
                                  Text(entry.kind), QVariant(entry.bytes), Text(entry.result)},
                                 error)) {
                return false;
            }
        }
        return true;
    }
}

bool SaveIn(Connection& connection, const JournalRecord& record, QString& error) {
    return connection.InTransaction(error, [&] { return WriteRecord(connection, record, error); });
}

}  // namespace

QString JournalAddressProblem(const QString& where) {
    const QString accepted = QStringLiteral(
        "give a PostgreSQL URI (postgresql://user@host:port/dbname) or the path of an SQLite "
        "file");
    if (where.trimmed().isEmpty()) {
        return QStringLiteral("The journal is named by an empty text: %1.").arg(accepted);
    }
    if (IsServerAddress(where)) {
        const QUrl url(where, QUrl::StrictMode);
        if (!url.isValid() || url.hasFragment() ||
            (!url.path().isEmpty() && !url.path().startsWith('/'))) {
            return QStringLiteral("The journal \"%1\" is not a valid PostgreSQL URI: %2.")
                .arg(Journal(where).Where(), accepted);
        }
        return {};
    }
    // Anything that starts like a URI is one, and not a file of that name in the current
    // folder; a single letter before the colon is a Windows drive.
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]+):"));
    if (const auto match = scheme.match(where); match.hasMatch()) {
        const QString name = match.captured(1);
        if (name.compare(QLatin1String("postgresql"), Qt::CaseInsensitive) == 0 ||
            name.compare(QLatin1String("postgres"), Qt::CaseInsensitive) == 0) {
            return QStringLiteral(
                       "The journal \"%1\" is not a valid PostgreSQL URI (it needs "
                       "\"//\" after \"%2:\"): %3.")
                .arg(Journal(where).Where(), name, accepted);
        }
        return QStringLiteral("The journal \"%1\" has the unknown scheme \"%2:\": %3.")
            .arg(Journal(where).Where(), name, accepted);
    }
    return {};
}

Journal::Journal(QString where) : where(std::move(where)) {}

QString Journal::DefaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/" +
           kProfileKey + "/journal.sqlite";
}

QString Journal::SpoolPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/" +
           kProfileKey + "/journal-spool.sqlite";
}

bool Journal::IsServer() const {
    return IsServerAddress(where);
}

QString Journal::Where() const {
    QString shown = where;
    return shown.replace(QRegularExpression(QStringLiteral("(://[^:/@]*):[^@/]*@")),
                         QStringLiteral("\\1@"));
}

bool Journal::Open(QString& error) const {
    Connection connection(where);
    return connection.Open(error);
}

bool Journal::Save(const JournalRecord& record, QString& error) const {
    Connection connection(where);
    return connection.Open(error) && SaveIn(connection, record, error);
}

namespace {

// The highest number a record or a lease holds, as a subquery of both stores.
constexpr char kHighestHeld[] =
    "(SELECT MAX(m) FROM (SELECT COALESCE(MAX(sn), 0) AS m FROM runs UNION ALL SELECT "
    "COALESCE(MAX(last), 0) AS m FROM leases) AS held)";

// Takes count consecutive numbers of the shared sequence, inside the caller's
// transaction: first is the lowest. Never a number a record or a lease already holds, and
// none past the range, which the serial record would cut.
bool TakeFromSequence(Connection& connection, int count, int& first, QString& error) {
    if (!connection.Exec(QString::fromLatin1(kRaiseSequencePastAll), error)) {
        return false;
    }
    QSqlQuery claim(connection.Db());
    if (!connection.Run(claim,
                        QStringLiteral("UPDATE sequence SET next = next + ? WHERE id = 1 AND next "
                                       ">= ? AND next + ? - 1 <= ? RETURNING next - ?"),
                        {count, kMinSequenceNumber, count, kMaxSequenceNumber, count}, error)) {
        return false;
    }
    if (claim.next()) {
        first = claim.value(0).toInt();
        return true;
    }
    int next = 0;
    QSqlQuery stored(connection.Db());
    if (connection.Run(stored, QStringLiteral("SELECT next FROM sequence WHERE id = 1"), {},
                       error) &&
        stored.next()) {
        next = stored.value(0).toInt();
    }
    if (next == kMaxSequenceNumber + 1) {
        error = QStringLiteral("its sequence numbers are used up: %1").arg(UsedUpText());
    } else if (count > 1 && next >= kMinSequenceNumber && next <= kMaxSequenceNumber) {
        error = QStringLiteral("only %1 of its numbers are left, fewer than a lease of %2")
                    .arg(kMaxSequenceNumber - next + 1)
                    .arg(count);
    } else {
        error = QStringLiteral("its next number, %1, is outside %2 … %3")
                    .arg(next)
                    .arg(kMinSequenceNumber)
                    .arg(kMaxSequenceNumber);
    }
    return false;
}

// A number inside another station's lease is that station's, used or not yet. Another
// station is another instance; a lease claimed before stations had identities is told by
// its station's name. leased is set, and holder names the lease's station, when it is.
bool InAnothersLease(Connection& connection, int number, const QString& station,
                     const QString& instance, NumberHolder& holder, bool& leased, QString& error) {
    QSqlQuery lease(connection.Db());
    if (!connection.Run(lease,
                        QStringLiteral("SELECT station, instance FROM leases WHERE ? BETWEEN first "
                                       "AND last AND NOT (COALESCE(instance, '') = ? OR (instance "
                                       "IS NULL AND station = ?))"),
                        {number, instance, station}, error)) {
        return false;
    }
    leased = lease.next();
    if (leased) {
        holder = NumberHolder{};
        holder.leaseStation = lease.value(0).toString();
        holder.leaseInstance = lease.value(1).toString();
    }
    return true;
}

// Who holds number, for the refusal's message.
NumberHolder HolderOf(Connection& connection, int number) {
    NumberHolder holder;
    QSqlQuery query(connection.Db());
    QString error;
    if (connection.Run(
            query,
            QStringLiteral("SELECT r.id, r.serial, r.station, r.started, r.port, r.uid "
                           "FROM numbers n JOIN runs r ON r.id = n.run_id WHERE n.sn = ?"),
            {number}, error) &&
        query.next()) {
        holder.runId = query.value(0).toString();
        holder.serial = query.value(1).toString();
        holder.station = query.value(2).toString();
        holder.started = query.value(3).toString();
        holder.port = query.value(4).toString();
        holder.uid = query.value(5).toString();
    }
    return holder;
}

// True when uid is the very chip that holds the number already: a device that came back
// for rework may be sent its own serial record again, and nobody else's. An ID of all
// zeros or all ones is shared by many chips and tells none apart.
bool SameChip(const QString& uid, const NumberHolder& holder) {
    return IsChipIdentity(holder.uid.toStdString()) && uid == holder.uid;
}

// The same for the chip of the run's record.
bool SameChip(Connection& connection, const QString& runId, const NumberHolder& holder) {
    QSqlQuery query(connection.Db());
    QString error;
    return connection.Run(query, QStringLiteral("SELECT uid FROM runs WHERE id = ?"), {runId},
                          error) &&
           query.next() && SameChip(query.value(0).toString(), holder);
}

// Writes a record that waited in a spool, inside the caller's transaction, through the
// guard a live run's number goes through: its number is found in another station's lease,
// or held by another chip's record, and the conflict is kept (conflict set) instead of
// passing unseen.
bool WriteTakenOver(Connection& connection, const JournalRecord& record, const QString& instance,
                    std::optional<NumberConflict>& conflict, QString& error) {
    conflict.reset();
    NumberHolder holder;
    bool leased = false;
    if (record.sequenceNumber &&
        !InAnothersLease(connection, *record.sequenceNumber, record.station, instance, holder,
                         leased, error)) {
        return false;
    }
    // Written first, so that a number nobody holds becomes this record's.
    if (!WriteRecord(connection, record, error)) {
        return false;
    }
    if (!record.sequenceNumber) {
        return true;
    }
    if (!leased) {
        holder = HolderOf(connection, *record.sequenceNumber);
        if (holder.runId == record.id || SameChip(record.uid, holder)) {
            return true;
        }
    }
    conflict = NumberConflict{record.id, *record.sequenceNumber, record.serial, holder};
    return connection.Exec(
        QStringLiteral("INSERT INTO conflicts (run_id, sn, holder_run_id, lease_station, found) "
                       "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"),
        {record.id, *record.sequenceNumber, NullableText(holder.runId),
         NullableText(holder.leaseStation),
         QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        error);
}

}  // namespace

NumberRecorded Journal::RecordNumber(const QString& runId, const QString& station,
                                     const QString& instance, int sequenceNumber,
                                     const QString& serial, NumberHolder& holder,
                                     QString& error) const {
    Connection connection(where);
    if (!connection.Open(error)) {
        return NumberRecorded::kFailed;
    }
    NumberRecorded outcome = NumberRecorded::kFailed;
    const bool committed = connection.InTransaction(error, [&] {
        // After every claim of a number or a lease that came before: the row's lock makes
        // them follow one another.
        if (!connection.Exec(QStringLiteral("UPDATE sequence SET next = next WHERE id = 1"),
                             error)) {
            return false;
        }
        bool leased = false;
        if (!InAnothersLease(connection, sequenceNumber, station, instance, holder, leased,
                             error)) {
            return false;
        }
        if (leased) {
            outcome = NumberRecorded::kHeld;
            return false;
        }
        // The store's own key decides: of two runs that try one number, one gets it.
        if (!connection.Exec(
                QStringLiteral("INSERT INTO numbers (sn, run_id) VALUES (?, ?) ON CONFLICT DO "
                               "NOTHING"),
                {sequenceNumber, runId}, error)) {
            return false;
        }
        holder = HolderOf(connection, sequenceNumber);
        if (holder.runId != runId && !SameChip(connection, runId, holder)) {
            outcome = NumberRecorded::kHeld;
            return false;
        }
        QSqlQuery record(connection.Db());
        if (!connection.Run(record,
                            QStringLiteral("UPDATE runs SET sn = ?, serial = ? WHERE id = ?"),
                            {sequenceNumber, serial, runId}, error)) {
            return false;
        }
        if (record.numRowsAffected() != 1) {
            error = QStringLiteral("it holds no record of this run");
            return false;
        }
        return true;
    });
    if (committed) {
        return NumberRecorded::kRecorded;
    }
    if (outcome == NumberRecorded::kHeld) {
        error.clear();
    }
    return outcome;
}

bool Journal::ClaimNumber(const QString& runId, int& number, QString& error) const {
    Connection connection(where);
    return connection.Open(error) && connection.InTransaction(error, [&] {
        if (!TakeFromSequence(connection, 1, number, error)) {
            return false;
        }
        // The claimed number is the run's record's at once: never without the device
        // that holds it.
        QSqlQuery record(connection.Db());
        if (!connection.Exec(QStringLiteral("INSERT INTO numbers (sn, run_id) VALUES (?, ?)"),
                             {number, runId}, error) ||
            !connection.Run(record, QStringLiteral("UPDATE runs SET sn = ? WHERE id = ?"),
                            {number, runId}, error)) {
            return false;
        }
        if (record.numRowsAffected() != 1) {
            error = QStringLiteral("it holds no record of this run");
            return false;
        }
        return true;
    });
}

bool Journal::NextNumber(int& number, QString& error) const {
    Connection connection(where);
    if (!connection.Open(error)) {
        return false;
    }
    // As the next claim will find it: never at a number that a record or a lease holds.
    QSqlQuery query(connection.Db());
    if (!connection.Run(query,
                        QStringLiteral("SELECT next, %1 FROM sequence WHERE id = 1")
                            .arg(QLatin1String(kHighestHeld)),
                        {}, error)) {
        return false;
    }
    if (!query.next()) {
        error = QStringLiteral("it holds no sequence");
        return false;
    }
    number = std::max(query.value(0).toInt(), query.value(1).toInt() + 1);
    return true;
}

bool Journal::HighestNumber(int& number, QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.QueryNumber(QStringLiteral("SELECT %1").arg(QLatin1String(kHighestHeld)), {},
                                  number, error);
}

bool Journal::ClaimLease(const QString& station, const QString& instance, int count, Lease& lease,
                         QString& error) const {
    Connection connection(where);
    return connection.Open(error) && connection.InTransaction(error, [&] {
        int first = 0;
        if (!TakeFromSequence(connection, count, first, error)) {
            return false;
        }
        lease.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        lease.station = station;
        lease.instance = instance;
        lease.first = first;
        lease.last = first + count - 1;
        lease.next = first;
        lease.claimed = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        return connection.Exec(
            QStringLiteral("INSERT INTO leases (id, station, instance, first, "
                           "last, claimed) VALUES (?, ?, ?, ?, ?, ?)"),
            {lease.id, station, NullableText(instance), lease.first, lease.last, lease.claimed},
            error);
    });
}

bool Journal::Leases(std::vector<Lease>& leases, QString& error) const {
    Connection connection(where);
    QSqlQuery query(connection.Db());
    if (!connection.Open(error) ||
        !connection.Run(
            query,
            QStringLiteral("SELECT l.id, l.station, l.first, l.last, l.claimed, (SELECT "
                           "COUNT(*) FROM numbers n WHERE n.sn BETWEEN l.first AND "
                           "l.last), l.instance FROM leases l ORDER BY l.claimed, l.first"),
            {}, error)) {
        return false;
    }
    leases.clear();
    while (query.next()) {
        Lease lease;
        lease.id = query.value(0).toString();
        lease.station = query.value(1).toString();
        lease.first = query.value(2).toInt();
        lease.last = query.value(3).toInt();
        lease.claimed = query.value(4).toString();
        lease.used = query.value(5).toInt();
        lease.instance = query.value(6).toString();
        leases.push_back(lease);
    }
    return true;
}

bool Journal::KeepLease(const QString& server, const Lease& lease, QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.Exec(QStringLiteral("INSERT INTO held_leases (id, server, station, first, "
                                          "last, next, claimed) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                           {lease.id, server, lease.station, lease.first, lease.last, lease.next,
                            lease.claimed},
                           error);
}

bool Journal::LeasedNumbersLeft(const QString& server, const QString& station, int& left,
                                QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.QueryNumber(
               QStringLiteral("SELECT COALESCE(SUM(last - next + 1), 0) FROM held_leases WHERE "
                              "server = ? AND station = ? AND next <= last"),
               {server, station}, left, error);
}

bool Journal::NextLeasedNumber(const QString& server, const QString& station, int& number,
                               QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.QueryNumber(
               QStringLiteral("SELECT next FROM held_leases WHERE server = ? AND station = ? AND "
                              "next <= last ORDER BY first LIMIT 1"),
               {server, station}, number, error);
}

bool Journal::TakeLeasedNumber(const QString& server, const QString& station, int& number,
                               QString& error) const {
    Connection connection(where);
    number = 0;
    return connection.Open(error) && connection.InTransaction(error, [&] {
        // The advance reaches the disk before the number is used: a station killed after
        // this never uses it again.
        QSqlQuery take(connection.Db());
        if (!connection.Run(take,
                            QStringLiteral("UPDATE held_leases SET next = next + 1 WHERE id = "
                                           "(SELECT id FROM held_leases WHERE server = ? AND "
                                           "station = ? AND next <= last ORDER BY first LIMIT 1) "
                                           "RETURNING next - 1"),
                            {server, station}, error)) {
            return false;
        }
        number = take.next() ? take.value(0).toInt() : 0;
        return true;
    });
}

bool Journal::RecordUnprotect(const QString& station, const QString& port, const QString& uid,
                              const QString& result, QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.Exec(QStringLiteral("INSERT INTO unprotects (id, time, station, port, uid, "
                                          "result) VALUES (?, ?, ?, ?, ?, ?)"),
                           {QUuid::createUuid().toString(QUuid::WithoutBraces),
                            QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), station,
                            port, NullableText(uid), result},
                           error);
}

bool Journal::SetNextNumber(int number, QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.Exec(QStringLiteral("UPDATE sequence SET next = ? WHERE id = 1"), {number},
                           error);
}

bool Journal::Records(const JournalQuery& filter, std::vector<JournalRecord>& records,
                      QString& error) const {
    Connection connection(where);
    if (!connection.Open(error)) {
        return false;
    }
    QStringList conditions;
    QVariantList values;
    if (!filter.since.isEmpty()) {
        conditions << QStringLiteral("started >= ?");
        values << filter.since;
    }
    if (filter.sequenceNumber) {
        conditions << QStringLiteral("sn = ?");
        values << *filter.sequenceNumber;
    }
    if (!filter.serial.isEmpty()) {
        conditions << QStringLiteral("serial = ?");
        values << filter.serial;
    }
    if (!filter.uid.isEmpty()) {
        conditions << QStringLiteral("uid = ?");
        values << filter.uid.toLower();
    }
    // A chip that came back for rework and kept its number shares it with nobody; chips
    // whose IDs are all zeros or all ones are each a chip of their own. A record that came
    // back from a spool with a number in another station's lease is a duplicate too.
    if (filter.duplicates) {
        conditions << QStringLiteral(
                          "(sn IN (SELECT sn FROM runs WHERE sn IS NOT NULL GROUP BY sn HAVING "
                          "COUNT(DISTINCT "
                          "CASE WHEN uid IS NULL OR uid IN ('%1', '%2') THEN id ELSE uid END) > 1) "
                          "OR id IN "
                          "(SELECT run_id FROM conflicts))")
                          .arg(QString(24, '0'), QString(24, 'f'));
    }
    QSqlQuery query(connection.Db());
    if (!connection.Run(
            query,
            QStringLiteral("SELECT %1 FROM runs%2 ORDER BY started, id")
                .arg(QLatin1String(kRunColumns),
                     conditions.isEmpty() ? QString() : " WHERE " + conditions.join(" AND ")),
            values, error)) {
        return false;
    }
    records.clear();
    while (query.next()) {
        records.push_back(RecordFrom(query));
    }
    for (JournalRecord& record : records) {
        QSqlQuery entries(connection.Db());
        if (!connection.Run(entries,
                            QStringLiteral("SELECT name, kind, bytes, result FROM entries WHERE "
                                           "run_id = ? ORDER BY position"),
                            {record.id}, error)) {
            return false;
        }
        while (entries.next()) {
            record.entries.push_back({entries.value(0).toString(), entries.value(1).toString(),
                                      entries.value(2).toLongLong(), entries.value(3).toString()});
        }
    }
    return true;
}

bool Journal::TakeOver(const Journal& other, const QString& instance,
                       std::vector<NumberConflict>& conflicts, QString& error) const {
    std::vector<JournalRecord> waiting;
    if (!other.Records({}, waiting, error)) {
        return false;
    }
    for (const JournalRecord& record : waiting) {
        Connection here(where);
        std::optional<NumberConflict> conflict;
        if (!here.Open(error) || !here.InTransaction(error, [&] {
                return WriteTakenOver(here, record, instance, conflict, error);
            })) {
            return false;
        }
        if (conflict) {
            conflicts.push_back(*conflict);
        }
        Connection there(other.where);
        if (!there.Open(error) || !there.InTransaction(error, [&] {
                return there.Exec(QStringLiteral("DELETE FROM entries WHERE run_id = ?"),
                                  {record.id}, error) &&
                       there.Exec(QStringLiteral("DELETE FROM numbers WHERE run_id = ?"),
                                  {record.id}, error) &&
                       there.Exec(QStringLiteral("DELETE FROM runs WHERE id = ?"), {record.id},
                                  error);
            })) {
            return false;
        }
    }
    return true;
}

bool Journal::SeeStation(const StationSeen& station, QString& error) const {
    Connection connection(where);
    return connection.Open(error) &&
           connection.Exec(
               QStringLiteral("INSERT INTO stations (instance, name, host, seen) VALUES "
                              "(?, ?, ?, ?) ON CONFLICT (instance) DO UPDATE SET name "
                              "= excluded.name, host = excluded.host, seen = "
                              "excluded.seen"),
               {station.instance, Text(station.name), Text(station.host),
                QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
               error);
}

bool Journal::LiveStations(const QString& since, std::vector<StationSeen>& stations,
                           QString& error) const {
    Connection connection(where);
    QSqlQuery query(connection.Db());
    if (!connection.Open(error) ||
        !connection.Run(
            query,
            QStringLiteral(
                "SELECT s.instance, s.name, s.host, s.seen FROM stations s WHERE s.seen >= ? OR "
                "EXISTS (SELECT 1 FROM leases l WHERE l.instance = s.instance AND (SELECT "
                "COUNT(*) FROM numbers n WHERE n.sn BETWEEN l.first AND l.last) <= l.last - "
                "l.first) ORDER BY s.name, s.seen"),
            {since}, error)) {
        return false;
    }
    stations.clear();
    while (query.next()) {
        stations.push_back({query.value(0).toString(), query.value(1).toString(),
                            query.value(2).toString(), query.value(3).toString()});
    }
    return true;
}

}  // namespace korvane
