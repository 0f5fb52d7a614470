// Reaching the journal to read it, and the pages of its records.
#include "station/journal_reader.h"

#include <QRegularExpression>
#include <QStringList>

#include "station/journal_connection.h"
#include "station/journal_rows.h"

namespace korvane {

namespace {

// A page ends at a record's start time and ID, which together order every record; the
// cursor is their text, opaque to its reader.
QString CursorOf(const JournalRecord& record) {
    return QString::fromLatin1(
        (record.started + '\n' + record.id).toUtf8().toBase64(QByteArray::Base64UrlEncoding));
}

bool ReadCursor(const QString& cursor, QString& started, QString& id) {
    const QStringList parts =
        QString::fromUtf8(QByteArray::fromBase64(cursor.toLatin1(), QByteArray::Base64UrlEncoding))
            .split('\n');
    if (parts.size() != 2) {
        return false;
    }
    started = parts[0];
    id = parts[1];
    return true;
}

QString Utc(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

}  // namespace

std::optional<QDateTime> JournalTime(const QString& given) {
    const QDateTime now = QDateTime::currentDateTime();
    QDateTime time;
    static const QRegularExpression back(QStringLiteral("^(\\d{1,6})([hd])$"));
    static const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}([T "
                       "]\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?(Z|[+-]\\d{2}:\\d{2})?)?$"));
    if (given == QLatin1String("today")) {
        time = QDateTime(now.date(), QTime(0, 0));
    } else if (const QRegularExpressionMatch match = back.match(given); match.hasMatch()) {
        const int count = match.captured(1).toInt();
        time = match.captured(2) == QLatin1String("h") ? now.addSecs(-3600LL * count)
                                                       : now.addDays(-count);
    } else if (iso.match(given).hasMatch()) {
        time = given.size() == 10
                   ? QDateTime(QDate::fromString(given, Qt::ISODate), QTime(0, 0))
                   : QDateTime::fromString(QString(given).replace(' ', 'T'), Qt::ISODateWithMs);
    }
    if (!time.isValid()) {
        return std::nullopt;
    }
    return time;
}

bool JournalReader::Open(QString& error) const {
    return journal_sql::WithReadOnlyConnection(where, error,
                                               [](journal_sql::Connection&) { return true; });
}

bool JournalReader::Runs(const RunFilter& filter, std::vector<JournalRecord>& records,
                         QString& next, QString& error) const {
    QStringList conditions;
    QVariantList values;
    const auto where = [&](const char* condition, const QVariant& value) {
        conditions << QString::fromLatin1(condition);
        values << value;
    };
    if (filter.since.isValid()) {
        where("started >= ?", Utc(filter.since));
    }
    if (filter.until.isValid()) {
        where("started < ?", Utc(filter.until));
    }
    if (!filter.station.isEmpty()) {
        where("station = ?", filter.station);
    }
    if (filter.result == QLatin1String("unfinished")) {
        conditions << QStringLiteral("result IS NULL");
    } else if (!filter.result.isEmpty()) {
        where("result = ?", filter.result);
    }
    if (!filter.code.isEmpty()) {
        where("code = ?", filter.code);
    }
    if (!filter.uid.isEmpty()) {
        where("uid = ?", filter.uid.toLower());
    }
    // A serial text or number names the chip that holds it; with wholeChip, every run of
    // that chip by its unique ID, unless many chips share that ID.
    const auto chipOf = [&](const char* column, const QVariant& value) {
        if (!filter.wholeChip) {
            where(QStringLiteral("%1 = ?").arg(QLatin1String(column)).toLatin1().constData(),
                  value);
            return;
        }
        // Two lookups by index, joined by the primary key: an OR across them would make the
        // server read every run.
        conditions << QStringLiteral(
                          "id IN (SELECT id FROM runs WHERE %1 = ? UNION SELECT r.id FROM runs r "
                          "JOIN runs c ON r.uid = c.uid WHERE c.%1 = ? AND c.uid NOT IN ('%2', "
                          "'%3'))")
                          .arg(QLatin1String(column), QString(24, '0'), QString(24, 'f'));
        values << value << value;
    };
    if (!filter.serial.isEmpty()) {
        chipOf("serial", filter.serial);
    }
    if (filter.sequenceNumber) {
        chipOf("sn", *filter.sequenceNumber);
    }
    if (!filter.after.isEmpty()) {
        QString started;
        QString id;
        if (!ReadCursor(filter.after, started, id)) {
            error = QStringLiteral("the cursor '%1' is not one a page ended at").arg(filter.after);
            return false;
        }
        conditions << QStringLiteral("(started > ? OR (started = ? AND id > ?))");
        values << started << started << id;
    }
    QString statement =
        QStringLiteral("SELECT %1 FROM runs%2 ORDER BY started, id")
            .arg(QLatin1String(journal_sql::kRunColumns),
                 conditions.isEmpty() ? QString() : " WHERE " + conditions.join(" AND "));
    if (filter.limit > 0) {
        // One more than the page tells whether another page follows.
        statement += QStringLiteral(" LIMIT %1").arg(filter.limit + 1);
    }
    return journal_sql::WithReadOnlyConnection(
        this->where, error, [&](journal_sql::Connection& connection) {
            QSqlQuery query(connection.Db());
            query.setForwardOnly(true);
            if (!connection.Run(query, statement, values, error)) {
                return false;
            }
            records.clear();
            next.clear();
            while (query.next()) {
                if (filter.limit > 0 && static_cast<int>(records.size()) == filter.limit) {
                    next = CursorOf(records.back());
                    break;
                }
                records.push_back(journal_sql::RecordFrom(query));
            }
            return journal_sql::ReadEntries(connection, records, error);
        });
}

}  // namespace korvane
