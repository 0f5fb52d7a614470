// korvane-flash journal: the records of the station's journal (or any journal named),
// as CSV for a line's own software or as a table for a person.
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "settings/profile.h"
#include "station/journal_run.h"

namespace korvane {

namespace {

constexpr char kCsvHeader[] =
    "time,station,port,device,package,sha256,sn,serial,result,status,seconds";

QString Result(const JournalRecord& record) {
    return record.result.isEmpty() ? QStringLiteral("unfinished") : record.result;
}

QStringList Fields(const JournalRecord& record) {
    return {record.started,
            record.station,
            record.port,
            record.device,
            record.package,
            record.sha256,
            record.sequenceNumber ? QString::number(*record.sequenceNumber) : QString(),
            record.serial,
            Result(record),
            record.status,
            QString::number(record.seconds, 'f', 2)};
}

// A field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line break,
// with its quotes doubled.
QString CsvField(const QString& field) {
    if (!field.contains(QRegularExpression(QStringLiteral("[\",\r\n]")))) {
        return field;
    }
    return '"' + QString(field).replace('"', QStringLiteral("\"\"")) + '"';
}

void PrintCsv(const std::vector<JournalRecord>& records, std::FILE* out) {
    std::fprintf(out, "%s\r\n", kCsvHeader);
    for (const JournalRecord& record : records) {
        QStringList row;
        for (const QString& field : Fields(record)) {
            row << CsvField(field);
        }
        std::fprintf(out, "%s\r\n", row.join(',').toUtf8().constData());
    }
}

void PrintTable(const std::vector<JournalRecord>& records, std::FILE* out) {
    const QStringList header = QString::fromLatin1(kCsvHeader).split(',');
    std::vector<QStringList> rows = {header};
    for (const JournalRecord& record : records) {
        QStringList fields = Fields(record);
        for (QString& field : fields) {
            field = QString::fromStdString(TerminalSafe(field.toStdString()));
        }
        rows.push_back(fields);
    }
    std::vector<qsizetype> widths(static_cast<size_t>(header.size()), 0);
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            widths[static_cast<size_t>(i)] =
                std::max(widths[static_cast<size_t>(i)], row[i].size());
        }
    }
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += row[i].leftJustified(widths[static_cast<size_t>(i)]) + "  ";
        }
        std::fprintf(out, "%s\n", line.trimmed().toUtf8().constData());
    }
}

}  // namespace

int JournalCommand(const JournalOptions& options, std::FILE* out, std::FILE* err) {
    QString where = options.journal.value_or(ReadJournalSettings().database);
    if (where.isEmpty()) {
        where = Journal::DefaultPath();
    }
    if (const QString problem = JournalAddressProblem(where); !problem.isEmpty()) {
        Say(err, problem);
        return kExitUsage;
    }
    const Journal journal(where);
    JournalQuery query;
    query.since = options.since;
    query.sequenceNumber = options.sequenceNumber;
    query.serial = options.serial;
    std::vector<JournalRecord> records;
    QString error;
    if (!journal.Records(query, records, error)) {
        Say(err, QString::fromStdString(JournalUnreachable(journal, error)));
        return kExitFailed;
    }
    if (options.csv) {
        PrintCsv(records, out);
    } else {
        PrintTable(records, out);
    }
    return kExitSucceeded;
}

}  // namespace korvane
