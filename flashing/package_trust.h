// What a station makes of a package's signature: the one decision, for the run, the
// listing and the window alike, of whether a package may reach a device, and the sentence
// that tells the operator why.
//
// A station that names trusted keys flashes a package only when PACKAGE.minisig beside it
// is a valid signature, by one of those keys, of the very bytes the run holds. A station
// that names none flashes as it always has, and still shows a signature that is there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flashing/package_signature.h"

namespace korvane {

struct PackageTrust {
    SignatureVerdict verdict;
    // Trusted keys are set: only a package with a valid signature is flashed.
    bool required = false;
    // Why the trusted keys could not be used (a path that is not there, a folder without
    // a .pub file); every package is refused then.
    std::string keysProblem;

    // The package must not be flashed.
    bool Refused() const { return required && (!keysProblem.empty() || !verdict.Valid()); }
    // The key ID the signature names, when it could be read.
    const std::string& Signer() const { return verdict.keyId; }
    // The trusted comment, once the signature has been checked.
    const std::string& SignedComment() const { return verdict.trustedComment; }
    // One sentence for the operator (with control characters as they are); empty when
    // there is nothing to say: no trusted keys and no signature.
    std::string Text() const;
};

// Checks bytes, the package as it was read once from packagePath and as the run writes it,
// against the signature file beside packagePath and the keys trustedKeysPath stands for
// (empty: the station trusts no key). Reads the signature file and the keys, never the
// package.
PackageTrust CheckPackageTrust(const std::string& packagePath, const std::vector<uint8_t>& bytes,
                               const std::string& trustedKeysPath);

}  // namespace korvane
