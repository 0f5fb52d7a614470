// Who a station is, apart from its name: an identity made once and kept beside its
// profile. Two stations given one name are still two, and a lease of numbers belongs to
// the one that claimed it.
#pragma once

#include <QString>

namespace korvane {

// This station's identity (a UUID), made and kept the first time it is asked for. Empty
// (error set) when it can neither be read nor kept.
QString StationInstance(QString& error);

// The first eight digits, as messages and listings show an identity.
QString ShortInstance(const QString& instance);

}  // namespace korvane
