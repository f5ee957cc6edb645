#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The inventory of a plant's controllers, one a line:
//   name port unit baud [protocol] [characterFormat]
// fields separated by blanks, `#` starting a comment.

namespace fleet {

enum class PortKind { Com, Device, Network };

struct InventoryEntry {
    std::string name;  // the backup is NAME.DAT
    std::string port;  // as written, handed to the upload unchanged
    PortKind portKind = PortKind::Com;
    int unit = 1;
    int baud = 9600;
    std::string protocol = "auto";  // auto, modbus or tvx
    std::string characterFormat;    // empty: the protocol's default
    int line = 0;
};

struct InventoryError {
    int line;  // 0: the file as a whole
    std::string what;
};

// The bounds of an inventory.
inline constexpr std::size_t kMaxInventoryBytes = 1024 * 1024;
inline constexpr std::size_t kMaxInventoryEntries = 10000;

// Parses the text of an inventory; every wrong line gives one error. A line
// with a control character (a NUL, say) is wrong as a whole; past
// kMaxInventoryEntries controllers the rest is not read.
std::vector<InventoryEntry> parseInventory(const std::string& text, std::vector<InventoryError>& errors);

// Whether `name` can name a backup: letters, digits, '.', '-' and '_', not
// beginning with '.', so that NAME.DAT stays in its folder.
bool validControllerName(const std::string& name);

}  // namespace fleet
