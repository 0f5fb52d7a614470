// The checks a flash run makes before it touches a device, from the request alone. The run
// makes them first thing; a front end that sets a station up makes them before that, so
// that a request no run would take costs nothing, and nothing happens to any device.
#pragma once

#include <string>

#include "flashing/flash_run.h"
#include "flashing/operator_feedback.h"

namespace korvane {

struct RunCheck {
    // kSucceeded: nothing refused; else kBadSequenceNumber, kNotAPackage or kFileNotOpened.
    RunResult result = RunResult::kSucceeded;
    std::string reason;  // why, in a sentence (empty for a number out of range)

    bool Refused() const { return result != RunResult::kSucceeded; }
};

// The chosen number's range, and an image file chosen instead of a package.
RunCheck CheckRequest(const FlashRequest& request);

// CheckRequest, then whether the package's file can be read at all (and is not far too
// large to be one), without reading a byte of it; a file that cannot is said on feedback
// as a run says it. A run finds that itself when it reads the package, once its number is
// taken and its record begun: this is for a front end that would rather not begin either.
RunCheck CheckBeforeTheDevice(const FlashRequest& request, OperatorFeedback& feedback);

}  // namespace korvane
