#include "flashing/package_signature.h"

#include <gcrypt.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "flashing/package.h"

namespace korvane {

namespace {

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

// --- the files' text ---------------------------------------------------------------------

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 with its padding, and nothing else: no white space, no line breaks, no
// stray bits after the last byte, as minisign writes and reads it.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 4 != 0) {
        return false;
    }
    size_t body = text.size();
    while (body > 0 && text.size() - body < 2 && text[body - 1] == '=') {
        --body;
    }
    bytes.clear();
    uint32_t pending = 0;
    int pendingBits = 0;
    for (size_t i = 0; i < body; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) {
            return false;
        }
        pending = pending << 6 | static_cast<uint32_t>(value);
        pendingBits += 6;
        if (pendingBits >= 8) {
            pendingBits -= 8;
            bytes.push_back(static_cast<uint8_t>(pending >> pendingBits));
            pending &= (1u << pendingBits) - 1;
        }
    }
    return pending == 0;
}

// The first count lines of text, each without its line end ("\n" or "\r\n"); fewer when
// the text has fewer. What follows them is not read.
std::vector<std::string> FirstLines(const std::string& text, size_t count) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (lines.size() < count && start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.push_back(text.substr(start, end - start));
        start = next;
    }
    return lines;
}

const char* const kOrdinals[] = {"first", "second", "third", "fourth"};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Two algorithm bytes as text, with bytes that are not printable as \xNN.
std::string AlgorithmText(const uint8_t* bytes) {
    std::string text;
    for (size_t i = 0; i < kAlgorithmBytes; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
            text += static_cast<char>(bytes[i]);
        } else {
            static const char kHex[] = "0123456789ABCDEF";
            text += "\\x";
            text += kHex[bytes[i] >> 4];
            text += kHex[bytes[i] & 0xF];
        }
    }
    return "\"" + text + "\"";
}

bool IsAlgorithm(const uint8_t* bytes, const char* algorithm) {
    return std::memcmp(bytes, algorithm, kAlgorithmBytes) == 0;
}

struct SignatureFile {
    uint8_t algorithm[kAlgorithmBytes] = {};
    KeyId keyId{};
    Signature signature{};
    std::string trustedComment;
    Signature globalSignature{};
};

bool ParseSignatureFile(const std::string& text, SignatureFile& file, std::string& problem) {
    // A fifth line is read only to refuse it: a signature file holds four, and text after
    // them is as foreign to it as text before them.
    const std::vector<std::string> lines = FirstLines(text, 5);
    if (lines.size() < 4) {
        problem = text.empty() ? "it is empty"
                               : std::string("its ") + kOrdinals[lines.size()] + " line is missing";
        return false;
    }
    if (lines.size() > 4) {
        problem = "it has more than four lines";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!StartsWith(lines[0], kUntrustedPrefix)) {
        problem = std::string("its first line does not start with \"") + kUntrustedPrefix + "\"";
        return false;
    }
    if (!DecodeBase64(lines[1], bytes) ||
        bytes.size() != kAlgorithmBytes + kKeyIdBytes + kSignatureBytes) {
        problem = "its second line is not the base64 of an algorithm, a key ID and a signature";
        return false;
    }
    std::memcpy(file.algorithm, bytes.data(), kAlgorithmBytes);
    std::memcpy(file.keyId.data(), bytes.data() + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(file.signature.data(), bytes.data() + kAlgorithmBytes + kKeyIdBytes,
                kSignatureBytes);
    if (!StartsWith(lines[2], kTrustedPrefix)) {
        problem = std::string("its third line does not start with \"") + kTrustedPrefix + "\"";
        return false;
    }
    file.trustedComment = lines[2].substr(std::strlen(kTrustedPrefix));
    if (file.trustedComment.size() > kMaxTrustedCommentBytes) {
        problem = "its trusted comment is longer than the " +
                  std::to_string(kMaxTrustedCommentBytes) + " bytes minisign signs";
        return false;
    }
    if (!DecodeBase64(lines[3], bytes) || bytes.size() != kSignatureBytes) {
        problem = "its fourth line is not the base64 of a 64-byte signature";
        return false;
    }
    std::memcpy(file.globalSignature.data(), bytes.data(), kSignatureBytes);
    return true;
}

// --- libgcrypt ---------------------------------------------------------------------------

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

enum class Check { kGood, kBad, kBrokenKey, kFailed };

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

// Ed25519 (RFC 8032) over message with publicKey.
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

// --- reading files -----------------------------------------------------------------------

// The whole of a small file, read the way a package is (a regular file only, never waiting
// on a FIFO); false with a phrase that follows its name in why.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& why) {
    PackageFile file;
    if (!file.Open(path)) {
        why = file.Problem();
        return false;
    }
    text.assign(file.Bytes().begin(), file.Bytes().end());
    return true;
}

