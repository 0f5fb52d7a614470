#include "link/fixture_wiring.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>

namespace korvane {

namespace {

// The pulse a probe tries when the configured one brings nothing: long enough for the
// capacitors that benches put on RESET.
constexpr uint32_t kLongPulseMs = 500;

std::string LineText(ModemLine line, bool inverted) {
    return std::string(inverted ? "!" : "") + (line == ModemLine::kDtr ? "dtr" : "rts");
}

bool ParseLine(const std::string& text, ModemLine* line, bool* inverted) {
    *inverted = !text.empty() && text[0] == '!';
    const std::string name = text.substr(*inverted ? 1 : 0);
    if (name == "dtr" || name == "rts") {
        *line = name == "dtr" ? ModemLine::kDtr : ModemLine::kRts;
        return true;
    }
    return false;
}

// "250ms" or "250".
bool ParseMs(std::string text, uint32_t* ms) {
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        text.resize(text.size() - 2);
    }
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return false;
    }
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value > FixtureWiring::kMaxPauseMs) {
        return false;
    }
    *ms = static_cast<uint32_t>(value);
    return true;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool FixtureWiring::operator==(const FixtureWiring& other) const {
    return reset == other.reset && resetInverted == other.resetInverted && boot0 == other.boot0 &&
           boot0Inverted == other.boot0Inverted && pulseMs == other.pulseMs &&
           settleMs == other.settleMs && exit == other.exit;
}

std::string FixtureWiringText(const FixtureWiring& wiring) {
    return "reset=" + LineText(wiring.reset, wiring.resetInverted) +
           ",boot0=" + LineText(wiring.boot0, wiring.boot0Inverted) +
           ",pulse=" + std::to_string(wiring.pulseMs) + "ms" +
           ",settle=" + std::to_string(wiring.settleMs) + "ms" +
           ",exit=" + (wiring.exit == FixtureExit::kRun ? "run" : "none");
}

std::optional<FixtureWiring> ParseFixtureWiring(const std::string& text, std::string* error) {
    FixtureWiring wiring;
    // Each key, what reads its value, and the values it takes, for the refusal.
    const std::string longest = std::to_string(FixtureWiring::kMaxPauseMs) + "ms";
    const struct {
        const char* key;
        std::function<bool(const std::string&)> read;
        std::string takes;
    } keys[] = {
        {"reset",
         [&](const std::string& v) { return ParseLine(v, &wiring.reset, &wiring.resetInverted); },
         "rts, dtr, !rts or !dtr"},
        {"boot0",
         [&](const std::string& v) { return ParseLine(v, &wiring.boot0, &wiring.boot0Inverted); },
         "dtr, rts, !dtr or !rts"},
        {"pulse", [&](const std::string& v) { return ParseMs(v, &wiring.pulseMs); },
         "a time from 0 to " + longest},
        {"settle", [&](const std::string& v) { return ParseMs(v, &wiring.settleMs); },
         "a time from 0 to " + longest},
        {"exit",
         [&](const std::string& v) {
             wiring.exit = v == "run" ? FixtureExit::kRun : FixtureExit::kNone;
             return v == "none" || v == "run";
         },
         "none or run"},
    };
    // The item that first gave each key: the last of two would silently win otherwise.
    std::map<std::string, std::string> given;
    size_t from = 0;
    while (from <= text.size()) {
        size_t end = text.find(',', from);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string item = Trimmed(text.substr(from, end - from));
        from = end + 1;
        if (item.empty()) {
            continue;
        }
        std::transform(item.begin(), item.end(), item.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t equals = item.find('=');
        const std::string key = Trimmed(item.substr(0, equals));
        const std::string value =
            equals == std::string::npos ? "" : Trimmed(item.substr(equals + 1));
        const auto known = std::find_if(std::begin(keys), std::end(keys),
                                        [&](const auto& k) { return key == k.key; });
        if (known == std::end(keys)) {
            *error = "\"" + key +
                     "\" is none of reset, boot0, pulse, settle and exit (e.g. "
                     "reset=rts,boot0=dtr,pulse=100ms,settle=100ms,exit=none)";
            return std::nullopt;
        }
        if (const auto earlier = given.find(key); earlier != given.end()) {
            *error = "\"" + key + "\" is given twice, \"" + earlier->second + "\" and \"" + item +
                     "\": give each key once";
            return std::nullopt;
        }
        given[key] = item;
        if (!known->read(value)) {
            *error = "\"" + item + "\" is not understood: " + key + " takes " + known->takes;
            return std::nullopt;
        }
    }
    if (wiring.reset == wiring.boot0) {
        *error = "RESET and BOOT0 cannot both be on " + LineText(wiring.reset, false);
        return std::nullopt;
    }
    return wiring;
}

std::vector<FixtureWiring> CommonWirings(const FixtureWiring& configured) {
    // The configured lines first, then swapped, then each or both inverted, as often as
    // benches are built so.
    std::vector<FixtureWiring> lines;
    for (const int inverted : {0, 1, 2, 3}) {
        for (const bool swapped : {false, true}) {
            FixtureWiring wiring = configured;
            if (swapped) {
                std::swap(wiring.reset, wiring.boot0);
            }
            wiring.resetInverted = configured.resetInverted != ((inverted & 1) != 0);
            wiring.boot0Inverted = configured.boot0Inverted != ((inverted & 2) != 0);
            lines.push_back(wiring);
        }
    }
    // The configured lines with the configured pulse, then with a long one; then the other
    // lines, the configured pulse before the long one, since each failed try costs a read
    // window.
    std::vector<FixtureWiring> wirings;
    const auto add = [&wirings](const FixtureWiring& wiring) {
        if (std::find(wirings.begin(), wirings.end(), wiring) == wirings.end()) {
            wirings.push_back(wiring);
        }
    };
    const auto longPulse = [](FixtureWiring wiring) {
        wiring.pulseMs = std::max(wiring.pulseMs, kLongPulseMs);
        return wiring;
    };
    add(configured);
    add(longPulse(configured));
    for (const FixtureWiring& wiring : lines) {
        add(wiring);
    }
    for (const FixtureWiring& wiring : lines) {
        add(longPulse(wiring));
    }
    return wirings;
}

}  // namespace korvane
