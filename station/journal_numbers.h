// The number guard, inside station/ only: who holds a sequence number, checked inside the
// caller's transaction, for a live run's number and for one that comes back from a spool
// alike; and the one way numbers leave the shared sequence.
#pragma once

#include <QString>

#include "station/journal.h"
#include "station/journal_connection.h"

namespace korvane::journal_sql {

// Takes count consecutive numbers of the shared sequence, inside the caller's
// transaction: first is the lowest. Never a number a record or a lease already holds, and
// none past the range, which the serial record would cut.
bool TakeFromSequence(Connection& connection, int count, int& first, QString& error);

// A number inside another station's lease is that station's, used or not yet. Another
// station is another instance; a lease claimed before stations had identities is told by
// its station's name. leased is set, and holder names the lease's station, when it is.
bool InAnothersLease(Connection& connection, int number, const QString& station,
                     const QString& instance, NumberHolder& holder, bool& leased, QString& error);

// Who holds number, for the refusal's message.
NumberHolder HolderOf(Connection& connection, int number);

// True when uid is the very chip that holds the number already: a device that came back
// for rework may be sent its own serial record again, and nobody else's. An ID of all
// zeros or all ones is shared by many chips and tells none apart.
bool SameChip(const QString& uid, const NumberHolder& holder);

}  // namespace korvane::journal_sql
