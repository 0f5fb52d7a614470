#include "settings/profile.h"

namespace korvane {

namespace {
constexpr char kFileKey[] = "Setting/File";
constexpr char kPortKey[] = "Setting/Port";
constexpr char kSequenceNumberKey[] = "Setting/SN";
}  // namespace

std::unique_ptr<QSettings> OpenProfile() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kProfileKey,
                                       kProfileApplication);
}

ProfileValues ReadProfile(QSettings& profile) {
    ProfileValues values;
    values.file = profile.value(kFileKey, QString()).toString();
    bool ok = false;
    const int port = profile.value(kPortKey, 0).toInt(&ok);
    values.portIndex = ok ? port : 0;
    const int sequenceNumber = profile.value(kSequenceNumberKey, 1).toInt(&ok);
    values.sequenceNumber = ok ? sequenceNumber : 1;
    return values;
}

void WriteProfile(QSettings& profile, const ProfileValues& values) {
    profile.setValue(kFileKey, values.file);
    profile.setValue(kSequenceNumberKey, values.sequenceNumber);
    profile.setValue(kPortKey, values.portIndex);
    profile.sync();
}

bool SaveSequenceNumber(QSettings& profile, int sequenceNumber) {
    profile.setValue(kSequenceNumberKey, sequenceNumber);
    profile.sync();
    return profile.status() == QSettings::NoError;
}

}  // namespace korvane
