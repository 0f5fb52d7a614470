// Where device sequence numbers come from. A number is consumed at the moment the serial
// record that carries it is about to be sent: the advance has reached the store before
// the record's first byte goes out, so a number that reached a device is never handed
// out again, whatever becomes of the run or of the process afterwards. A run holds the
// counter from before it touches the device until it has ended, so that no other run,
// in this process or another, reads the same number meanwhile.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace korvane {

// What the journal said of a number before a device may hold it.
enum class NumberVerdict {
    kAccepted,  // the number is this run's there
    kRefused,   // another device already holds it: it was not taken
    kUnknown,   // it could not be recorded, or the answer was lost: it may have been taken
};
// Whatever must know a number before a device may hold it; why is set (for the operator)
// unless the number was accepted.
using NumberGuard = std::function<NumberVerdict(int number, std::string& why)>;

class SequenceNumbers {
public:
    virtual ~SequenceNumbers() = default;

    // Takes the counter for one run and reads the next number from the store, or takes
    // chosen, the operator's own choice for this run. False (nothing taken, why set to a
    // sentence for the operator) when no run may start: another program holds the
    // counter, or the store is damaged or out of reach.
    virtual bool Take(std::optional<int> chosen, std::string& why) = 0;
    // The number the next Consume gives. Only while the counter is taken.
    virtual int Next() const = 0;
    // Consumes Next() into number: the store advances past it, then the guard (when there
    // is one) must accept it. True once both have. False (why set) when the advance could
    // not be saved, or the guard did not accept the number. A counter of this station's own
    // goes back to a number the guard refused (another device holds it: the counter is
    // behind, and a refusal must not move it on); a number whose fate is unknown stays
    // spent, as does every number of a shared sequence. Safe to call from another thread
    // than Take.
    virtual bool Consume(int& number, const NumberGuard& guard, std::string& why) = 0;
    // Gives the counter back.
    virtual void Give() = 0;
};

// A counter kept in memory by its owner: for runs whose numbering the caller keeps, as a
// benchmark or a test of the engine does.
class CountedInMemory : public SequenceNumbers {
public:
    explicit CountedInMemory(int next) : next(next) {}

    bool Take(std::optional<int> chosen, std::string& why) override;
    int Next() const override;
    bool Consume(int& number, const NumberGuard& guard, std::string& why) override;
    void Give() override {}

private:
    mutable std::mutex mutex;
    int next;
};

// A share of a counter that another owner has taken for several runs at once (one
// station flashing many ports): each run consumes from it, none takes or gives it back.
class BorrowedNumbers : public SequenceNumbers {
public:
    explicit BorrowedNumbers(SequenceNumbers& owner) : owner(owner) {}

    bool Take(std::optional<int>, std::string&) override { return true; }
    int Next() const override { return owner.Next(); }
    bool Consume(int& number, const NumberGuard& guard, std::string& why) override {
        return owner.Consume(number, guard, why);
    }
    void Give() override {}

private:
    SequenceNumbers& owner;
};

}  // namespace korvane
