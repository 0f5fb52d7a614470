#include "cli/port_outcome.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>

#include "res/version.h"
#include "settings/os_text.h"

namespace korvane {

namespace {

// The meaning of the objects' keys: raised whenever a key changes what it says, or one is
// added that an older reader could mistake for something it knows.
constexpr int kJsonSchema = 1;

// Now on this station's clock, in ISO 8601 with its offset from UTC, always written out
// ("2026-12-10T14:03:07+01:00").
QString TimeWithOffset() {
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return now.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
           QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QJsonValue TextOrNull(const std::string& text) {
    return text.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(text));
}

}  // namespace

QJsonObject JsonHeading(const QString& station, const std::string& code) {
    return {{"time", TimeWithOffset()},
            {"station", station},
            {"version", QStringLiteral(KORVANE_VERSION)},
            {"schema", kJsonSchema},
            {"code", QString::fromStdString(code)}};
}

QString ReasonWithAdvice(const RunOutcome& outcome, const PortChoice& port) {
    static const AdviceWords tool{
        "korvane-flash ports lists the serial ports there are",
        "korvane-flash unprotect --port %s lifts the protection and erases the whole flash",
        "this station's counter is behind the line's: give the next number with --sn, or use "
        "Counter=journal.",
        "korvane-flash identify --try-wirings --port %s tries the usual fixture wirings"};
    return QString::fromStdString(ReasonWithAdvice(outcome, port, tool));
}

PortOutcome OutcomeOf(const PortRun& run) {
    PortOutcome port{run.port, run.outcome, run.record, {}};
    port.SetStatus();
    return port;
}

// The package's SHA-256 is that of the bytes this port's run read and wrote.
QByteArray JsonLine(const PortOutcome& port, const QString& package, const QString& station) {
    QJsonArray entries;
    for (const JournalEntry& entry : port.record.entries) {
        entries.append(QJsonObject{{"name", entry.name},
                                   {"kind", entry.kind},
                                   {"bytes", entry.bytes},
                                   {"result", entry.result}});
    }
    QJsonObject heading = JsonHeading(station, port.outcome.code);
    const QJsonObject object{
        {"port", port.Name()},
        {"device", QString::fromStdString(port.port.device)},
        {"package", Shown(OsBytes(package))},
        {"sha256", port.record.sha256.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                : QJsonValue(port.record.sha256)},
        {"sn",
         port.outcome.number ? QJsonValue(*port.outcome.number) : QJsonValue(QJsonValue::Null)},
        {"serial", TextOrNull(port.outcome.serial)},
        {"uid", TextOrNull(port.outcome.uid)},
        {"flash_kib",
         port.outcome.flashKib ? QJsonValue(*port.outcome.flashKib) : QJsonValue(QJsonValue::Null)},
        {"signer", TextOrNull(port.outcome.signer)},
        {"signed_comment", TextOrNull(port.outcome.signedComment)},
        {"result", port.Succeeded() ? "succeeded" : "failed"},
        {"status", port.status},
        {"seconds", port.record.seconds},
        {"entries", entries},
        {"reason", TextOrNull(port.outcome.reason)},
    };
    for (auto key = object.begin(); key != object.end(); ++key) {
        heading.insert(key.key(), key.value());
    }
    return QJsonDocument(heading).toJson(QJsonDocument::Compact) + '\n';
}

void WriteJsonLine(const PortOutcome& port, const QString& package, const QString& station,
                   std::mutex& printing, std::FILE* out) {
    const QByteArray line = JsonLine(port, package, station);
    std::lock_guard<std::mutex> lock(printing);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out);
    std::fflush(out);
}

}  // namespace korvane
