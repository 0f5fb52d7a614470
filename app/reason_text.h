// A run's reason as the windows say it: with what the operator can do about it, in the
// window's own terms rather than the tool's commands.
#pragma once

#include <QString>

#include "flashing/flash_run.h"

namespace korvane {

// The reason (empty when the run has none) with the window's advice.
QString ReasonInWindow(const RunOutcome& outcome);

// A reason as a sentence of its own (under a status line, on a tile): its first letter
// capital.
QString AsSentence(QString text);

}  // namespace korvane
