// Signed packages: a package is flashed only with a detached minisign signature
// (PACKAGE.minisig) made by a key the station trusts.
//
// The signature file holds four lines, and nothing after them:
//   untrusted comment: <anything>
//   base64 of: algorithm (2 bytes) || key ID (8 bytes) || Ed25519 signature (64 bytes)
//   trusted comment: <text>
//   base64 of: Ed25519 signature (64 bytes) over the signature bytes || the trusted text
// The algorithm "ED" signs the BLAKE2b-512 digest of the file (minisign's default), "Ed"
// (minisign -l) the file itself; libgcrypt takes that only for files of up to 60 KiB, so a
// larger package signed so is kUnsupported. A public-key file holds two lines:
//   untrusted comment: <anything>
//   base64 of: "Ed" || key ID (8 bytes) || Ed25519 public key (32 bytes)
// Key IDs are stored little-endian and shown as the hexadecimal number they make.
//
// VerifyPackageSignature is pure: no file is read, nothing is kept. The small loaders
// beside it read the files it is given. The checks are libgcrypt's (Ed25519, BLAKE2b).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

constexpr size_t kKeyIdBytes = 8;
constexpr size_t kPublicKeyBytes = 32;
constexpr char kSignatureSuffix[] = ".minisig";

using KeyId = std::array<uint8_t, kKeyIdBytes>;

// The key ID as minisign shows it: the 8 stored bytes read as a little-endian number, in
// 16 uppercase hexadecimal digits ("844BBB7BE51C1D4C"). minisign's own comment lines drop
// leading zeros; this keeps all 16 digits.
std::string KeyIdText(const KeyId& id);

// One public key the station trusts.
struct TrustedKey {
    KeyId keyId{};  // as stored in the file
    std::array<uint8_t, kPublicKeyBytes> publicKey{};
    std::string source;  // the file it was read from
};

// Reads the text of a minisign public-key file. False with the reason in error (a phrase:
// "its first line does not start with ..."), also for a key of another algorithm and for a
// key libgcrypt cannot use (it is tried once here).
bool ParseTrustedKey(const std::string& text, TrustedKey& key, std::string& error);

// Adds the keys that path stands for to keys: one public-key file (of any name), or a
// folder whose *.pub files (the suffix in any case) are each trusted. False with one line
// naming the file in error when path is missing or unreadable, when a folder holds no .pub
// file, when any of its .pub files cannot be read or is no usable public key, or when two
// keys, among those read and those already in keys, have one key ID (the error names both
// files); keys is left as it was then.
bool LoadTrustedKeys(const std::string& path, std::vector<TrustedKey>& keys, std::string& error);

// Where a package's signature is: PACKAGE.minisig beside it.
std::string SignaturePathFor(const std::string& packagePath);

// Reads a signature file. A path where there is nothing gives true and no text (the package
// is not signed); a file that is there but cannot be read (not a regular file, no right to
// read it) gives false with one line naming it in error.
bool ReadSignatureFile(const std::string& path, std::optional<std::string>& text,
                       std::string& error);

struct SignatureVerdict {
    enum class State {
        kValid,                // signed by a trusted key; keyId, trustedComment, keySource
        kNoSignature,          // no signature file
        kMalformed,            // the signature file is not one; detail says what is wrong
        kUntrustedKey,         // signed by keyId, which is not among the trusted keys
        kChangedAfterSigning,  // the signature over the package fails: keyId, keySource
        kCommentAltered,       // the signature over the trusted comment fails: keyId, keySource
        kUnsupported,          // a form this station cannot check; detail says which and why
    };
    State state = State::kNoSignature;
    // The signing key's ID (KeyIdText) once the signature could be read.
    std::string keyId;
    // The trusted comment, only when the state is kValid: the text after "trusted comment: ",
    // as signed (it may hold tabs and other control characters; escape them for display).
    std::string trustedComment;
    // The file the trusted key came from (kValid, kChangedAfterSigning, kCommentAltered).
    std::string keySource;
    // What is wrong (kMalformed, kUnsupported), a phrase: "its fourth line is missing".
    std::string detail;

    bool Valid() const { return state == State::kValid; }
};

// Checks package (the very bytes a run writes, PackageFile::Bytes()) against the text of
// its signature file (none: the package is not signed) and the trusted keys. Reads no file.
SignatureVerdict VerifyPackageSignature(const std::vector<uint8_t>& package,
                                        const std::optional<std::string>& signatureText,
                                        const std::vector<TrustedKey>& trusted);

// The verdict as one sentence for the operator ("The package is signed by trusted key
// 844BBB7BE51C1D4C, with the trusted comment "release 4.2"."). It names no file: the
// caller adds the package's path, and escapes control characters for display.
std::string DescribeVerdict(const SignatureVerdict& verdict);

}  // namespace korvane
