#include "flashing/signature_format.h"

#include <cstring>

#include "flashing/signature_crypto.h"

namespace korvane {

namespace signing {

namespace {

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

const char* const kOrdinals[] = {"first", "second", "third", "fourth"};

}  // namespace

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

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

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

}  // namespace signing

using namespace signing;

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

}  // namespace korvane
