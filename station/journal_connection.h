// What the journal's operations share, inside station/ only: one short connection to the
// store, opened in the calling thread and brought up to date, and the store's errors in
// words an operator can read.
#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <optional>

namespace korvane::journal_sql {

// A URI's scheme is case-insensitive; libpq itself knows these two spellings.
bool IsServerAddress(const QString& where);

// The store's own words on one line: the client library breaks its message over several
// lines, with a tab before the hint, which a status line or a log would show escaped.
// Qt's own words for the step that failed ("Unable to fetch row") add nothing to them.
QString Why(const QSqlError& error);

QVariant NullableInt(const std::optional<int>& value);
// Never null: the column holds text, if only an empty one.
QVariant Text(const QString& text);
QVariant NullableText(const QString& text);

// The channel a server's writers notify and the dashboard listens to.
constexpr char kChangeChannel[] = "korvane_journal";

// One connection, opened in this thread and removed when it goes.
class Connection {
public:
    // A read-only connection changes nothing: an SQLite file is opened read-only, a
    // server's session refuses writes, and a schema older than this program's is refused
    // instead of migrated.
    enum class Access { kReadWrite, kReadOnly };

    explicit Connection(const QString& where, Access access = Access::kReadWrite);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QSqlDatabase Db() const { return QSqlDatabase::database(name, false); }

    // Reaches the store and brings its schema up to date.
    bool Open(QString& error);

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

    bool Exec(QSqlQuery& query, QString& error);
    // One statement with its values bound in order, run in query (whose rows the caller
    // then reads). A statement that cannot be prepared (the store is full, or gone) says
    // why here; binding values to it anyway would only report that their count is wrong.
    bool Run(QSqlQuery& query, const QString& statement, const QVariantList& values,
             QString& error);
    bool Exec(const QString& statement, const QVariantList& values, QString& error);
    // The first column of the first row the statement gives as a number; 0 when it gives
    // no row.
    bool QueryNumber(const QString& statement, const QVariantList& values, int& number,
                     QString& error);
    bool Exec(const QString& statement, QString& error);
    // Tells a server's listeners (the dashboard) that what changed ("runs" or "stations")
    // has: delivered when the caller's transaction commits. Nothing to do on a file, whose
    // readers watch the file itself.
    bool Notify(const char* what, QString& error);

private:
    // Creates or migrates the schema (the journal's schema file keeps the steps).
    bool UpToDate(QString& error);

    // Whether the schema is this program's, without changing it.
    bool IsCurrent(QString& error);

    QString where;
    Access access;
    QString name;
    QString missingDriver;  // the Qt driver this store needs, when it is not installed
    bool madeHere = false;  // an SQLite file that was not there before this connection
};

// Opens a connection to where and runs body(connection) on it: false, with error set, when
// the store cannot be reached or body fails.
template <typename Body>
bool WithConnection(const QString& where, QString& error, Body body) {
    Connection connection(where);
    return connection.Open(error) && body(connection);
}

// The same on a read-only connection.
template <typename Body>
bool WithReadOnlyConnection(const QString& where, QString& error, Body body) {
    Connection connection(where, Connection::Access::kReadOnly);
    return connection.Open(error) && body(connection);
}

// The same with body's statements in one transaction.
template <typename Body>
bool InOneTransaction(const QString& where, QString& error, Body body) {
    return WithConnection(where, error, [&](Connection& connection) {
        return connection.InTransaction(error, [&] { return body(connection); });
    });
}

// One statement with its values bound in order, on a connection of its own.
bool ExecAt(const QString& where, const QString& statement, const QVariantList& values,
            QString& error);
// The first column of the first row the statement gives as a number, on a connection of its
// own; 0 when it gives no row.
bool QueryNumberAt(const QString& where, const QString& statement, const QVariantList& values,
                   int& number, QString& error);

}  // namespace korvane::journal_sql
