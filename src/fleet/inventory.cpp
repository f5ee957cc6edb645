// Reading an inventory: each line checked on its own, every fault named by
// its line.
#include "fleet/inventory.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "common/command_words.h"
#include "link/serial_port.h"
#include "platform/line_device.h"

namespace fleet {

namespace {

// The longest name: NAME.DAT must stay within a file name's 255 bytes.
constexpr std::size_t kMaxNameLength = 200;

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::string field;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            if (!field.empty()) out.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty()) out.push_back(field);
    return out;
}

// The kind of a port, or an error text: the unattended upload's own test of
// its port argument, so that a port the upload would refuse never passes.
std::string classifyPort(const std::string& port, PortKind& kind) {
    if (platform::validPortName(port)) {
        kind = platform::comPortIndex(port) >= 0                        ? PortKind::Com
               : platform::lineKind(port) != platform::LineKind::Serial ? PortKind::Network
                                                                        : PortKind::Device;
        return {};
    }
    const std::size_t scheme = port.find("://");
    const std::string name = lowerCase(port.substr(0, scheme == std::string::npos ? 0 : scheme));
    if (name == "rfc2217" || name == "tcp") {
        return "port \"" + port + "\" needs a host and a port number 1..65535: " + name + "://HOST:PORT";
    }
    return "unknown port form \"" + port + "\" (COM1..COM4, a device path, rfc2217://HOST:PORT or tcp://HOST:PORT)";
}

bool isProtocol(const std::string& field) {
    const std::string name = lowerCase(field);
    return name == "auto" || name == "modbus" || name == "tvx";
}

// One line's entry, or the error text.
std::string parseLine(const std::vector<std::string>& f, InventoryEntry& e) {
    if (f.size() < 4) return "too few fields (name port unit baud [protocol] [characterFormat])";
    if (f.size() > 6) return "too many fields (name port unit baud [protocol] [characterFormat])";
    e.name = f[0];
    if (!validControllerName(e.name)) {
        if (e.name[0] == '.') return "name \"" + e.name + "\" may not begin with '.'";
        if (e.name.size() > kMaxNameLength)
            return "name \"" + e.name.substr(0, 20) + "...\" is longer than 200 characters";
        return "name \"" + e.name + "\" may hold only letters, digits, '.', '-' and '_'";
    }
    e.port = f[1];
    const std::string portProblem = classifyPort(e.port, e.portKind);
    if (!portProblem.empty()) return portProblem;
    const std::optional<long> unit = wholeNumber(f[2]);
    if (!unit || *unit < 0 || *unit > 255) return "unit \"" + f[2] + "\" out of range 0..255";
    e.unit = static_cast<int>(*unit);
    const std::optional<int> baud = lineSpeed(f[3]);
    if (!baud) return "baud rate \"" + f[3] + "\" is not one of " + kLineSpeeds;
    e.baud = *baud;
    std::size_t next = 4;
    if (next < f.size() && isProtocol(f[next])) e.protocol = lowerCase(f[next++]);
    if (next < f.size()) {
        if (!characterFormatFromName(upperCase(f[next]))) {
            return next == 4 ? "\"" + f[next] + "\" is neither a protocol (auto, modbus, tvx) nor a character format"
                             : "character format \"" + f[next] + "\" unknown (7N1 .. 8O2)";
        }
        e.characterFormat = upperCase(f[next++]);
    }
    if (next < f.size()) return "too many fields after the character format";
    return {};
}

}  // namespace

bool validControllerName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::vector<InventoryEntry> parseInventory(const std::string& text, std::vector<InventoryError>& errors) {
    std::vector<InventoryEntry> entries;
    // Names are compared without case: NAME.DAT and name.dat are one file
    // where the history is checked out on Windows.
    std::map<std::string, int> lineOfName;
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        // Blanks apart, a control character is never a part of a field.
        const auto control = std::find_if(line.begin(), line.end(), [](char c) {
            const unsigned char u = static_cast<unsigned char>(c);
            return (u < 0x20 && c != '\t' && c != '\r' && c != '\v' && c != '\f') || u == 0x7f;
        });
        if (control != line.end()) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02x", static_cast<unsigned char>(*control));
            errors.push_back({number, std::string("a control character (") + code + ") in the line"});
            continue;
        }
        if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        const std::vector<std::string> f = fields(line);
        if (f.empty()) continue;
        InventoryEntry entry;
        entry.line = number;
        std::string problem = parseLine(f, entry);
        if (problem.empty()) {
            const auto [at, inserted] = lineOfName.emplace(lowerCase(entry.name), number);
            if (!inserted)
                problem = "name \"" + entry.name + "\" is used on line " + std::to_string(at->second) + " already";
        }
        if (problem.empty() && entries.size() == kMaxInventoryEntries) {
            errors.push_back({number, "more than " + std::to_string(kMaxInventoryEntries) +
                                          " controllers; an inventory lists at most that many"});
            break;
        }
        if (!problem.empty()) {
            errors.push_back({number, problem});
            continue;
        }
        entries.push_back(entry);
    }
    if (entries.empty() && errors.empty()) errors.push_back({0, "no controller listed"});
    return entries;
}

}  // namespace fleet
