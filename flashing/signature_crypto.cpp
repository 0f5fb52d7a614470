#include "flashing/signature_crypto.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

namespace korvane::signing {

namespace {

// libgcrypt set up once per process, by whichever thread comes first (the initialisation of
// a function's static is thread-safe): empty, or why it cannot be used.
const std::string& CryptoProblem() {
    static const std::string problem = []() -> std::string {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            return std::string("libgcrypt ") + gcry_check_version(nullptr) +
                   " is older than the " GCRYPT_VERSION " this program was built with";
        }
        // Only public keys pass through here: no secret needs locked memory. Another part
        // of the process may have set the library up already; it is not done twice.
        if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
            gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
            gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        }
        return std::string();
    }();
    return problem;
}

struct SexpRelease {
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpRelease>;

// libgcrypt 1.10 aborts the whole process, instead of failing, when it checks a key whose
// x or y coordinate is below 2^192: y is the key's bytes themselves (the top bit is x's
// sign), x is 0 for y = 1 and y = -1. No key that was made is like that, so those are
// refused before libgcrypt sees them; a small x for another y only a made-up key can have.
bool LibgcryptCannotTake(const std::array<uint8_t, kPublicKeyBytes>& key) {
    const bool shortY =
        std::all_of(key.begin() + 24, key.end() - 1, [](uint8_t b) { return b == 0; }) &&
        (key.back() & 0x7F) == 0;
    static const std::array<uint8_t, kPublicKeyBytes> kMinusOne = [] {
        std::array<uint8_t, kPublicKeyBytes> bytes;
        bytes.fill(0xFF);
        bytes.front() = 0xEC;
        bytes.back() = 0x7F;
        return bytes;
    }();
    return shortY || key == kMinusOne;
}

}  // namespace

Check VerifyEd25519(const std::array<uint8_t, kPublicKeyBytes>& publicKey,
                    const Signature& signature, const uint8_t* message, size_t length,
                    std::string& why) {
    if (!CryptoProblem().empty()) {
        why = CryptoProblem();
        return Check::kFailed;
    }
    if (LibgcryptCannotTake(publicKey)) {
        return Check::kBrokenKey;
    }
    if (length > kMaxSignedBytes) {
        why = "libgcrypt checks Ed25519 over at most " + std::to_string(kMaxSignedBytes) +
              " bytes, and this is " + std::to_string(length);
        return Check::kFailed;
    }
    static const uint8_t kNothing = 0;
    gcry_sexp_t key = nullptr;
    gcry_sexp_t value = nullptr;
    gcry_sexp_t data = nullptr;
    gcry_error_t failure =
        gcry_sexp_build(&key, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        static_cast<int>(kPublicKeyBytes), publicKey.data());
    Sexp keyHolder(key);
    if (failure == 0) {
        failure = gcry_sexp_build(&value, nullptr, "(sig-val (eddsa (r %b) (s %b)))",
                                  static_cast<int>(kSignatureBytes / 2), signature.data(),
                                  static_cast<int>(kSignatureBytes / 2),
                                  signature.data() + kSignatureBytes / 2);
    }
    Sexp valueHolder(value);
    if (failure == 0) {
        failure =
            gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                            static_cast<int>(length), length == 0 ? &kNothing : message);
    }
    Sexp dataHolder(data);
    if (failure == 0) {
        failure = gcry_pk_verify(value, data, key);
    }
    switch (gcry_err_code(failure)) {
        case GPG_ERR_NO_ERROR:
            return Check::kGood;
        case GPG_ERR_BAD_SIGNATURE:
            return Check::kBad;
        case GPG_ERR_BROKEN_PUBKEY:
            return Check::kBrokenKey;
        default:
            why = std::string("libgcrypt: ") + gcry_strerror(failure);
            return Check::kFailed;
    }
}

bool Blake2b512(const std::vector<uint8_t>& bytes, std::array<uint8_t, kDigestBytes>& digest,
                std::string& why) {
    if (!CryptoProblem().empty()) {
        why = CryptoProblem();
        return false;
    }
    gcry_md_hd_t hash = nullptr;
    const gcry_error_t failure = gcry_md_open(&hash, GCRY_MD_BLAKE2B_512, 0);
    if (failure != 0) {
        why = std::string("libgcrypt offers no BLAKE2b-512 here: ") + gcry_strerror(failure);
        return false;
    }
    gcry_md_write(hash, bytes.data(), bytes.size());
    std::memcpy(digest.data(), gcry_md_read(hash, GCRY_MD_BLAKE2B_512), kDigestBytes);
    gcry_md_close(hash);
    return true;
}

}  // namespace korvane::signing
