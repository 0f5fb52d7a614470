// korvane-flash journal serve: the dashboard on the journal, until Ctrl-C or a termination
// request ends it.
#include <QFile>
#include <QRegularExpression>
#include <thread>

#include "cli/commands.h"
#include "cli/interrupt_signals.h"
#include "cli/subcommands.h"
#include "dashboard/dashboard_server.h"
#include "settings/profile.h"

namespace korvane {

namespace {

// ADDRESS:PORT, an IPv6 address in brackets; false (error set) for anything else.
bool ReadListen(const QString& given, ServeSettings& settings, QString& error) {
    static const QRegularExpression form(
        QStringLiteral("^(\\[([0-9A-Fa-f:.]+)\\]|([^:\\[\\]]+)):(\\d{1,5})$"));
    const QRegularExpressionMatch match = form.match(given);
    const int port = match.captured(4).toInt();
    if (!match.hasMatch() || port > 65535) {
        error = QStringLiteral(
                    "--listen takes an address and a port (127.0.0.1:8080, "
                    "0.0.0.0:8080, [::1]:8080), not '%1'")
                    .arg(given);
        return false;
    }
    settings.host =
        (match.captured(2).isEmpty() ? match.captured(3) : match.captured(2)).toStdString();
    settings.port = port;
    return true;
}

// The token a file holds, without the line break an editor adds; false (error set) when
// the file cannot be read or holds none.
bool ReadToken(const QString& path, QString& token, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("--token-file %1: %2").arg(path, file.errorString());
        return false;
    }
    token = QString::fromUtf8(file.readAll()).trimmed();
    if (token.isEmpty() || token.contains(QRegularExpression(QStringLiteral("[\\s;,]")))) {
        error = QStringLiteral(
                    "--token-file %1 holds no token: write one line of letters and "
                    "digits, without blanks")
                    .arg(path);
        return false;
    }
    return true;
}

}  // namespace

int RunJournalServe(const Invocation& call) {
    ServeSettings settings;
    QString problem;
    settings.dashboard.journal =
        JournalAddress(call.Given("journal").value_or(ReadJournalSettings().database), problem);
    const std::optional<StationConfig> config =
        settings.dashboard.journal.isEmpty() ? std::nullopt : ReadStationConfig({}, problem);
    if (!config || (call.IsSet("listen") && !ReadListen(call.Value("listen"), settings, problem)) ||
        (call.IsSet("token-file") &&
         !ReadToken(call.Value("token-file"), settings.token, problem))) {
        Say(call.err, problem);
        return kExitUsage;
    }
    settings.dashboard.shiftStarts = config->shiftStarts;
    if (call.IsSet("offline-after")) {
        bool number = false;
        const int seconds = call.Value("offline-after").toInt(&number);
        if (!number || seconds < 1 || seconds > 86400) {
            Say(call.err, QStringLiteral("--offline-after takes seconds from 1 to 86400, not '%1'")
                              .arg(call.Value("offline-after")));
            return kExitUsage;
        }
        settings.dashboard.offlineAfter = std::chrono::seconds(seconds);
    }
    const JournalReader reader(settings.dashboard.journal);
    const Journal journal(settings.dashboard.journal);
    if (!reader.Open(problem)) {
        Say(call.err,
            QStringLiteral("cannot read the journal %1: %2").arg(journal.Where(), problem));
        return kExitFailed;
    }
    AbandonRunsOnSignals();
    ArmGentleStop();
    DashboardServer server(settings);
    if (!server.Bind(problem)) {
        Say(call.err, problem);
        return kExitFailed;
    }
    const QString host = QString::fromStdString(settings.host);
    std::fprintf(call.out, "Serving the journal %s at http://%s:%d/ (Ctrl-C ends)\n",
                 journal.Where().toUtf8().constData(),
                 (host.contains(':') ? '[' + host + ']' : host).toUtf8().constData(),
                 server.Port());
    std::fflush(call.out);
    std::thread stopper([&server] {
        AwaitGentleStop();
        server.Stop();
    });
    server.Serve();
    RequestGentleStop();
    stopper.join();
    return kExitSucceeded;
}

}  // namespace korvane
