// How a fixture wires the adapter's modem lines to the microcontroller: which of DTR and
// RTS drives RESET and which BOOT0, whether each goes through an inverter, how long the
// reset is held and how long the lines settle, and what follows the closing request.
// DeviceLink plays it; the profile's [Fixture] section and --fixture give it as text.
//
// Text form, keys in any order, each optional (the default in brackets):
//   reset=rts | dtr | !rts | !dtr   [rts]  the line that holds the chip in reset while set;
//                                          "!" for one through an inverter (in reset while
//                                          cleared)
//   boot0=dtr | rts | !dtr | !rts   [dtr]  the line that raises BOOT0 while cleared; "!" for
//                                          one through an inverter (BOOT0 high while set)
//   pulse=100ms                     [100ms] how long RESET is held
//   settle=100ms                    [100ms] the pause after BOOT0 is raised and after RESET
//                                          is released
//   exit=none | run                 [none] run: after the closing request, BOOT0 is lowered
//                                          and RESET pulsed, so that the new firmware starts
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

enum class ModemLine { kDtr, kRts };
enum class FixtureExit { kNone, kRun };

struct FixtureWiring {
    static constexpr uint32_t kDefaultPauseMs = 100;
    // The longest pulse or settle time the text may give: a reset held longer than this is
    // a typing error, not a capacitor.
    static constexpr uint32_t kMaxPauseMs = 10000;

    ModemLine reset = ModemLine::kRts;
    bool resetInverted = false;
    ModemLine boot0 = ModemLine::kDtr;
    bool boot0Inverted = false;
    uint32_t pulseMs = kDefaultPauseMs;
    uint32_t settleMs = kDefaultPauseMs;
    FixtureExit exit = FixtureExit::kNone;

    bool operator==(const FixtureWiring& other) const;
    bool operator!=(const FixtureWiring& other) const { return !(*this == other); }
};

// The text form with every key, as the profile's Wiring= value:
// "reset=rts,boot0=dtr,pulse=100ms,settle=100ms,exit=none" for the default.
std::string FixtureWiringText(const FixtureWiring& wiring);

// Reads the text form; empty text is the default wiring. Null, with error saying what is
// wrong, for a key not understood or given twice, a value not understood (named with what
// its key takes), or RESET and BOOT0 on one line.
std::optional<FixtureWiring> ParseFixtureWiring(const std::string& text, std::string* error);

// The wirings a probe tries, configured first, then the common other ways a bench is
// built: a longer pulse, the lines swapped, each or both inverted, and those with the
// longer pulse. Each keeps the configured exit sequence.
std::vector<FixtureWiring> CommonWirings(const FixtureWiring& configured);

}  // namespace korvane
