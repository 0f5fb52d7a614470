#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "flashing/package.h"
#include "flashing/package_signature.h"

namespace korvane {

namespace {

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

}  // namespace korvane
