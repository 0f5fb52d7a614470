// The checks of signatures, made by libgcrypt: Ed25519 and BLAKE2b-512. Internal to the
// flashing library, which alone links libgcrypt.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flashing/signature_format.h"

namespace korvane::signing {

enum class Check { kGood, kBad, kBrokenKey, kFailed };

// Ed25519 (RFC 8032) over message with publicKey.
Check VerifyEd25519(const std::array<uint8_t, kPublicKeyBytes>& publicKey,
                    const Signature& signature, const uint8_t* message, size_t length,
                    std::string& why);

bool Blake2b512(const std::vector<uint8_t>& bytes, std::array<uint8_t, kDigestBytes>& digest,
                std::string& why);

}  // namespace korvane::signing
