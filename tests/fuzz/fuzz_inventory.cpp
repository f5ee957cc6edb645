// The inventory of linkora backup: whatever a line holds, an entry that comes
// out names a file inside its folder, a port without control characters and
// a unit and rate the upload takes, at most 10 000 of them, and every other
// line is reported once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "fleet/inventory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<fleet::InventoryError> errors;
    const std::vector<fleet::InventoryEntry> entries = fleet::parseInventory(text, errors);
    std::set<std::string> names;
    std::set<int> lines;
    for (const fleet::InventoryEntry& e : entries) {
        if (!fleet::validControllerName(e.name) || e.name.find('/') != std::string::npos) std::abort();
        if (!names.insert(e.name).second) std::abort();
        if (e.unit < 0 || e.unit > 255 || e.baud < 300 || e.baud > 115200 || e.port.empty()) std::abort();
        // A port is never cut short nor carries a control character.
        for (unsigned char c : e.port) {
            if (c < 0x20 || c == 0x7f) std::abort();
        }
        if (!lines.insert(e.line).second) std::abort();
    }
    for (const fleet::InventoryError& e : errors) {
        if (e.what.empty() || (e.line > 0 && !lines.insert(e.line).second)) std::abort();
    }
    if (entries.empty() && errors.empty()) std::abort();
    if (entries.size() > fleet::kMaxInventoryEntries) std::abort();
    return 0;
}
