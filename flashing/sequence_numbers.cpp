#include "flashing/sequence_numbers.h"

namespace korvane {

bool CountedInMemory::Take(std::optional<int> chosen, std::string&) {
    std::lock_guard<std::mutex> lock(mutex);
    if (chosen) {
        next = *chosen;
    }
    return true;
}

int CountedInMemory::Next() const {
    std::lock_guard<std::mutex> lock(mutex);
    return next;
}

bool CountedInMemory::Consume(int& number, const NumberGuard& guard, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (guard) {
        const NumberVerdict verdict = guard(next, why);
        if (verdict != NumberVerdict::kAccepted) {
            next += verdict == NumberVerdict::kUnknown ? 1 : 0;
            return false;
        }
    }
    number = next++;
    return true;
}

}  // namespace korvane
