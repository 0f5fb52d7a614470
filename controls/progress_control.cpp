#include "controls/progress_control.h"

#include <utility>

namespace korvane {

ProgressControl::ProgressControl(QWidget* parent) : QWidget(parent) {}

int ProgressControl::Store(long long newPosition) {
    // Compared one end at a time: a range whose lower end lies above its upper end must not
    // reach a clamp that assumes an ordered range.
    if (newPosition < lower) {
        newPosition = lower;
    }
    if (newPosition > upper) {
        newPosition = upper;
    }
    const int previous = std::exchange(position, static_cast<int>(newPosition));
    if (position != previous) {
        update();
    }
    return previous;
}

ProgressControl::Range ProgressControl::SetRange(int newLower, int newUpper) {
    const Range previous{lower, upper};
    lower = newLower;
    upper = newUpper;
    Store(position);
    if (lower != previous.lower || upper != previous.upper) {
        update();
    }
    return previous;
}

int ProgressControl::SetPos(int newPosition) {
    return Store(newPosition);
}

int ProgressControl::DeltaPos(int increment) {
    return Store(static_cast<long long>(position) + increment);
}

int ProgressControl::SetStep(int newStep) {
    return std::exchange(step, newStep);
}

int ProgressControl::StepIt() {
    long long next = static_cast<long long>(position) + step;
    const long long span = static_cast<long long>(upper) - lower;
    if (span > 0 && (next > upper || next < lower)) {
        next = lower + ((next - lower) % span + span) % span;
    }
    return Store(next);
}

}  // namespace korvane
