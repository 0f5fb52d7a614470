#include "station/journal_run.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <utility>

#include "res/version.h"
#include "settings/os_text.h"
#include "station/station_identity.h"

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

namespace {

// A device that holds a number, in words: "K352264900002, given by station L1 on
// 2026-12-10 09:14 UTC (port COM2)".
QString DeviceHolderText(const NumberHolder& holder) {
    const QDateTime when = QDateTime::fromString(holder.started, Qt::ISODateWithMs);
    return QStringLiteral("%1, given by station %2 on %3 (port %4)")
        .arg(holder.serial.isEmpty() ? QStringLiteral("its serial text unknown") : holder.serial,
             holder.station,
             when.isValid() ? when.toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
                            : holder.started,
             holder.port);
}

// A lease that holds a number, in words, with the identity of its station when it has one:
// two stations may share a name.
QString LeaseHolderText(const NumberHolder& holder) {
    return holder.leaseInstance.isEmpty()
               ? QStringLiteral("a lease of station %1").arg(holder.leaseStation)
               : QStringLiteral("a lease of station %1 (identity %2)")
                     .arg(holder.leaseStation, ShortInstance(holder.leaseInstance));
}

}  // namespace

QString NumberHeldText(int sequenceNumber, const NumberHolder& holder) {
    if (!holder.leaseStation.isEmpty()) {
        return QStringLiteral("The sequence number %1 was not sent: it is reserved to %2.")
            .arg(sequenceNumber)
            .arg(LeaseHolderText(holder));
    }
    return QStringLiteral("The sequence number %1 was not sent: a device already holds it, %2.")
        .arg(sequenceNumber)
        .arg(DeviceHolderText(holder));
}

QString NumberConflictText(const NumberConflict& conflict) {
    return QStringLiteral(
               "The sequence number %1 was given twice: a run that waited in the spool gave it "
               "to its device (%2, record %3), but it belongs to %4. Both records are kept; "
               "korvane-flash journal --duplicates lists them.")
        .arg(conflict.sequenceNumber)
        .arg(conflict.serial.isEmpty() ? QStringLiteral("serial text unknown") : conflict.serial,
             conflict.runId,
             conflict.holder.leaseStation.isEmpty()
                 ? "a device, " + DeviceHolderText(conflict.holder)
                 : LeaseHolderText(conflict.holder));
}

std::string JournalUnreachable(const Journal& journal, const QString& error) {
    return QStringLiteral("The journal %1 cannot be reached: %2.")
        .arg(journal.Where(), error)
        .toStdString();
}

JournalRecorder::JournalRecorder(QString where, QString station, QString instance,
                                 bool mayWaitInSpool)
    : journal(std::move(where)),
      spool(Journal::SpoolPath()),
      station(std::move(station)),
      instance(std::move(instance)),
      mayWaitInSpool(mayWaitInSpool) {}

bool JournalRecorder::BringSpoolOver(QString& error) const {
    if (!QFileInfo::exists(spool.Where())) {
        return true;
    }
    std::vector<NumberConflict> conflicts;
    const bool brought = journal.TakeOver(spool, instance, conflicts, error);
    std::lock_guard<std::mutex> lock(mutex);
    for (const NumberConflict& conflict : conflicts) {
        alerts.push_back(NumberConflictText(conflict).toStdString());
    }
    return brought;
}

std::vector<std::string> JournalRecorder::TakeAlerts() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(alerts, {});
}

