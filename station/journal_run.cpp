#include "station/journal_run.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "res/version.h"

namespace korvane {

namespace {

// The package as the run read it: its size and SHA-256, or nothing for a file that
// could not be read (the run then fails on it, and the record says so).
void DescribePackage(const std::vector<uint8_t>* bytes, JournalRecord& record) {
    if (bytes == nullptr) {
        return;
    }
    record.packageSize = static_cast<qint64>(bytes->size());
    record.sha256 = QString::fromLatin1(
        QCryptographicHash::hash(
            QByteArrayView(bytes->data(), static_cast<qsizetype>(bytes->size())),
            QCryptographicHash::Sha256)
            .toHex());
}

}  // namespace

std::string JournalUnreachable(const Journal& journal, const QString& error) {
    return QStringLiteral("The journal %1 cannot be reached: %2.")
        .arg(journal.Where(), error)
        .toStdString();
}

JournalRecorder::JournalRecorder(QString where, QString station)
    : journal(std::move(where)), spool(Journal::SpoolPath()), station(std::move(station)) {}

bool JournalRecorder::Begin(const RunStart& start, std::string& why) {
    QString error;
    if (QFileInfo::exists(Journal::SpoolPath()) && !journal.TakeOver(spool, error)) {
        why = JournalUnreachable(journal, error);
        return false;
    }
    JournalRecord fresh;
    fresh.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    fresh.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    fresh.station = station;
    fresh.port = QString::fromStdString(start.port);
    fresh.device = QString::fromStdString(start.device);
    fresh.package = QString::fromStdString(start.packagePath);
    fresh.version = QStringLiteral(KORVANE_VERSION);
    DescribePackage(start.packageBytes, fresh);
    // Made before the device is touched: a run killed from here on leaves a record
    // without a result, which says it never finished.
    if (!journal.Save(fresh, error)) {
        why = JournalUnreachable(journal, error);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    record = fresh;
    completionProblem.clear();
    clock.start();
    return true;
}

bool JournalRecorder::RecordNumber(int sequenceNumber, const std::string& serialText,
                                   std::string& why) {
    QString runId;
    {
        std::lock_guard<std::mutex> lock(mutex);
        runId = record.id;
    }
    // Before the record goes out, so that a run killed after this still names its number.
    QString error;
    if (!journal.SetRecordedNumber(runId, sequenceNumber, QString::fromStdString(serialText),
                                   error)) {
        why = QStringLiteral(
                  "The journal %1 cannot record the sequence number %2 (%3), so it was not "
                  "sent to the device: %4.")
                  .arg(journal.Where())
                  .arg(sequenceNumber)
                  .arg(QString::fromStdString(serialText), error)
                  .toStdString();
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    record.sequenceNumber = sequenceNumber;
    record.serial = QString::fromStdString(serialText);
    return true;
}

void JournalRecorder::EntryEnded(const EntryResult& entry) {
    std::lock_guard<std::mutex> lock(mutex);
    record.entries.push_back(
        {QString::fromStdString(entry.name), QString::fromStdString(entry.kind),
         static_cast<qint64>(entry.bytesSent),
         entry.succeeded ? QStringLiteral("succeeded") : QStringLiteral("failed")});
}

void JournalRecorder::End(bool succeeded, const std::string& status) {
    JournalRecord done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.result = succeeded ? QStringLiteral("succeeded") : QStringLiteral("failed");
        record.status = QString::fromStdString(status);
        record.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
        done = record;
    }
    QString error;
    QString problem;
    if (!journal.Save(done, error)) {
        problem = QStringLiteral("The journal %1 cannot complete the record of this run: %2.")
                      .arg(journal.Where(), error);
        QString spoolError;
        if (spool.Where() != journal.Where() && spool.Save(done, spoolError)) {
            problem += QStringLiteral(
                           " The record waits in %1 and goes to the journal at the "
                           "next run.")
                           .arg(spool.Where());
        } else {
            problem += QStringLiteral(" It could not be kept in %1 either: %2.")
                           .arg(spool.Where(), spoolError.isEmpty() ? error : spoolError);
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    completionProblem = problem;
}

QString JournalRecorder::RunId() const {
    std::lock_guard<std::mutex> lock(mutex);
    return record.id;
}

JournalRecord JournalRecorder::LastRecord() const {
    std::lock_guard<std::mutex> lock(mutex);
    return record;
}

QString JournalRecorder::CompletionProblem() const {
    std::lock_guard<std::mutex> lock(mutex);
    return completionProblem;
}

bool SetLinesNextNumber(const Journal& journal, int number, std::string& why) {
    QString error;
    int highest = 0;
    if (!journal.HighestNumber(highest, error)) {
        why = JournalUnreachable(journal, error);
        return false;
    }
    // The sequence never goes back to a number a device already holds.
    if (number <= highest) {
        why = QStringLiteral(
                  "The journal %1 already holds sequence numbers up to %2, so the line's next "
                  "number cannot be %3; give one above %2 with --sn.")
                  .arg(journal.Where())
                  .arg(highest)
                  .arg(number)
                  .toStdString();
        return false;
    }
    if (!journal.SetNextNumber(number, error)) {
        why = JournalUnreachable(journal, error);
        return false;
    }
    return true;
}

bool JournalCounter::Take(std::optional<int> chosen, std::string& why) {
    if (chosen && !SetLinesNextNumber(recorder.Store(), *chosen, why)) {
        return false;
    }
    QString error;
    int stored = 0;
    if (!recorder.Store().NextNumber(stored, error)) {
        why = JournalUnreachable(recorder.Store(), error);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    next = stored;
    return true;
}

int JournalCounter::Next() const {
    std::lock_guard<std::mutex> lock(mutex);
    return next;
}

bool JournalCounter::Consume(int& number, std::string& why) {
    QString error;
    if (!recorder.Store().ClaimNumber(recorder.RunId(), number, error)) {
        why = QStringLiteral("No sequence number could be claimed from the journal %1: %2.")
                  .arg(recorder.Store().Where(), error)
                  .toStdString();
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    next = number + 1;
    return true;
}

}  // namespace korvane
