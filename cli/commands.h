// The command-line tool's three jobs: flash a package, list a package, build a package.
// Each returns the process's exit status: 0 done, 1 failed, 2 bad usage.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>

namespace korvane {

enum ExitStatus { kExitSucceeded = 0, kExitFailed = 1, kExitUsage = 2 };

struct FlashOptions {
    QString packagePath;
    QString port;                       // "COMn" or a device; empty: the profile's port
    std::optional<int> sequenceNumber;  // empty: the profile's SN
};

// One line for the operator on to, after the tool's name, safe for a terminal.
void Say(std::FILE* to, const QString& text);

int FlashCommand(const FlashOptions& options, std::FILE* out, std::FILE* err);
int ListCommand(const QString& packagePath, std::FILE* out, std::FILE* err);
// entries are NAME=FILE (or FILE, named after the file).
int PackCommand(const QString& outputPath, const QStringList& entries, std::FILE* out,
                std::FILE* err);

}  // namespace korvane
