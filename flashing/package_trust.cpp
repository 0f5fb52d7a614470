#include "flashing/package_trust.h"

#include <optional>

namespace korvane {

std::string PackageTrust::Text() const {
    using State = SignatureVerdict::State;
    if (!keysProblem.empty()) {
        return "No package is flashed here: " + keysProblem + ".";
    }
    if (!required) {
        switch (verdict.state) {
            case State::kNoSignature:
                return std::string();
            case State::kUntrustedKey:
                // Nothing to check it with: the key ID is all a signature says by itself.
                return "The package is signed by key " + verdict.keyId +
                       "; this station trusts no key, so the signature is not checked.";
            default:
                break;
        }
    }
    return DescribeVerdict(verdict);
}

PackageTrust CheckPackageTrust(const std::string& packagePath, const std::vector<uint8_t>& bytes,
                               const std::string& trustedKeysPath) {
    PackageTrust trust;
    trust.required = !trustedKeysPath.empty();
    std::vector<TrustedKey> keys;
    if (trust.required && !LoadTrustedKeys(trustedKeysPath, keys, trust.keysProblem)) {
        return trust;
    }
    std::optional<std::string> signature;
    std::string unreadable;
    if (!ReadSignatureFile(SignaturePathFor(packagePath), signature, unreadable)) {
        trust.verdict.state = SignatureVerdict::State::kMalformed;
        trust.verdict.detail = unreadable;
        return trust;
    }
    trust.verdict = VerifyPackageSignature(bytes, signature, keys);
    return trust;
}

}  // namespace korvane
