// Writing the profile: each setting spelled as Qt's INI files spell it, set in the file
// with every other byte kept, and read back from storage.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <utility>
#include <vector>

#include "settings/profile.h"
#include "settings/profile_file.h"
#include "settings/profile_text.h"

namespace korvane {

namespace {

// Sets entries in the profile file, each as spelled, leaving every other byte as it was.
// The file is replaced whole, and only once the new one is complete on the disk: a write
// that fails part of the way (a full disk, a size limit) leaves the old file in place,
// where a truncated profile would have lost the counter and started the numbering again.
// Qt's settings writer does not promise that.
bool WriteEntriesToFile(const QString& path, const std::vector<RawEntry>& entries) {
    // The lock file goes beside the profile, so the folder comes first.
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    // The same lock as every other writer of the profile takes, so that none of them
    // writes back a number it read before this one.
    QLockFile writers(path + ".lock");
    if (!writers.lock()) {
        return false;
    }
    QByteArray bytes;
    QFile current(path);
    if (current.exists()) {
        if (!current.open(QIODevice::ReadOnly)) {
            return false;
        }
        bytes = current.readAll();
        current.close();
    }
    for (const RawEntry& entry : entries) {
        bytes =
            WithEntry(bytes, entry.section.toUtf8(), entry.key.toUtf8(), entry.spelled.toUtf8());
    }
    QSaveFile replacement(path);
    if (!replacement.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return false;
    }
    if (replacement.write(bytes) != bytes.size()) {
        replacement.cancelWriting();
        return false;
    }
    return replacement.commit();
}

// "Section/Key" and what it is set to.
using Setting = std::pair<QString, QVariant>;

// The settings as Qt's INI files spell them (a path with a comma in quotes, escapes, a
// leading "@" doubled), found by letting Qt write them into a scratch file of their own:
// the profile is read through Qt, and must give back exactly the values written.
std::optional<std::vector<RawEntry>> SpelledByQt(const std::vector<Setting>& settings) {
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        return std::nullopt;
    }
    const QString path = scratch.filePath(QStringLiteral("spelling.ini"));
    {
        QSettings spelling(path, QSettings::IniFormat);
        for (const auto& [name, value] : settings) {
            spelling.setValue(name, value);
        }
        spelling.sync();
        if (spelling.status() != QSettings::NoError) {
            return std::nullopt;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    // Qt does not always say when its write fell short; a cut-off file has lost the end
    // of its last line.
    const QByteArray text = file.readAll();
    if (!text.endsWith('\n')) {
        return std::nullopt;
    }
    const std::vector<RawEntry> written = RawEntries(text);
    std::vector<RawEntry> entries;
    for (const auto& [name, value] : settings) {
        const RawEntry* entry = FindEntry(written, name.section(QLatin1Char('/'), 0, 0),
                                          name.section(QLatin1Char('/'), 1));
        if (entry == nullptr) {
            return std::nullopt;
        }
        entries.push_back(*entry);
    }
    return entries;
}

// Sets the settings and reads them back from storage, not from what this process believes
// it wrote: true only when the store now holds them all. The registry keeps each value's
// type (a number stays a number there).
bool SaveSettings(const std::vector<Setting>& settings) {
    const auto profile = OpenProfile();
    if (!ProfileIsFile(*profile)) {
        for (const auto& [name, value] : settings) {
            profile->setValue(name, value);
        }
        profile->sync();
        if (profile->status() == QSettings::AccessError) {
            return false;
        }
        const auto stored = OpenProfile();
        for (const auto& [name, value] : settings) {
            if (stored->value(name).toString() != value.toString()) {
                return false;
            }
        }
        return true;
    }
    const auto spelled = SpelledByQt(settings);
    if (!spelled || !WriteEntriesToFile(profile->fileName(), *spelled)) {
        return false;
    }
    const auto stored = RawEntriesOfFile(profile->fileName());
    if (!stored) {
        return false;
    }
    for (const RawEntry& entry : *spelled) {
        const RawEntry* found = FindEntry(*stored, entry.section, entry.key);
        if (found == nullptr || found->spelled != entry.spelled) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool WriteProfile(const QString& file, int portIndex) {
    return SaveSettings({{kFileKey, file}, {kPortKey, portIndex}});
}

bool SaveSequenceNumber(int sequenceNumber, QString& problem) {
    if (SaveSettings({{kSequenceNumberKey, sequenceNumber}})) {
        return true;
    }
    problem = QStringLiteral("The next sequence number %1 could not be saved to %2.")
                  .arg(sequenceNumber)
                  .arg(ProfileLocation());
    return false;
}

bool SavePortDevice(int portNumber, const QString& device, QString& problem) {
    // Whatever the name holds, the profile spells it so that its one reader gives it back
    // as it was, and the write is read back to be sure.
    const QString key = QStringLiteral("COM%1").arg(portNumber);
    if (SaveSettings({{QStringLiteral("%1/%2").arg(kPortsSection, key), device}})) {
        return true;
    }
    problem = QStringLiteral("%1=%2 could not be saved to the [%3] section of %4.")
                  .arg(key, device, kPortsSection, ProfileLocation());
    return false;
}

}  // namespace korvane