bool ReadKeyFile(const std::string& path, TrustedKey& key, std::string& error) {
    std::string text;
    std::string why;
    if (!ReadWholeFile(path, text, why)) {
        error = "the key file " + path + " " + why;
        return false;
    }
    if (!ParseTrustedKey(text, key, why)) {
        error = "the key file " + path + " is no usable minisign public key: " + why;
        return false;
    }
    key.source = path;
    return true;
}

bool IsPubFileName(const std::string& name) {
    static const std::string kSuffix = ".pub";
    return name.size() > kSuffix.size() &&
           std::equal(
               kSuffix.begin(), kSuffix.end(), name.end() - kSuffix.size(),
               [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

std::string KeyIdText(const KeyId& id) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = id.size(); i-- > 0;) {
        text += kHex[id[i] >> 4];
        text += kHex[id[i] & 0xF];
    }
    return text;
}

bool ParseTrustedKey(const std::string& text, TrustedKey& key, std::string& error) {
    const std::vector<std::string> lines = FirstLines(text, 2);
    if (lines.empty() || !StartsWith(lines[0], "untrusted comment:")) {
        error = "its first line does not start with \"untrusted comment:\"";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (lines.size() < 2 || !DecodeBase64(lines[1], bytes) ||
        bytes.size() != kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes) {
        error = "its second line is not the base64 of an algorithm, a key ID and a public key";
        return false;
    }
    if (!IsAlgorithm(bytes.data(), kKeyAlgorithm)) {
        error = "its algorithm " + AlgorithmText(bytes.data()) + " is not Ed25519 (\"Ed\")";
        return false;
    }
    TrustedKey parsed;
    std::memcpy(parsed.keyId.data(), bytes.data() + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(parsed.publicKey.data(), bytes.data() + kAlgorithmBytes + kKeyIdBytes,
                kPublicKeyBytes);
    // A key that libgcrypt refuses is found now, not at the first package: it is tried on a
    // signature that cannot be right, which a usable key fails as a bad signature.
    std::string why;
    const Check check = VerifyEd25519(parsed.publicKey, Signature{}, nullptr, 0, why);
    if (check == Check::kBrokenKey) {
        error = "its public key is no point of the Ed25519 curve";
        return false;
    }
    if (check == Check::kFailed) {
        error = "its public key cannot be checked: " + why;
        return false;
    }
    key = parsed;
    return true;
}

bool LoadTrustedKeys(const std::string& path, std::vector<TrustedKey>& keys, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code failure;
    const fs::file_status status = fs::status(path, failure);
    std::vector<TrustedKey> found;
    if (status.type() == fs::file_type::not_found) {
        error = "the trusted keys " + path + " do not exist";
        return false;
    }
    if (status.type() != fs::file_type::directory) {
        found.emplace_back();
        if (!ReadKeyFile(path, found.back(), error)) {
            return false;
        }
    } else {
        std::vector<std::string> files;
        for (fs::directory_iterator entry(path, failure), end; !failure && entry != end;
             entry.increment(failure)) {
            if (IsPubFileName(entry->path().filename().string())) {
                files.push_back(entry->path().string());
            }
        }
        if (failure) {
            error = "the folder of trusted keys " + path + " cannot be read";
            return false;
        }
        if (files.empty()) {
            error = "the folder of trusted keys " + path + " holds no .pub file";
            return false;
        }
        std::sort(files.begin(), files.end());
        for (const std::string& file : files) {
            found.emplace_back();
            if (!ReadKeyFile(file, found.back(), error)) {
                return false;
            }
        }
    }
    // A signature names its key by ID alone: of two keys with one ID only one could be
    // tried, and a forged one read first would make every genuine signature look altered.
    std::vector<TrustedKey> all = keys;
    all.insert(all.end(), found.begin(), found.end());
    for (size_t i = keys.size(); i < all.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (all[j].keyId == all[i].keyId) {
                error = "the key files " + all[j].source + " and " + all[i].source +
                        " hold keys of one key ID, " + KeyIdText(all[i].keyId) +
                        "; only one of them can be the signer's";
                return false;
            }
        }
    }
    keys = std::move(all);
    return true;
}

std::string SignaturePathFor(const std::string& packagePath) {
    return packagePath + kSignatureSuffix;
}

bool ReadSignatureFile(const std::string& path, std::optional<std::string>& text,
                       std::string& error) {
    std::error_code failure;
    text.reset();
    if (std::filesystem::status(path, failure).type() == std::filesystem::file_type::not_found) {
        return true;
    }
    std::string contents;
    std::string why;
    if (!ReadWholeFile(path, contents, why)) {
        error = "the signature file " + path + " " + why;
        return false;
    }
    text = std::move(contents);
    return true;
}

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
