// The text of signature and public-key files, and what the parts that read keys, check
// signatures and load files share of it. Internal to the flashing library: callers use
// package_signature.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flashing/package_signature.h"

namespace korvane::signing {

constexpr size_t kAlgorithmBytes = 2;
constexpr size_t kSignatureBytes = 64;
constexpr size_t kDigestBytes = 64;  // BLAKE2b-512
// A message reaches libgcrypt's Ed25519 inside an S-expression, whose atoms (and, in 1.10,
// what is built from them) hold less than 64 KiB: a longer message overruns its memory.
// A digest and a trusted comment are far shorter; the legacy form signs the package itself.
constexpr size_t kMaxSignedBytes = 60 * 1024;
// The longest trusted comment minisign signs.
constexpr size_t kMaxTrustedCommentBytes = 8173;
constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr char kKeyAlgorithm[] = "Ed";
constexpr char kLegacyAlgorithm[] = "Ed";     // Ed25519 over the file itself
constexpr char kPrehashedAlgorithm[] = "ED";  // Ed25519 over the file's BLAKE2b-512

using Signature = std::array<uint8_t, kSignatureBytes>;

// Standard base64 with its padding, and nothing else: no white space, no line breaks, no
// stray bits after the last byte, as minisign writes and reads it.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>& bytes);

// The first count lines of text, each without its line end ("\n" or "\r\n"); fewer when
// the text has fewer. What follows them is not read.
std::vector<std::string> FirstLines(const std::string& text, size_t count);

bool StartsWith(const std::string& text, const char* prefix);

// Two algorithm bytes as text, with bytes that are not printable as \xNN.
std::string AlgorithmText(const uint8_t* bytes);

bool IsAlgorithm(const uint8_t* bytes, const char* algorithm);

struct SignatureFile {
    uint8_t algorithm[kAlgorithmBytes] = {};
    KeyId keyId{};
    Signature signature{};
    std::string trustedComment;
    Signature globalSignature{};
};

bool ParseSignatureFile(const std::string& text, SignatureFile& file, std::string& problem);

}  // namespace korvane::signing
