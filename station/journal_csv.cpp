#include "station/journal_csv.h"

#include <QRegularExpression>

namespace korvane {

namespace {

// New columns go at the end, so that readers of the older ones keep working.
constexpr char kCsvHeader[] =
    "time,station,port,device,package,sha256,sn,serial,result,status,seconds,uid,signer,"
    "signed_comment,code,reason";

// A field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line break,
// with its quotes doubled.
QString CsvField(const QString& field) {
    static const QRegularExpression special(QStringLiteral("[\",\r\n]"));
    if (!field.contains(special)) {
        return field;
    }
    return '"' + QString(field).replace('"', QStringLiteral("\"\"")) + '"';
}

}  // namespace

QStringList RecordCsvHeader() {
    return QString::fromLatin1(kCsvHeader).split(',');
}

QStringList RecordCsvFields(const JournalRecord& record) {
    return {record.started,
            record.station,
            record.port,
            record.device,
            record.package,
            record.sha256,
            record.sequenceNumber ? QString::number(*record.sequenceNumber) : QString(),
            record.serial,
            record.result.isEmpty() ? QStringLiteral("unfinished") : record.result,
            record.status,
            QString::number(record.seconds, 'f', 2),
            record.uid,
            record.signer,
            record.signedComment,
            record.code,
            record.reason};
}

QString CsvLine(const QStringList& fields) {
    QStringList row;
    for (const QString& field : fields) {
        row << CsvField(field);
    }
    return row.join(',') + QStringLiteral("\r\n");
}

}  // namespace korvane
