// Keys and signatures made by the real minisign, as engineering makes them: a key pair
// without a password, and detached signatures beside the file they sign.
#pragma once

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace korvane::testing {

class Minisign {
public:
    // A key pair: the public key at pub, the secret key beside it.
    struct Key {
        std::string pub;
        std::string secret;
        std::string id;  // 16 hexadecimal digits, as the station shows it
    };

    // Why minisign cannot be used here; empty when it can (a test skips otherwise).
    static std::string Missing() {
        ChildProcess child("minisign", {"-v"}, true);
        if (!child.Running()) {
            return "minisign cannot be run: install Debian's minisign (scripts/bootstrap.sh)";
        }
        child.ReadAll();
        return child.Wait() == 0 ? std::string() : "minisign -v failed";
    }

    // False with minisign's words in problem when it fails.
    bool Run(const std::vector<std::string>& args) {
        ChildProcess child("minisign", args, true);
        const std::string output = child.ReadAll();
        if (!child.Running() || child.Wait() != 0) {
            problem = "minisign failed:\n" + output;
            return false;
        }
        return true;
    }

    bool MakeKey(const std::string& pubPath, Key& key) {
        key.pub = pubPath;
        key.secret = pubPath + ".key";
        if (!Run({"-G", "-W", "-p", key.pub, "-s", key.secret})) {
            return false;
        }
        // "untrusted comment: minisign public key 844BBB7BE51C1D4C", leading zeros left out.
        std::ifstream in(key.pub);
        std::string first;
        std::getline(in, first);
        const std::string id = first.substr(first.rfind(' ') + 1);
        key.id = std::string(16 - std::min<size_t>(id.size(), 16), '0') + id;
        return true;
    }

    // Signs file into file.minisig, in the legacy form when asked.
    bool Sign(const Key& key, const std::string& file, const std::string& comment,
              bool legacy = false) {
        std::vector<std::string> args = {"-S", "-s", key.secret, "-m", file, "-t", comment};
        if (legacy) {
            args.insert(args.begin() + 1, "-l");
        }
        return Run(args);
    }

    std::string problem;
};

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace korvane::testing
