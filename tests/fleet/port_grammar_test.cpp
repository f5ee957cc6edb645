// The ports and speeds an inventory takes are exactly those the unattended
// command line takes: one table read through both.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet/inventory.h"
#include "transfer/command_line.h"

namespace {

struct PortRow {
    const char* port;
    const char* baud;
    bool taken;
};

const PortRow kPorts[] = {
    {"COM1", "9600", true},
    {"com4", "115200", true},
    {"COM5", "9600", false},
    {"COM0", "9600", false},
    {"COM10", "9600", false},
    {"/dev/ttyUSB0", "38400", true},
    {"ttyS0", "9600", false},
    {"rfc2217://plant-gw:4001", "19200", true},
    {"TCP://[::1]:65535", "9600", true},
    {"tcp://10.0.4.21:4001", "300", true},
    {"tcp://host", "9600", false},
    {"tcp://host:0", "9600", false},
    {"tcp://host:65536", "9600", false},
    {"tcp://a:b:4000", "9600", false},
    {"rfc2217://[::1", "9600", false},
    {"udp://10.0.0.5:4001", "9600", false},
    {"COM1", "9601", false},
    {"COM1", "0x2580", true},  // 9600 as the command line reads numbers
    {"COM1", "230400", false},
    {"COM1", "fast", false},
};

TEST(PortGrammar, InventoryAndCommandLineTakeTheSamePortsAndSpeeds) {
    for (const PortRow& row : kPorts) {
        TransferLine line;
        const std::string refused = parseTransferLine({"u", "1", row.port, row.baud, "f.DAT"}, line);
        EXPECT_EQ(row.taken, refused.empty()) << row.port << " " << row.baud << ": " << refused;

        std::vector<fleet::InventoryError> errors;
        const std::vector<fleet::InventoryEntry> entries =
            fleet::parseInventory(std::string("press ") + row.port + " 1 " + row.baud + "\n", errors);
        EXPECT_EQ(row.taken, errors.empty())
            << row.port << " " << row.baud << ": " << (errors.empty() ? "" : errors.front().what);
        if (row.taken && !entries.empty()) {
            EXPECT_EQ(row.port, entries.front().port);
            EXPECT_EQ(line.baudRate, entries.front().baud) << row.port;
        }
    }
}

}  // namespace
