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

bool CountedInMemory::Consume(int& number, std::string&) {
    std::lock_guard<std::mutex> lock(mutex);
    number = next++;
    return true;
}

}  // namespace korvane
