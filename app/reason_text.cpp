#include "app/reason_text.h"

#include "settings/os_text.h"

namespace korvane {

QString ReasonInWindow(const RunOutcome& outcome) {
    QString reason = Shown(outcome.reason);
    switch (outcome.advice) {
        case Advice::kNone:
            break;
        case Advice::kListPorts:
            return reason + " (the port box's tooltip names the device that each port stands for)";
        case Advice::kUnprotect:
            return reason +
                   "; a service bench can lift the protection, which erases the whole flash";
        case Advice::kNextNumber:
            if (reason.endsWith('.')) {
                reason.chop(1);
            }
            return reason +
                   "; this station's counter is behind the line's: type the line's next number "
                   "into S/N, or use Counter=journal.";
    }
    return reason;
}

}  // namespace korvane
