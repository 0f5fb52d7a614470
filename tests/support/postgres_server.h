// A real PostgreSQL server for one test: a fresh cluster in a temporary folder, reached
// through a Unix socket only, started and stopped by the test itself. As root the server
// runs as the postgres user, as the server insists. Tests and benchmarks share it.
#pragma once

#include <glob.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace korvane::testing {

class PostgresServer {
public:
    PostgresServer() {
        glob_t found{};
        if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0 &&
            found.gl_pathc > 0) {
            bin = std::string(found.gl_pathv[found.gl_pathc - 1]);
            bin.resize(bin.size() - std::string("/initdb").size());
        }
        globfree(&found);
        if (bin.empty()) {
            unsuited = "no PostgreSQL server is installed (Debian package postgresql)";
            return;
        }
        char madeFolder[] = "/tmp/korvane-postgres-XXXXXX";
        if (mkdtemp(madeFolder) == nullptr) {
            unsuited = "no temporary folder could be made";
            return;
        }
        folder = madeFolder;
        const std::string made = "mkdir -p '" + folder + "/socket' && chmod 777 '" + folder + "'" +
                                 (getuid() == 0 ? " && chown -R postgres '" + folder + "'" : "");
        if (std::system(made.c_str()) != 0 ||
            !AsServerUser("'" + bin + "/initdb' -D '" + folder + "/data' -A trust -U postgres " +
                          "--no-sync >'" + folder + "/initdb.log' 2>&1")) {
            unsuited = "initdb failed; see " + folder + "/initdb.log";
            return;
        }
        if (!Start()) {
            unsuited = "the server did not start; see " + folder + "/server.log";
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

    std::string Uri() const { return "postgresql://postgres@/postgres?host=" + folder + "/socket"; }

    bool Start() {
        return AsServerUser("'" + bin + "/pg_ctl' -D '" + folder + "/data' -l '" + folder +
                            "/server.log' -w -o \"-k '" + folder +
                            "/socket' -c listen_addresses='' -c fsync=off\" start >/dev/null");
    }
    bool Stop() {
        return !bin.empty() && AsServerUser("'" + bin + "/pg_ctl' -D '" + folder +
                                            "/data' -m fast -w stop >/dev/null 2>&1");
    }

private:
    bool AsServerUser(const std::string& command) const {
        const std::string line =
            getuid() == 0 ? "runuser -u postgres -- sh -c \"" + Escaped(command) + "\"" : command;
        return std::system(line.c_str()) == 0;
    }
    static std::string Escaped(const std::string& command) {
        std::string out;
        for (const char c : command) {
            if (c == '"' || c == '\\' || c == '$') {
                out += '\\';
            }
            out += c;
        }
        return out;
    }

    std::string bin;
    std::string folder;
    std::string unsuited;
};

}  // namespace korvane::testing
