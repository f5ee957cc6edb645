// The unit address entry of the Communication Menu.
#include <gtest/gtest.h>

#include <string>

#include "common/settings.h"
#include "scripted_console.h"
#include "shell/menus.h"

namespace {

const char kInvalid[] = "Invalid unit address specified, press any key...\n";

struct Entry {
    std::string keys;
    bool accepted;
    int address;  // unitAddress afterwards (it starts at 1)
};

}  // namespace

TEST(UnitAddress, AcceptsOneTo254InEveryNotation) {
    const Entry entries[] = {
        {"254\r", true, 254}, {"0xFE\r", true, 254},    {"0XfE\r", true, 254}, {"010\r", true, 8},
        {"1\r", true, 1},     {"17 units\r", true, 17}, {" 9\r", true, 9},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.keys);
        commSettings = CommunicationSettings{};
        ScriptedConsole con;
        con.type(e.keys);
        EXPECT_EQ(enterUnitAddress(), e.accepted);
        EXPECT_EQ(commSettings.unitAddress, e.address);
        EXPECT_EQ(con.output, "\nUnit Address= " + e.keys.substr(0, e.keys.size() - 1) + "\n");
    }
}

TEST(UnitAddress, RejectsOutOfRangeAndNonNumbersWithTheMessage) {
    const std::string entries[] = {"255\r", "0\r", "-1\r", "0x100\r", "abc\r", "x12\r", "99999999999999999999\r"};
    for (const std::string& keys : entries) {
        SCOPED_TRACE(keys);
        commSettings = CommunicationSettings{};
        commSettings.unitAddress = 42;
        ScriptedConsole con;
        con.type(keys + "k" + "5");
        EXPECT_FALSE(enterUnitAddress());
        EXPECT_EQ(commSettings.unitAddress, 42);
        EXPECT_EQ(con.output, "\nUnit Address= " + keys.substr(0, keys.size() - 1) + "\n" + kInvalid);
        ASSERT_EQ(con.keys.size(), 1u) << "exactly one key is taken after the message";
    }
}

TEST(UnitAddress, EmptyEntryAndEscapeChangeNothing) {
    commSettings = CommunicationSettings{};
    commSettings.unitAddress = 42;
    {
        ScriptedConsole con;
        con.type("\r");
        EXPECT_FALSE(enterUnitAddress());
        EXPECT_EQ(con.output, "\nUnit Address= \n");
    }
    {
        ScriptedConsole con;
        con.type("12");
        con.press(27);
        EXPECT_FALSE(enterUnitAddress());
        EXPECT_EQ(con.output, "\nUnit Address= 12");
    }
    {
        ScriptedConsole con;  // typed, then all erased
        con.type("7\b\b\r");
        EXPECT_FALSE(enterUnitAddress());
        EXPECT_EQ(con.output, "\nUnit Address= 7\b \b\n");
    }
    EXPECT_EQ(commSettings.unitAddress, 42);
}

TEST(UnitAddress, BackspaceEditsAndSpecialKeysAreIgnored) {
    commSettings = CommunicationSettings{};
    ScriptedConsole con;
    con.type("29\b");
    con.press(platform::kKeySpecial);
    con.type("4\r");
    EXPECT_TRUE(enterUnitAddress());
    EXPECT_EQ(commSettings.unitAddress, 24);
    EXPECT_EQ(con.output, "\nUnit Address= 29\b \b4\n");
}

TEST(UnitAddress, EntryHoldsAtMost127Characters) {
    commSettings = CommunicationSettings{};
    ScriptedConsole con;
    // 125 zeros and "123": the '3' is the 128th character and is dropped;
    // what is held reads as octal 012.
    con.type(std::string(125, '0') + "123\r");
    EXPECT_TRUE(enterUnitAddress());
    EXPECT_EQ(commSettings.unitAddress, 012);  // the '3' did not fit
    EXPECT_EQ(con.output, "\nUnit Address= " + std::string(125, '0') + "12\n");
}
