// Which chip each fixture of a station is flashing or holds, by its unique ID: one chip is
// in one place, so an ID seen in two fixtures at once is a cloned or counterfeit part, or
// a fixture wired to another's port. Neither device is given a number the other's record
// could claim.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace korvane {

class FixtureChips {
public:
    // The chip uid is now in fixture (in place of the one it had). Empty when no other
    // fixture has a chip of that ID; otherwise that fixture's name, and nothing changes.
    std::string Claim(const std::string& fixture, const std::string& uid);
    // The fixture holds no chip any more: it was taken out.
    void Release(const std::string& fixture);

private:
    std::mutex mutex;
    std::map<std::string, std::string> chipOf;  // fixture -> uid
};

}  // namespace korvane