bool JournalRecorder::Begin(const RunStart& start, std::string& why) {
    QString error;
    if (!BringSpoolOver(error) && !mayWaitInSpool) {
        why = JournalUnreachable(journal, error);
        return false;
    }
    JournalRecord fresh;
    fresh.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    fresh.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    fresh.station = station;
    fresh.port = QString::fromStdString(start.port);
    fresh.device = QString::fromStdString(start.device);
    fresh.package = Shown(start.packagePath);
    fresh.version = QStringLiteral(KORVANE_VERSION);
    DescribePackage(start.packageBytes, fresh);
    fresh.signer = QString::fromStdString(start.signer);
    fresh.signedComment = QString::fromStdString(start.signedComment);
    // Made before the device is touched: a run killed from here on leaves a record
    // without a result, which says it never finished.
    bool spooled = false;
    if (!journal.Save(fresh, error)) {
        QString spoolError;
        spooled = mayWaitInSpool && journal.IsServer() && spool.Save(fresh, spoolError);
        if (!spooled) {
            why = JournalUnreachable(journal, error);
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    record = fresh;
    inSpool = spooled;
    clock.start();
    return true;
}

NumberVerdict JournalRecorder::RecordNumber(int sequenceNumber, const std::string& serialText,
                                            std::string& why) {
    QString runId;
    bool spooled = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        runId = record.id;
        spooled = inSpool;
    }
    // Before the record goes out, so that a run killed after this still names its number,
    // and no second device is given it. A record waiting in the spool holds a number of
    // the station's lease, which no other station is given.
    const QString serial = QString::fromStdString(serialText);
    NumberHolder holder;
    QString error;
    NumberRecorded recorded =
        (spooled ? spool : journal)
            .RecordNumber(runId, station, instance, sequenceNumber, serial, holder, error);
    // A server gone in the middle of a run that holds a lease: the number is one of the
    // station's own, so the record moves to the spool and the run goes on.
    if (recorded == NumberRecorded::kFailed && !spooled && mayWaitInSpool && journal.IsServer() &&
        MoveToSpool()) {
        spooled = true;
        recorded =
            spool.RecordNumber(runId, station, instance, sequenceNumber, serial, holder, error);
    }
    const Journal& store = spooled ? spool : journal;
    switch (recorded) {
        case NumberRecorded::kRecorded:
            break;
        case NumberRecorded::kHeld:
            why = NumberHeldText(sequenceNumber, holder).toStdString();
            return NumberVerdict::kRefused;
        case NumberRecorded::kFailed:
            why = QStringLiteral(
                      "The journal %1 cannot record the sequence number %2 (%3), so it was not "
                      "sent to the device: %4.")
                      .arg(store.Where())
                      .arg(sequenceNumber)
                      .arg(serial, error)
                      .toStdString();
            return NumberVerdict::kUnknown;
    }
    std::lock_guard<std::mutex> lock(mutex);
    record.sequenceNumber = sequenceNumber;
    record.serial = serial;
    return NumberVerdict::kAccepted;
}

bool JournalRecorder::MoveToSpool() {
    JournalRecord now;
    {
        std::lock_guard<std::mutex> lock(mutex);
        now = record;
    }
    QString error;
    if (!spool.Save(now, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    inSpool = true;
    return true;
}

void JournalRecorder::DeviceIdentified(const std::string& uid, int flashKib) {
    JournalRecord now;
    bool spooled = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.uid = QString::fromStdString(uid);
        record.flashKib = flashKib;
        now = record;
        spooled = inSpool;
    }
    // At once: the journal's guard on numbers knows a chip by it, and a record of a run
    // killed from here on still names the chip. A store that cannot take it now gets it
    // with the completed record.
    QString error;
    (spooled ? spool : journal).Save(now, error);
}

std::optional<EarlierRun> JournalRecorder::EarlierRunOf(const std::string& uid) {
    QString runId;
    {
        std::lock_guard<std::mutex> lock(mutex);
        runId = record.id;
    }
    JournalQuery query;
    query.uid = QString::fromStdString(uid);
    std::vector<JournalRecord> earlier;
    QString error;
    if (!journal.Records(query, earlier, error)) {
        return std::nullopt;
    }
    // The latest that gave the chip a number (records come oldest first).
    for (auto found = earlier.rbegin(); found != earlier.rend(); ++found) {
        if (found->id != runId && found->sequenceNumber && !found->serial.isEmpty()) {
            return EarlierRun{*found->sequenceNumber, found->serial.toStdString(),
                              found->station.toStdString(), found->started.toStdString()};
        }
    }
    return std::nullopt;
}

void JournalRecorder::EntryEnded(const EntryResult& entry) {
    std::lock_guard<std::mutex> lock(mutex);
    record.entries.push_back(
        {QString::fromStdString(entry.name), QString::fromStdString(entry.kind),
         static_cast<qint64>(entry.bytesSent),
         entry.succeeded ? QStringLiteral("succeeded") : QStringLiteral("failed")});
}

std::string JournalRecorder::End(const RunEnd& end) {
    JournalRecord done;
    bool spooled = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        spooled = inSpool;
        record.result = end.succeeded ? QStringLiteral("succeeded") : QStringLiteral("failed");
        record.status = Shown(end.status);
        record.code = QString::fromStdString(end.code);
        record.reason = Shown(end.reason);
        record.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
        done = record;
    }
    QString error;
    // A record begun in the spool is completed there; it reaches the server at the next
    // run that finds the server.
    if ((spooled && spool.Save(done, error)) || journal.Save(done, error)) {
        return {};
    }
    QString problem = QStringLiteral("The journal %1 cannot complete the record of this run: %2.")
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
    return problem.toStdString();
}

QString JournalRecorder::RunId() const {
    std::lock_guard<std::mutex> lock(mutex);
    return record.id;
}

JournalRecord JournalRecorder::LastRecord() const {
    std::lock_guard<std::mutex> lock(mutex);
    return record;
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
    if (lease > 0) {
        if (chosen) {
            why = QStringLiteral(
                      "This station numbers its devices from its lease of %1 numbers, so it "
                      "cannot give the device the number %2; set the line's next number at a "
                      "station without a lease ([Journal] Lease=0).")
                      .arg(lease)
                      .arg(*chosen)
                      .toStdString();
            return false;
        }
        QString error;
        const bool reached = TopUp(error);
        int first = 0;
        QString spoolError;
        if (!recorder.Spool().NextLeasedNumber(recorder.Store().Where(), recorder.Station(), first,
                                               spoolError)) {
            why = QStringLiteral("The lease of this station cannot be read from %1: %2.")
                      .arg(recorder.Spool().Where(), spoolError)
                      .toStdString();
            return false;
        }
        if (first == 0) {
            why = reached ? QStringLiteral("No lease could be claimed from the journal %1: %2.")
                                .arg(recorder.Store().Where(), error)
                                .toStdString()
                          : QStringLiteral(
                                "The journal %1 cannot be reached, and this station's lease "
                                "has no number left: no run starts until the server is back "
                                "(%2).")
                                .arg(recorder.Store().Where(), error)
                                .toStdString();
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        next = first;
        return true;
    }
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

bool JournalCounter::TopUp(QString& error) const {
    const Journal& server = recorder.Store();
    const Journal& spool = recorder.Spool();
    // What ran while the server was away reaches it before any new claim.
    if (!recorder.BringSpoolOver(error)) {
        return false;
    }
    int left = 0;
    if (!spool.LeasedNumbersLeft(server.Where(), recorder.Station(), left, error)) {
        return false;
    }
    if (left * 2 >= lease) {
        return true;
    }
    // A claim whose answer is lost is never kept here: its numbers stay reserved at the
    // server, unused, and no device is ever given them.
    Lease claimed;
    return server.ClaimLease(recorder.Station(), recorder.Instance(), lease, claimed, error) &&
           spool.KeepLease(server.Where(), claimed, error);
}

bool JournalCounter::TakeLeased(int& number, std::string& why) const {
    const Journal& spool = recorder.Spool();
    const QString server = recorder.Store().Where();
    QString error;
    if (!spool.TakeLeasedNumber(server, recorder.Station(), number, error)) {
        why = QStringLiteral("The lease of this station cannot be kept in %1: %2.")
                  .arg(spool.Where(), error)
                  .toStdString();
        return false;
    }
    if (number != 0) {
        return true;
    }
    QString claimError;
    if (!TopUp(claimError) || !spool.TakeLeasedNumber(server, recorder.Station(), number, error) ||
        number == 0) {
        why = QStringLiteral(
                  "This station's lease has no number left, and no new one could be claimed "
                  "from the journal %1: %2.")
                  .arg(server, claimError.isEmpty() ? error : claimError)
                  .toStdString();
        return false;
    }
    return true;
}

bool JournalCounter::Consume(int& number, const NumberGuard& guard, std::string& why) {
    int taken = 0;
    if (lease > 0) {
        if (!TakeLeased(taken, why)) {
            return false;
        }
    } else {
        QString error;
        if (!recorder.Store().ClaimNumber(recorder.RunId(), taken, error)) {
            why = QStringLiteral("No sequence number could be claimed from the journal %1: %2.")
                      .arg(recorder.Store().Where(), error)
                      .toStdString();
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        next = taken + 1;
    }
    // Spent from here on, whatever the guard says: a shared number is never handed out
    // again.
    if (guard && guard(taken, why) != NumberVerdict::kAccepted) {
        return false;
    }
    number = taken;
    return true;
}

}  // namespace korvane
