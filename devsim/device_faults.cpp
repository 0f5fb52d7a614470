#include "devsim/device_faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace korvane::devsim {

namespace {

std::string AddressName(const char* name, uint32_t address) {
    char text[40];
    std::snprintf(text, sizeof text, "%s=0x%08X", name, static_cast<unsigned>(address));
    return text;
}

std::string RequestName(const RequestMatch& match) {
    std::string name = std::to_string(match.command) + "." + std::to_string(match.subCommand);
    if (match.address) {
        char address[16];
        std::snprintf(address, sizeof address, "@0x%08X", static_cast<unsigned>(*match.address));
        name += address;
    }
    return name;
}

constexpr uint32_t kDefaultEraseDelayMs = 5000;

}  // namespace

bool ParseNumber(const std::string& text, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0' && errno == 0 && *value >= 0;
}

bool ApplyFault(const std::string& fault, DeviceFaults* faults) {
    const auto equals = fault.find('=');
    const std::string name = fault.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : fault.substr(equals + 1);
    long number = 0;
    if (name == "silent") {
        faults->silent = true;
    } else if (name == "nack-before-ack") {
        faults->nackBeforeAck = true;
    } else if (name == "get-count-zero") {
        faults->getCountZero = true;
    } else if (name == "get-short") {
        faults->getShort = true;
    } else if (name == "get-long") {
        faults->getLong = true;
    } else if (name == "slow-erase" && (value.empty() || ParseNumber(value, &number))) {
        faults->eraseDelayMs = value.empty() ? kDefaultEraseDelayMs : static_cast<uint32_t>(number);
    } else if (name == "short-version" && ParseNumber(value, &number) && number >= 1 &&
               number <= 2) {
        faults->shortVersion = static_cast<int>(number);
    } else if (name == "refuse-write" && ParseNumber(value, &number) &&
               static_cast<unsigned long>(number) <= 0xFFFFFFFFul) {
        faults->refuseWriteAt = static_cast<uint32_t>(number);
    } else if (name == "flip-byte" && ParseNumber(value, &number) &&
               static_cast<unsigned long>(number) <= 0xFFFFFFFFul) {
        faults->flipByteAt = static_cast<uint32_t>(number);
    } else if (name == "read-protected" && value.empty()) {
        faults->readProtected = true;
    } else if (name == "uid" && ParseUniqueId(value)) {
        faults->uid = ParseUniqueId(value);
    } else if (name == "flash-kib" && ParseNumber(value, &number) &&
               number >= static_cast<long>(kMinFlashKib) &&
               number <= static_cast<long>(kMaxFlashKib)) {
        faults->flashKib = static_cast<uint32_t>(number);
    } else if (name == "answer-delay" && ParseNumber(value, &number) && number <= 60000) {
        faults->answerDelayMs = static_cast<uint32_t>(number);
    } else if (name == "refuse" && ParseNumber(value, &number) && number <= 0xFF) {
        faults->refuseCommand = static_cast<int>(number);
    } else if ((name == "refuse-request" || name == "ignore-request") &&
               RequestMatch::Parse(value)) {
        auto& list = name == "refuse-request" ? faults->loader.refuse : faults->loader.ignore;
        list.push_back(*RequestMatch::Parse(value));
    } else if (name == "noise") {
        faults->loader.noiseBeforeReplies = true;
    } else if (name == "bad-checksum") {
        faults->loader.badChecksumFirst = true;
    } else if (name == "reply-extra" && ParseNumber(value, &number) && number <= 65534) {
        faults->loader.extraPayload = static_cast<uint16_t>(number);
    } else if (name == "flood" && (value == "zeros" || value == "random")) {
        faults->flood = value == "zeros" ? FloodBytes::kZeros : FloodBytes::kRandom;
    } else if (name == "flood-after" && ParseNumber(value, &number) && number >= 1 &&
               number <= 0xFFFFFF) {
        // Zeros unless flood=random says otherwise, before or after.
        if (faults->flood == FloodBytes::kNone) {
            faults->flood = FloodBytes::kZeros;
        }
        faults->floodAfterReplies = static_cast<uint32_t>(number);
    } else {
        return false;
    }
    return true;
}

bool ApplyFaultList(const std::string& list, DeviceFaults* faults) {
    size_t at = 0;
    while (at < list.size()) {
        const size_t start = list.find_first_not_of(" \t,", at);
        if (start == std::string::npos) {
            break;
        }
        const size_t end = std::min(list.find_first_of(" \t,", start), list.size());
        if (!ApplyFault(list.substr(start, end - start), faults)) {
            return false;
        }
        at = end;
    }
    return true;
}

std::vector<std::string> FaultNames(const DeviceFaults& faults) {
    std::vector<std::string> names;
    if (faults.uid) {
        names.push_back("uid=" + UniqueIdText(*faults.uid));
    }
    if (faults.flashKib != kDefaultFlashKib) {
        names.push_back("flash-kib=" + std::to_string(faults.flashKib));
    }
    if (faults.answerDelayMs > 0) {
        names.push_back("answer-delay=" + std::to_string(faults.answerDelayMs));
    }
    if (faults.silent) {
        names.push_back("silent");
    }
    if (faults.nackBeforeAck) {
        names.push_back("nack-before-ack");
    }
    if (faults.getCountZero) {
        names.push_back("get-count-zero");
    }
    if (faults.getShort) {
        names.push_back("get-short");
    }
    if (faults.getLong) {
        names.push_back("get-long");
    }
    if (faults.eraseDelayMs > 0) {
        names.push_back("slow-erase=" + std::to_string(faults.eraseDelayMs));
    }
    if (faults.refuseCommand >= 0) {
        names.push_back("refuse=" + std::to_string(faults.refuseCommand));
    }
    if (faults.shortVersion > 0) {
        names.push_back("short-version=" + std::to_string(faults.shortVersion));
    }
    if (faults.refuseWriteAt) {
        names.push_back(AddressName("refuse-write", *faults.refuseWriteAt));
    }
    if (faults.readProtected) {
        names.push_back("read-protected");
    }
    if (faults.flipByteAt) {
        names.push_back(AddressName("flip-byte", *faults.flipByteAt));
    }
    for (const RequestMatch& match : faults.loader.refuse) {
        names.push_back("refuse-request=" + RequestName(match));
    }
    for (const RequestMatch& match : faults.loader.ignore) {
        names.push_back("ignore-request=" + RequestName(match));
    }
    if (faults.loader.noiseBeforeReplies) {
        names.push_back("noise");
    }
    if (faults.loader.badChecksumFirst) {
        names.push_back("bad-checksum");
    }
    if (faults.loader.extraPayload > 0) {
        names.push_back("reply-extra=" + std::to_string(faults.loader.extraPayload));
    }
    // A later flood is of zeros unless it is named random.
    if (faults.flood == FloodBytes::kRandom ||
        (faults.flood == FloodBytes::kZeros && faults.floodAfterReplies == 0)) {
        names.push_back(faults.flood == FloodBytes::kRandom ? "flood=random" : "flood=zeros");
    }
    if (faults.flood != FloodBytes::kNone && faults.floodAfterReplies > 0) {
        names.push_back("flood-after=" + std::to_string(faults.floodAfterReplies));
    }
    return names;
}

std::string FaultOptions(const DeviceFaults& faults) {
    std::string options;
    for (const std::string& name : FaultNames(faults)) {
        options += (options.empty() ? "--fault " : " --fault ") + name;
    }
    return options;
}

}  // namespace korvane::devsim
