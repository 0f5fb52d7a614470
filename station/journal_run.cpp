#include "station/journal_run.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "res/version.h"

namespace korvane {

namespace {

// The package as it is when the run starts: its size and SHA-256, or nothing for a file
// that cannot be read (the run then fails on it, and the record says so).
void DescribePackage(const QString& path, JournalRecord& record) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (hash.addData(&file)) {
        record.packageSize = file.size();
        record.sha256 = QString::fromLatin1(hash.result().toHex());
    }
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
    if (journal.IsServer() && QFileInfo::exists(Journal::SpoolPath()) &&
        !journal.TakeOver(spool, error)) {
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
    DescribePackage(fresh.package, fresh);
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

void JournalRecorder::NumberSent(int sequenceNumber, const std::string& serialText) {
    QString runId;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.sequenceNumber = sequenceNumber;
        record.serial = QString::fromStdString(serialText);
        runId = record.id;
    }
    // At once, so that a run killed after this still names its number; when the server
    // is away, the completed record carries it later.
    QString error;
    journal.SetRecordedNumber(runId, sequenceNumber, QString::fromStdString(serialText), error);
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
        problem = QString::fromStdString(JournalUnreachable(journal, error));
        QString spoolError;
        if (journal.IsServer() && spool.Save(done, spoolError)) {
            problem += QStringLiteral(
                           " The record waits in %1 and goes to the journal at the "
                           "next run.")
                           .arg(spool.Where());
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

bool JournalCounter::Take(std::optional<int> chosen, std::string& why) {
    QString error;
    int stored = 0;
    if ((chosen && !recorder.Store().SetNextNumber(*chosen, error)) ||
        !recorder.Store().NextNumber(stored, error)) {
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
