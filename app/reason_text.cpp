#include "app/reason_text.h"

#include "settings/os_text.h"

namespace korvane {

QString ReasonInWindow(const RunOutcome& outcome) {
    static const AdviceWords window{
        "the port box's tooltip names the device that each port stands for",
        "a service bench can lift the protection, which erases the whole flash",
        "this station's counter is behind the line's: type the line's next number into S/N, "
        "or use Counter=journal.",
        "korvane-flash identify --try-wirings tries the usual fixture wirings"};
    return Shown(ReasonWithAdvice(outcome, {}, window));
}

QString AsSentence(QString text) {
    if (!text.isEmpty()) {
        text[0] = text[0].toUpper();
    }
    return text;
}

}  // namespace korvane
