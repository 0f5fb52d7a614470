#include "flashing/package_signature.h"

#include <algorithm>

#include "flashing/signature_crypto.h"
#include "flashing/signature_format.h"

namespace korvane {

using namespace signing;

SignatureVerdict VerifyPackageSignature(const std::vector<uint8_t>& package,
                                        const std::optional<std::string>& signatureText,
                                        const std::vector<TrustedKey>& trusted) {
    using State = SignatureVerdict::State;
    SignatureVerdict verdict;
    if (!signatureText) {
        verdict.state = State::kNoSignature;
        return verdict;
    }
    SignatureFile file;
    if (!ParseSignatureFile(*signatureText, file, verdict.detail)) {
        verdict.state = State::kMalformed;
        return verdict;
    }
    verdict.keyId = KeyIdText(file.keyId);
    const bool prehashed = IsAlgorithm(file.algorithm, kPrehashedAlgorithm);
    if (!prehashed && !IsAlgorithm(file.algorithm, kLegacyAlgorithm)) {
        verdict.state = State::kUnsupported;
        verdict.detail = "its algorithm " + AlgorithmText(file.algorithm) +
                         " is neither \"ED\" (Ed25519 over the BLAKE2b-512 of the package) "
                         "nor \"Ed\" (Ed25519 over the package)";
        return verdict;
    }
    const auto key = std::find_if(trusted.begin(), trusted.end(),
                                  [&](const TrustedKey& k) { return k.keyId == file.keyId; });
    if (key == trusted.end()) {
        verdict.state = State::kUntrustedKey;
        return verdict;
    }
    verdict.keySource = key->source;

    // Any check that cannot be made leaves the package refused, with the reason.
    auto cannotCheck = [&](Check check, const std::string& why) {
        verdict.state = check == Check::kBrokenKey ? State::kMalformed : State::kUnsupported;
        verdict.detail = check == Check::kBrokenKey
                             ? "the trusted key " + verdict.keyId + " is no Ed25519 public key"
                             : why;
        return verdict;
    };
    if (!prehashed && package.size() > kMaxSignedBytes) {
        verdict.state = State::kUnsupported;
        verdict.detail = "the legacy form (minisign -l) is checked only for packages of up to " +
                         std::to_string(kMaxSignedBytes) + " bytes, and this one has " +
                         std::to_string(package.size()) + ": sign it in minisign's default form";
        return verdict;
    }
    std::string why;
    std::array<uint8_t, kDigestBytes> digest{};
    if (prehashed && !Blake2b512(package, digest, why)) {
        return cannotCheck(Check::kFailed, why);
    }
    Check check =
        prehashed
            ? VerifyEd25519(key->publicKey, file.signature, digest.data(), digest.size(), why)
            : VerifyEd25519(key->publicKey, file.signature, package.data(), package.size(), why);
    if (check == Check::kBad) {
        verdict.state = State::kChangedAfterSigning;
        return verdict;
    }
    if (check != Check::kGood) {
        return cannotCheck(check, why);
    }
    // The trusted comment is signed together with the signature it follows.
    std::vector<uint8_t> signedComment(file.signature.begin(), file.signature.end());
    signedComment.insert(signedComment.end(), file.trustedComment.begin(),
                         file.trustedComment.end());
    check = VerifyEd25519(key->publicKey, file.globalSignature, signedComment.data(),
                          signedComment.size(), why);
    if (check == Check::kBad) {
        verdict.state = State::kCommentAltered;
        return verdict;
    }
    if (check != Check::kGood) {
        return cannotCheck(check, why);
    }
    verdict.state = State::kValid;
    verdict.trustedComment = file.trustedComment;
    return verdict;
}

std::string DescribeVerdict(const SignatureVerdict& verdict) {
    using State = SignatureVerdict::State;
    switch (verdict.state) {
        case State::kValid:
            return "The package is signed by trusted key " + verdict.keyId +
                   ", with the trusted comment \"" + verdict.trustedComment + "\".";
        case State::kNoSignature:
            return "The package is not signed: there is no signature file beside it.";
        case State::kMalformed:
            return "The package's signature cannot be read: " + verdict.detail + ".";
        case State::kUntrustedKey:
            return "The package is signed by key " + verdict.keyId +
                   ", which this station does not trust.";
        case State::kChangedAfterSigning:
            return "The package was changed after it was signed: the signature by key " +
                   verdict.keyId + " does not match its bytes.";
        case State::kCommentAltered:
            return "The trusted comment of the package's signature by key " + verdict.keyId +
                   " was changed after signing.";
        case State::kUnsupported:
            return "The package's signature cannot be checked here: " + verdict.detail + ".";
    }
    return std::string();
}

}  // namespace korvane
