#include "devsim/device_report.h"

#include <cstdio>
#include <sstream>

namespace korvane::devsim {

namespace {

// One past the last byte that is not erased (0xFF); 0 for an erased memory.
size_t ProgrammedEnd(const std::vector<uint8_t>& memory) {
    size_t end = memory.size();
    while (end > 0 && memory[end - 1] == 0xFF) {
        --end;
    }
    return end;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return text;
}

// The text as a JSON string; bytes outside printable ASCII are escaped.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[7];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string DeviceReport(const SimulatedDevice& device) {
    return DeviceReport(TakeSnapshot(device));
}

std::string DeviceReport(const DeviceSnapshot& device) {
    const LoaderSnapshot& loader = device.Loader();
    std::ostringstream json;
    json << "{\n";
    json << "  \"device\": {\"uid\": \"" << UniqueIdText(device.Uid())
         << "\", \"flash_kib\": " << device.FlashKib() << "},\n";
    json << "  \"flash\": {\"programmedEnd\": " << ProgrammedEnd(device.Flash())
         << ", \"erases\": " << device.EraseCount()
         << ", \"started\": " << (device.Started() ? "true" : "false")
         << ", \"loaderRunning\": " << (device.LoaderRunning() ? "true" : "false") << "},\n";
    json << "  \"firmware\": {\"programmedEnd\": " << ProgrammedEnd(loader.Firmware()) << "},\n";
    json << "  \"dataBlocks\": [";
    const char* separator = "";
    for (const auto& block : loader.DataBlocks()) {
        json << separator << block.first;
        separator = ", ";
    }
    json << "],\n";
    json << "  \"serialRecord\": ";
    if (loader.SerialRecord().empty()) {
        json << "null,\n";
    } else {
        json << "{\"raw\": \"" << Hex(loader.SerialRecord())
             << "\", \"text\": " << JsonString(UnscrambleSerialRecord(loader.SerialRecord()))
             << "},\n";
    }
    json << "  \"closingRequests\": " << loader.ClosingRequests() << ",\n";
    json << "  \"requests\": [";
    separator = "\n";
    for (const SeenRequest& r : loader.Requests()) {
        json << separator << "    {\"command\": " << int{r.command}
             << ", \"subCommand\": " << int{r.subCommand} << ", \"address\": " << r.address
             << ", \"length\": " << r.dataLength << ", \"status\": "
             << (r.status == 0xFF ? std::string("null") : std::to_string(r.status)) << "}";
        separator = ",\n";
    }
    json << (loader.Requests().empty() ? "]\n" : "\n  ]\n");
    json << "}\n";
    return json.str();
}

}  // namespace korvane::devsim
