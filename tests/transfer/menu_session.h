#pragma once
// The end-to-end tests' way into linkora's menus: linkora on a pseudo-terminal
// with COM1 leading to the simulator, keys sent and the screen collected.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

namespace transfer_test {

using testing_support::PtyProcess;
using testing_support::TempDir;

// The menus on a pseudo-terminal, with COM1 leading to the simulator.
class Menus {
public:
    Menus(const TempDir& dir, const SimProcess& sim)
        : process_({LINKORA_BIN}, dir.path, {"LINKORA_COM1=" + sim.devicePath}) {
        screen += process_.readUntil("Choose Option: ");
    }
    // Communication Menu: protocol '2' MODBUS or '3' TVX Standard.
    void chooseProtocol(char key) {
        send("1", "Choose Option: ");
        send("4", "Choose Option: ");
        send(std::string(1, key), "Choose Option: ");
        send("5", "Choose Option: ");
    }
    void send(const std::string& keys, const std::string& until, int timeoutMs = 30000) {
        process_.send(keys);
        screen += process_.readUntil(until, timeoutMs);
    }
    int exit() {
        process_.send("\x1b");
        return process_.wait(5000);
    }
    std::string screen;

private:
    PtyProcess process_;
};

inline std::string uploadWithMenus(const TempDir& dir, const SimProcess& sim, char protocolKey,
                                   const std::string& name) {
    Menus menus(dir, sim);
    menus.chooseProtocol(protocolKey);
    menus.send("2", "File Name = ");
    menus.send(name + "\r", "Hit any key to continue...");
    menus.send(" ", "Choose Option: ");
    EXPECT_EQ(menus.exit(), 0);
    return menus.screen;
}

// The 4444 sample with `count` setpoint lines in place of its own.
inline std::string setpointFile(int count) {
    std::string text = testing_support::readFile(std::string(LINKORA_TEST_DATA) + "/transfer/model4444.dat");
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start + 1);
        if (line.rfind("49:", 0) != 0) kept += line;
        start = end + 1;
    }
    for (int i = 0; i < count; ++i) {
        kept += "49: " + std::to_string(i % 48 + 1) + "," + std::to_string(i % 16 + 1) + "," + std::to_string(i) + "," +
                std::to_string(i + 1) + "\n";
    }
    return kept;
}

}  // namespace transfer_test

#endif
