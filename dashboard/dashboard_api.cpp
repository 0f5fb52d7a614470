#include "dashboard/dashboard_api.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "settings/station_config.h"
#include "station/journal_csv.h"

namespace korvane {

namespace {

// The version of the API's JSON, in every object it answers with: a reader can tell when
// a field changes its meaning.
constexpr int kSchema = 1;
constexpr int kDefaultPage = 100;
constexpr int kLargestPage = 1000;

QJsonValue TextOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

template <typename Number>
QJsonValue NumberOrNull(const std::optional<Number>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QString Utc(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

ApiReply Json(const QJsonObject& object, int status = 200) {
    QJsonObject schemed = object;
    schemed.insert(QStringLiteral("schema"), kSchema);
    return {status, QJsonDocument(schemed).toJson(QJsonDocument::Compact).toStdString(),
            "application/json"};
}

ApiReply Refused(int status, const QString& why) {
    return Json({{"error", why}}, status);
}

// The first value of a parameter; empty when it is not given.
QString Param(const QueryParams& params, const char* name) {
    const auto found = params.find(name);
    return found == params.end() ? QString() : QString::fromStdString(found->second);
}

// A record as the tool's JSON names its fields, with when and where it ran.
QJsonObject RecordJson(const JournalRecord& record) {
    QJsonArray entries;
    for (const JournalEntry& entry : record.entries) {
        entries.append(QJsonObject{{"name", entry.name},
                                   {"kind", entry.kind},
                                   {"bytes", entry.bytes},
                                   {"result", entry.result}});
    }
    return {{"id", record.id},
            {"time", record.started},
            {"station", record.station},
            {"port", record.port},
            {"device", record.device},
            {"package", record.package},
            {"sha256", TextOrNull(record.sha256)},
            {"sn", NumberOrNull(record.sequenceNumber)},
            {"serial", TextOrNull(record.serial)},
            {"uid", TextOrNull(record.uid)},
            {"flash_kib", NumberOrNull(record.flashKib)},
            {"signer", TextOrNull(record.signer)},
            {"signed_comment", TextOrNull(record.signedComment)},
            {"result", record.result.isEmpty() ? QStringLiteral("unfinished") : record.result},
            {"status", record.status},
            {"code", TextOrNull(record.code)},
            {"reason", TextOrNull(record.reason)},
            {"seconds", record.seconds},
            {"entries", entries}};
}

QJsonObject FiguresJson(const SummaryFigures& figures) {
    return {{"passed", figures.passed},
            {"failed", figures.failed},
            {"first_seen", figures.firstSeen},
            {"first_passed", figures.firstPassed},
            {"first_pass_yield", NumberOrNull(figures.FirstPassYield())},
            {"chips", figures.chips},
            {"chips_passed", figures.chipsPassed},
            {"final_yield", NumberOrNull(figures.FinalYield())},
            {"hours", figures.hours},
            {"per_hour", figures.PerHour()},
            {"median_seconds", NumberOrNull(figures.medianSeconds)},
            {"p90_seconds", NumberOrNull(figures.p90Seconds)}};
}

QJsonArray StationsJson(const JournalSummary& summary) {
    QJsonArray stations;
    for (const StationSummary& station : summary.stations) {
        QJsonArray fixtures;
        for (const FixtureSummary& fixture : station.fixtures) {
            QJsonObject object = FiguresJson(fixture.figures);
            object.insert(QStringLiteral("port"), fixture.port);
            fixtures.append(object);
        }
        QJsonObject object = FiguresJson(station.figures);
        object.insert(QStringLiteral("station"), station.station);
        object.insert(QStringLiteral("fixtures"), fixtures);
        stations.append(object);
    }
    return stations;
}

// What a period breaks down into: failures by cause, packages and runs per hour.
bool AddBreakdowns(const JournalReader& reader, const SummaryPeriod& period, QJsonObject& object,
                   QString& error) {
    std::vector<FailureCount> failures;
    std::vector<PackageCount> packages;
    std::vector<HourCount> hours;
    if (!reader.Failures(period, failures, error) || !reader.Packages(period, packages, error) ||
        !reader.Hours(period, hours, error)) {
        return false;
    }
    QJsonArray failed;
    for (const FailureCount& failure : failures) {
        failed.append(QJsonObject{{"station", failure.station},
                                  {"port", failure.port},
                                  {"code", failure.code},
                                  {"runs", failure.runs}});
    }
    QJsonArray flashed;
    for (const PackageCount& package : packages) {
        flashed.append(QJsonObject{{"package", package.package},
                                   {"sha256", package.sha256},
                                   {"signer", TextOrNull(package.signer)},
                                   {"signed_comment", TextOrNull(package.signedComment)},
                                   {"passed", package.passed},
                                   {"runs", package.runs},
                                   {"last", package.last}});
    }
    QJsonArray perHour;
    for (const HourCount& hour : hours) {
        perHour.append(
            QJsonObject{{"station", hour.station}, {"hour", Utc(hour.hour)}, {"runs", hour.runs}});
    }
    object.insert(QStringLiteral("failures"), failed);
    object.insert(QStringLiteral("packages"), flashed);
    object.insert(QStringLiteral("hours"), perHour);
    return true;
}

// The since and until parameters, when given. False (refusal set) for a time that is not
// understood.
bool TimesOf(const QueryParams& params, QDateTime& since, QDateTime& until, ApiReply& refusal) {
    for (const char* name : {"since", "until"}) {
        const QString given = Param(params, name);
        if (given.isEmpty()) {
            continue;
        }
        const std::optional<QDateTime> time = JournalTime(given);
        if (!time) {
            refusal = Refused(400, QStringLiteral("%1 takes a date (2026-12-01), a date and time "
                                                  "(2026-12-01T08:00Z), today, or hours or days "
                                                  "back (8h, 7d), not '%2'")
                                       .arg(QLatin1String(name), given));
            return false;
        }
        (name[0] == 's' ? since : until) = *time;
    }
    return true;
}

// since and until as given, else the shift under way up to now.
bool PeriodOf(const QueryParams& params, const QList<QTime>& shiftStarts, SummaryPeriod& period,
              ApiReply& refusal) {
    if (!TimesOf(params, period.since, period.until, refusal)) {
        return false;
    }
    if (!period.since.isValid()) {
        period.since = ShiftStartAt(shiftStarts, QDateTime::currentDateTime());
    }
    period.station = Param(params, "station");
    return true;
}

ApiReply Unreadable(const QString& error) {
    return Refused(503, QStringLiteral("the journal cannot be read: %1").arg(error));
}

}  // namespace

DashboardApi::DashboardApi(DashboardSettings settingsIn)
    : settings(std::move(settingsIn)), reader(settings.journal) {}

ApiReply DashboardApi::Summary(const QueryParams& params) const {
    SummaryPeriod period;
    ApiReply refusal;
    if (!PeriodOf(params, settings.shiftStarts, period, refusal)) {
        return refusal;
    }
    JournalSummary summary;
    QString error;
    if (!reader.Summarize(period, summary, error)) {
        return Unreadable(error);
    }
    QJsonObject object = FiguresJson(summary.line);
    object.insert(QStringLiteral("since"), Utc(period.since));
    object.insert(QStringLiteral("until"), TextOrNull(Utc(period.until)));
    object.insert(QStringLiteral("station"), TextOrNull(period.station));
    object.insert(QStringLiteral("stations"), StationsJson(summary));
    if (!AddBreakdowns(reader, period, object, error)) {
        return Unreadable(error);
    }
    return Json(object);
}

std::optional<RunFilter> DashboardApi::RunsFilter(const QueryParams& params,
                                                  ApiReply& refusal) const {
    RunFilter filter;
    if (!TimesOf(params, filter.since, filter.until, refusal)) {
        return std::nullopt;
    }
    filter.station = Param(params, "station");
    filter.result = Param(params, "result");
    if (!filter.result.isEmpty() &&
        !QStringList{"succeeded", "failed", "unfinished"}.contains(filter.result)) {
        refusal = Refused(400, QStringLiteral("result takes succeeded, failed or unfinished, not "
                                              "'%1'")
                                   .arg(filter.result));
        return std::nullopt;
    }
    filter.code = Param(params, "code");
    filter.after = Param(params, "after");
    filter.limit = kDefaultPage;
    if (const QString limit = Param(params, "limit"); !limit.isEmpty()) {
        bool number = false;
        filter.limit = limit.toInt(&number);
        if (!number || filter.limit < 1 || filter.limit > kLargestPage) {
            refusal = Refused(400, QStringLiteral("limit takes a number from 1 to %1, not '%2'")
                                       .arg(kLargestPage)
                                       .arg(limit));
            return std::nullopt;
        }
    }
    return filter;
}

ApiReply DashboardApi::Runs(const QueryParams& params) const {
    ApiReply refusal;
    const std::optional<RunFilter> filter = RunsFilter(params, refusal);
    if (!filter) {
        return refusal;
    }
    std::vector<JournalRecord> records;
    QString next;
    QString error;
    if (!reader.Runs(*filter, records, next, error)) {
        return error.startsWith(QLatin1String("the cursor")) ? Refused(400, error)
                                                             : Unreadable(error);
    }
    QJsonArray runs;
    for (const JournalRecord& record : records) {
        runs.append(RecordJson(record));
    }
    return Json({{"runs", runs}, {"next", TextOrNull(next)}});
}

bool DashboardApi::WriteRunsCsv(RunFilter filter,
                                const std::function<bool(const std::string&)>& write) const {
    if (!write(CsvLine(RecordCsvHeader()).toStdString())) {
        return false;
    }
    filter.limit = kLargestPage;
    do {
        std::vector<JournalRecord> records;
        QString error;
        if (!reader.Runs(filter, records, filter.after, error)) {
            return false;
        }
        QString page;
        for (const JournalRecord& record : records) {
            page += CsvLine(RecordCsvFields(record));
        }
        if (!write(page.toStdString())) {
            return false;
        }
    } while (!filter.after.isEmpty());
    return true;
}

ApiReply DashboardApi::Chip(const std::string& keyText) const {
    const QString key = QString::fromStdString(keyText).trimmed();
    static const QRegularExpression uid(QStringLiteral("^[0-9A-Fa-f]{24}$"));
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,9}$"));
    RunFilter filter;
    if (uid.match(key).hasMatch()) {
        filter.uid = key;
    } else if (number.match(key).hasMatch()) {
        filter.sequenceNumber = key.toInt();
    } else {
        filter.serial = key;
    }
    filter.wholeChip = true;
    std::vector<JournalRecord> records;
    QString next;
    QString error;
    if (!reader.Runs(filter, records, next, error)) {
        return Unreadable(error);
    }
    QJsonArray runs;
    for (const JournalRecord& record : records) {
        runs.append(RecordJson(record));
    }
    return Json({{"key", key}, {"runs", runs}});
}

ApiReply DashboardApi::Stations() const {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    std::vector<StationLive> stations;
    QString error;
    // Stations heard from in the last day; older ones are no longer on the line.
    if (!reader.Stations(now.addDays(-1), stations, error)) {
        return Unreadable(error);
    }
    QJsonArray listed;
    for (const StationLive& live : stations) {
        QJsonArray fixtures;
        for (const FixtureLive& fixture : live.fixtures) {
            fixtures.append(QJsonObject{{"fixture", fixture.fixture},
                                        {"port", fixture.port},
                                        {"state", fixture.state},
                                        {"detail", fixture.detail},
                                        {"entry", TextOrNull(fixture.entry)},
                                        {"percent", NumberOrNull(fixture.percent)},
                                        {"code", TextOrNull(fixture.code)},
                                        {"changed", fixture.changed}});
        }
        const QDateTime seen = QDateTime::fromString(live.station.seen, Qt::ISODateWithMs);
        listed.append(QJsonObject{
            {"instance", live.station.instance},
            {"station", live.station.name},
            {"host", live.station.host},
            {"seen", live.station.seen},
            {"offline", !seen.isValid() || seen.secsTo(now) >= settings.offlineAfter.count()},
            {"fixtures", fixtures}});
    }
    return Json({{"now", Utc(now)},
                 {"offline_after", static_cast<qint64>(settings.offlineAfter.count())},
                 {"stations", listed}});
}

}  // namespace korvane
