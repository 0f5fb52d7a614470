// The dashboard's HTTP server: the page, its scripts, the JSON API and the live stream of
// changes, read-only from the journal, through cpp-httplib (a thread for each connection).
// With a token, every request must bring it: as a bearer header, or as the cookie the
// login form sets.
#pragma once

#include <QString>
#include <memory>
#include <string>

#include "dashboard/dashboard_api.h"
#include "station/journal_changes.h"

namespace httplib {
class Server;
}

namespace korvane {

struct ServeSettings {
    DashboardSettings dashboard;
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port
    QString token;    // empty: no token asked for
};

class DashboardServer {
public:
    explicit DashboardServer(ServeSettings settings);
    ~DashboardServer();
    DashboardServer(const DashboardServer&) = delete;
    DashboardServer& operator=(const DashboardServer&) = delete;

    // Takes the address; false (error set) when it cannot be had.
    bool Bind(QString& error);
    // The port bound.
    int Port() const { return port; }
    // Answers requests until Stop.
    void Serve();
    // Ends the live streams and the server; from any thread.
    void Stop();

private:
    // The page, its files and the login form; then the API and its live stream.
    void Route();
    void RouteApi();
    bool Allowed(const std::string& authorization, const std::string& cookies) const;

    ServeSettings settings;
    DashboardApi api;
    ChangeFeed changes;
    std::unique_ptr<httplib::Server> server;
    int port = 0;
};

}  // namespace korvane
