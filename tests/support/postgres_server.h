// A real PostgreSQL server for one test: a fresh cluster in a temporary folder, reached
// through a Unix socket, started and stopped by the test itself through the script the
// Windows tests use as well (scripts/postgres-server.sh). Tests and benchmarks share it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef KORVANE_POSTGRES_SCRIPT
#error "KORVANE_POSTGRES_SCRIPT names scripts/postgres-server.sh"
#endif

namespace korvane::testing {

class PostgresServer {
public:
    PostgresServer() {
        char madeFolder[] = "/tmp/korvane-postgres-XXXXXX";
        if (mkdtemp(madeFolder) == nullptr) {
            unsuited = "no temporary folder could be made";
            return;
        }
        folder = madeFolder;
        std::string said;
        const int status = Script("start", said);
        if (status == 0) {
            uri = said.substr(said.rfind('\n', said.size() - 2) + 1);
            uri.erase(uri.find_last_not_of('\n') + 1);
        } else {
            unsuited = said.empty() ? "the server did not start" : said;
        }
    }
    ~PostgresServer() {
        Stop();
        if (!folder.empty()) {
            std::system(("rm -rf '" + folder + "'").c_str());
        }
    }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Empty when the server runs; otherwise why there is none.
    const std::string& Unsuited() const { return unsuited; }

    const std::string& Uri() const { return uri; }

    bool Start() {
        std::string said;
        return Script("start", said) == 0;
    }
    bool Stop() {
        std::string said;
        return !folder.empty() && Script("stop", said) == 0;
    }

private:
    // Runs the script on this server's folder; what it printed, both streams, in `said`.
    int Script(const char* command, std::string& said) const {
        const std::string line =
            std::string("'") + KORVANE_POSTGRES_SCRIPT + "' " + command + " '" + folder + "' 2>&1";
        FILE* out = popen(line.c_str(), "r");
        if (out == nullptr) {
            return -1;
        }
        char buffer[512];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, out)) > 0) {
            said.append(buffer, got);
        }
        return pclose(out);
    }

    std::string folder;
    std::string uri;
    std::string unsuited;
};

}  // namespace korvane::testing
