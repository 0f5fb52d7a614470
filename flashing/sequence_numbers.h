// Where device sequence numbers come from. A number is consumed at the moment the serial
// record that carries it is about to be sent: the advance has reached the store before
// the record's first byte goes out, so a number that reached a device is never handed
// out again, whatever becomes of the run or of the process afterwards. A run holds the
// counter from before it touches the device until it has ended, so that no other run,
// in this process or another, reads the same number meanwhile.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace korvane {

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
    // Consumes Next() into number and advances the store past it. True once the advance
    // has reached storage; false (nothing consumed, why set) when it could not be saved.
    // Safe to call from another thread than Take.
    virtual bool Consume(int& number, std::string& why) = 0;
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
    bool Consume(int& number, std::string& why) override;
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
    bool Consume(int& number, std::string& why) override { return owner.Consume(number, why); }
    void Give() override {}

private:
    SequenceNumbers& owner;
};

}  // namespace korvane
