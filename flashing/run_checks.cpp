#include "flashing/run_checks.h"

#include "flashing/entry_kind.h"
#include "flashing/package.h"
#include "flashing/status_texts.h"

namespace korvane {

RunCheck CheckRequest(const FlashRequest& request) {
    RunCheck check;
    // A number outside the range formats longer than the record holds, is cut, and
    // would give this device another device's serial number.
    if (request.sequenceNumber && !IsValidSequenceNumber(*request.sequenceNumber)) {
        check.result = RunResult::kBadSequenceNumber;
    } else if (IsKnownImageName(request.packagePath)) {
        // An image alone is no package: none of it would be written, so the device is not
        // even reset for it.
        check.result = RunResult::kNotAPackage;
        check.reason =
            request.packagePath + " is an image file, not a package; nothing was written";
    }
    return check;
}

RunCheck CheckBeforeTheDevice(const FlashRequest& request, OperatorFeedback& feedback) {
    RunCheck check = CheckRequest(request);
    if (check.Refused()) {
        return check;
    }
    const std::string& path = request.packagePath;
    if (const std::string problem = PackageFileProblem(path); !problem.empty()) {
        feedback.Status(status::kFileNotOpened, path.c_str());
        check.result = RunResult::kFileNotOpened;
        check.reason = "the package " + path + " " + problem;
    }
    return check;
}

}  // namespace korvane
