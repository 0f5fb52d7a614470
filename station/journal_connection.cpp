#include "station/journal_connection.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

#include "settings/profile.h"
#include "station/journal.h"

namespace korvane {

namespace journal_sql {

namespace {

// The Debian package that brings a Qt SQL driver, for the message when it is missing.
QString DriverPackage(const QString& driver) {
    return driver == QLatin1String("QPSQL") ? QStringLiteral("libqt6sql6-psql")
                                            : QStringLiteral("libqt6sql6-sqlite");
}

}  // namespace

bool IsServerAddress(const QString& where) {
    return where.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           where.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

QVariant NullableInt(const std::optional<int>& value) {
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<int>());
}

QVariant Text(const QString& text) {
    return QVariant(text.isNull() ? QStringLiteral("") : text);
}

QVariant NullableText(const QString& text) {
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

QString Why(const QSqlError& error) {
    const QString said = error.databaseText().simplified();
    return said.isEmpty() ? error.driverText().simplified() : said;
}

Connection::Connection(const QString& where, Access access) : where(where), access(access) {
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
        if (access == Access::kReadOnly) {
            options << QStringLiteral("options='-c default_transaction_read_only=on'");
        }
        for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
            options << key + "='" + QString(value).replace('\\', "\\\\").replace('\'', "\\'") + "'";
        }
        db.setConnectOptions(options.join(';'));
    } else if (access == Access::kReadOnly) {
        db.setDatabaseName(where);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=15000"));
    } else {
        QDir().mkpath(QFileInfo(where).absolutePath());
        madeHere = !QFileInfo::exists(where);
        db.setDatabaseName(where);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
    }
}

Connection::~Connection() {
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

bool Connection::Open(QString& error) {
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
    return access == Access::kReadOnly ? IsCurrent(error) : UpToDate(error);
}

bool Connection::Exec(QSqlQuery& query, QString& error) {
    if (query.exec()) {
        return true;
    }
    error = Why(query.lastError());
    return false;
}

bool Connection::Run(QSqlQuery& query, const QString& statement, const QVariantList& values,
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

bool Connection::Exec(const QString& statement, const QVariantList& values, QString& error) {
    QSqlQuery query(Db());
    return Run(query, statement, values, error);
}

bool Connection::QueryNumber(const QString& statement, const QVariantList& values, int& number,
                             QString& error) {
    QSqlQuery query(Db());
    if (!Run(query, statement, values, error)) {
        return false;
    }
    number = query.next() ? query.value(0).toInt() : 0;
    return true;
}

bool Connection::Exec(const QString& statement, QString& error) {
    QSqlQuery query(Db());
    if (query.exec(statement)) {
        return true;
    }
    error = Why(query.lastError());
    return false;
}

bool Connection::Notify(const char* what, QString& error) {
    if (!IsServerAddress(where)) {
        return true;
    }
    return Exec(QStringLiteral("SELECT pg_notify(?, ?)"),
                {QString::fromLatin1(kChangeChannel), QString::fromLatin1(what)}, error);
}

bool ExecAt(const QString& where, const QString& statement, const QVariantList& values,
            QString& error) {
    return WithConnection(where, error, [&](Connection& connection) {
        return connection.Exec(statement, values, error);
    });
}

bool QueryNumberAt(const QString& where, const QString& statement, const QVariantList& values,
                   int& number, QString& error) {
    return WithConnection(where, error, [&](Connection& connection) {
        return connection.QueryNumber(statement, values, number, error);
    });
}

}  // namespace journal_sql

using journal_sql::IsServerAddress;

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
    return journal_sql::WithConnection(where, error, [](journal_sql::Connection&) { return true; });
}

}  // namespace korvane
