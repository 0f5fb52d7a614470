#include "dashboard/dashboard_server.h"

#include <httplib.h>

#include <QFile>
#include <QUrlQuery>

namespace korvane {

namespace {

constexpr char kCookie[] = "korvane_token";
// How long the live stream stays silent before it says it is still there; a reader that
// went away is found out then.
constexpr std::chrono::seconds kKeepAlive{15};
// Connections at once: every open page holds one for its live stream.
constexpr size_t kConnections = 128;

// What a page may run and load: only the server's own scripts, so that a text from the
// journal that slipped into the page as markup would still run nothing.
constexpr char kPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'; "
    "form-action 'self'";

// A file of the page, as built into the program; empty when it is not.
std::string Resource(const QString& name) {
    QFile file(QStringLiteral(":/dashboard/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The charting library: built in where the build embedded it, else the system's copy.
std::string ChartLibrary() {
    std::string built = Resource(QStringLiteral("chart.min.js"));
    if (!built.empty()) {
        return built;
    }
    QFile file(QStringLiteral(KORVANE_CHARTJS_PATH));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// Compares two texts in a time that does not tell how much of them matched.
bool SameText(const std::string& a, const std::string& b) {
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        differ |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return differ == 0 && !b.empty();
}

// The value of one cookie in a Cookie header; empty when it is not there.
std::string CookieValue(const std::string& cookies, const std::string& name) {
    for (const QString& pair : QString::fromStdString(cookies).split(';')) {
        const QString trimmed = pair.trimmed();
        if (trimmed.startsWith(QString::fromStdString(name) + '=')) {
            return trimmed.mid(static_cast<qsizetype>(name.size()) + 1).toStdString();
        }
    }
    return {};
}

void Answer(httplib::Response& response, const ApiReply& reply) {
    response.status = reply.status;
    response.set_content(reply.body, reply.type.c_str());
}

// One event of the live stream when what changed, else nothing.
std::string EventText(const char* name, uint64_t now, uint64_t seen) {
    return now == seen ? std::string()
                       : "event: " + std::string(name) + "\ndata: " + std::to_string(now) + "\n\n";
}

}  // namespace

DashboardServer::DashboardServer(ServeSettings settingsIn)
    : settings(std::move(settingsIn)),
      api(settings.dashboard),
      changes(settings.dashboard.journal),
      server(std::make_unique<httplib::Server>()) {
    server->new_task_queue = [] { return new httplib::ThreadPool(kConnections); };
    Route();
}

DashboardServer::~DashboardServer() {
    Stop();
}

bool DashboardServer::Allowed(const std::string& authorization, const std::string& cookies) const {
    if (settings.token.isEmpty()) {
        return true;
    }
    const std::string token = settings.token.toStdString();
    return SameText("Bearer " + token, authorization) ||
           SameText(token, CookieValue(cookies, kCookie));
}

void DashboardServer::Route() {
    const std::string page = Resource(QStringLiteral("index.html"));
    const std::string login = Resource(QStringLiteral("login.html"));
    server->set_default_headers({{"Content-Security-Policy", kPolicy},
                                 {"X-Content-Type-Options", "nosniff"},
                                 {"Referrer-Policy", "no-referrer"},
                                 {"Cache-Control", "no-store"}});
    server->set_pre_routing_handler(
        [this, login](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/login" || request.path == "/dashboard.css" ||
                Allowed(request.get_header_value("Authorization"),
                        request.get_header_value("Cookie"))) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            response.status = 401;
            if (request.path.rfind("/api/", 0) == 0) {
                response.set_header("WWW-Authenticate", "Bearer");
                response.set_content(R"({"error":"this dashboard asks for its token"})",
                                     "application/json");
            } else {
                response.set_content(login, "text/html; charset=utf-8");
            }
            return httplib::Server::HandlerResponse::Handled;
        });
    server->Get("/", [page](const httplib::Request&, httplib::Response& response) {
        response.set_content(page, "text/html; charset=utf-8");
    });
    for (const char* file : {"dashboard.js", "dashboard.css"}) {
        const std::string text = Resource(QString::fromLatin1(file));
        const char* type = QByteArray(file).endsWith(".js") ? "text/javascript; charset=utf-8"
                                                            : "text/css; charset=utf-8";
        server->Get(std::string("/") + file,
                    [text, type](const httplib::Request&, httplib::Response& response) {
                        response.set_content(text, type);
                    });
    }
    const std::string chart = ChartLibrary();
    server->Get("/chart.min.js", [chart](const httplib::Request&, httplib::Response& response) {
        if (chart.empty()) {
            response.status = 404;
            return;
        }
        response.set_content(chart, "text/javascript; charset=utf-8");
    });
    server->Get("/login", [login](const httplib::Request&, httplib::Response& response) {
        response.set_content(login, "text/html; charset=utf-8");
    });
    server->Post("/login", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string given = QUrlQuery(QString::fromStdString(request.body))
                                      .queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded)
                                      .toStdString();
        if (!Allowed({}, std::string(kCookie) + '=' + given)) {
            response.set_redirect("/login?refused", 303);
            return;
        }
        response.set_header("Set-Cookie", std::string(kCookie) + '=' + given +
                                              "; Path=/; HttpOnly; SameSite=Strict");
        response.set_redirect("/", 303);
    });
    RouteApi();
}

void DashboardServer::RouteApi() {
    server->Get("/api/summary",
                [this](const httplib::Request& request, httplib::Response& response) {
                    Answer(response, api.Summary(request.params));
                });
    server->Get("/api/runs", [this](const httplib::Request& request, httplib::Response& response) {
        Answer(response, api.Runs(request.params));
    });
    server->Get("/api/runs.csv", [this](const httplib::Request& request,
                                        httplib::Response& response) {
        ApiReply refusal;
        const std::optional<RunFilter> filter = api.RunsFilter(request.params, refusal);
        if (!filter) {
            Answer(response, refusal);
            return;
        }
        response.set_chunked_content_provider(
            "text/csv; charset=utf-8", [this, filter](size_t, httplib::DataSink& sink) {
                const bool written = api.WriteRunsCsv(*filter, [&sink](const std::string& text) {
                    return text.empty() || sink.write(text.data(), text.size());
                });
                if (written) {
                    sink.done();
                }
                return written;
            });
    });
    server->Get(R"(/api/chip/([^/]+))",
                [this](const httplib::Request& request, httplib::Response& response) {
                    Answer(response, api.Chip(request.matches[1]));
                });
    server->Get("/api/stations", [this](const httplib::Request&, httplib::Response& response) {
        Answer(response, api.Stations());
    });
    server->Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "text/event-stream", [this](size_t, httplib::DataSink& sink) {
                Changes seen = changes.Now();
                std::string text = "retry: 2000\n\nevent: hello\ndata: 0\n\n";
                while (!changes.Closed()) {
                    if (!sink.write(text.data(), text.size())) {
                        return false;
                    }
                    const Changes now = changes.Wait(
                        seen, std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAlive));
                    text = EventText("runs", now.runs, seen.runs) +
                           EventText("stations", now.stations, seen.stations);
                    if (text.empty()) {
                        text = ": still here\n\n";
                    }
                    seen = now;
                }
                return false;
            });
    });
}

bool DashboardServer::Bind(QString& error) {
    if (settings.port == 0) {
        port = server->bind_to_any_port(settings.host);
    } else if (server->bind_to_port(settings.host, settings.port)) {
        port = settings.port;
    }
    if (port <= 0) {
        error = QStringLiteral(
                    "cannot listen on %1:%2 (the address is not this machine's, or "
                    "the port is taken)")
                    .arg(QString::fromStdString(settings.host))
                    .arg(settings.port);
        return false;
    }
    return true;
}

void DashboardServer::Serve() {
    server->listen_after_bind();
}

void DashboardServer::Stop() {
    changes.Close();
    server->stop();
}

}  // namespace korvane
