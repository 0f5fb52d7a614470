// How late a timed wait may end on a loaded machine (sanitizers, the other core busy)
// before a test calls it wrong. Waits are checked for "not before" exactly; "not much
// after" only catches a wait that runs a whole window too long.
#pragma once

#include <cstdint>

namespace korvane::testing {

constexpr uint32_t kSchedulingSlackMs = 1500;

}  // namespace korvane::testing
