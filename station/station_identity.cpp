#include "station/station_identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

#include "settings/profile.h"

namespace korvane {

namespace {

// Beside the profile where it is a file; in the per-user data folder where the profile is
// the registry.
QString IdentityPath() {
    const auto profile = OpenProfile();
    const QString folder =
        profile->format() == QSettings::NativeFormat && !profile->fileName().contains('/')
            ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/" +
                  kProfileKey
            : QFileInfo(profile->fileName()).absolutePath();
    return folder + "/station-id";
}

QString Read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QString text = QString::fromLatin1(file.readAll()).trimmed();
    return QUuid::fromString(text).isNull() ? QString() : text;
}

}  // namespace

QString StationInstance(QString& error) {
    const QString path = IdentityPath();
    if (const QString kept = Read(path); !kept.isEmpty()) {
        return kept;
    }
    // Written whole under another name and then renamed, which never replaces a file: of
    // two processes that make one at once, both keep the one that got there first.
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString made = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString draft = path + "." + QUuid::createUuid().toString(QUuid::Id128);
    QFile file(draft);
    if (!file.open(QIODevice::WriteOnly) || file.write(made.toLatin1() + '\n') < 0 ||
        !file.flush()) {
        error = QStringLiteral("The station's identity cannot be kept in %1: %2.")
                    .arg(path, file.errorString());
        file.remove();
        return {};
    }
    file.close();
    const bool renamed = QFile::rename(draft, path);
    if (!renamed) {
        QFile::remove(draft);
    }
    const QString kept = Read(path);
    if (kept.isEmpty()) {
        error = QStringLiteral("The station's identity in %1 cannot be read.").arg(path);
    }
    return kept;
}

QString ShortInstance(const QString& instance) {
    return instance.left(8);
}

}  // namespace korvane
