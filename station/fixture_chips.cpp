#include "station/fixture_chips.h"

namespace korvane {

std::string FixtureChips::Claim(const std::string& fixture, const std::string& uid) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [other, chip] : chipOf) {
        if (other != fixture && chip == uid) {
            return other;
        }
    }
    chipOf[fixture] = uid;
    return {};
}

void FixtureChips::Release(const std::string& fixture) {
    std::lock_guard<std::mutex> lock(mutex);
    chipOf.erase(fixture);
}

}  // namespace korvane
