// The device sequence number kept in the profile's "SN": one counter for every window
// and tool of this user on this machine. A lock file beside the profile makes one run at
// a time its owner; the lock of a process that died is taken over.
#pragma once

#include <QLockFile>
#include <QString>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "flashing/sequence_numbers.h"

namespace korvane {

class ProfileCounter : public SequenceNumbers {
public:
    ProfileCounter();
    ~ProfileCounter() override;

    bool Take(std::optional<int> chosen, std::string& why) override;
    int Next() const override;
    bool Consume(int& number, const NumberGuard& guard, std::string& why) override;
    void Give() override;

    // Saves an operator's own number as the next one (the window's Cancel), under the
    // same lock. False, with why set, when another program holds the counter or the
    // number could not be saved.
    bool SaveChosen(int number, std::string& why);

    // The lock file, beside the profile (or, where the profile is the registry, in the
    // per-user data folder).
    static QString LockPath();

private:
    bool Lock(std::string& why);
    void Unlock();

    mutable std::mutex mutex;
    std::unique_ptr<QLockFile> lock;
    int next = 1;
};

}  // namespace korvane
