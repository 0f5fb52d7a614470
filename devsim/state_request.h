// The file by which a test runner in another process asks a simulator for something: it
// appears in the state folder, and is removed once served.
#pragma once

namespace korvane::devsim {

constexpr const char* kRequestName = "request";

}  // namespace korvane::devsim
