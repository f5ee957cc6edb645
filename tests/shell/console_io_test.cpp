// The console helpers and the line editor, driven by scripted keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/console_io.h"
#include "scripted_console.h"

TEST(ReadLine, StoresPrintableKeysAndEndsOnEnter) {
    ScriptedConsole con;
    con.type("AB.dat\r");
    char buffer[64] = "old";
    EXPECT_EQ(readLine(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "AB.dat");
    EXPECT_EQ(con.output, "AB.dat\n\r");
}

TEST(ReadLine, EscapeReturnsMinusOneAndKeepsTheText) {
    ScriptedConsole con;
    con.type("PART");
    con.press(27);
    char buffer[64] = "TEST.DAT";
    EXPECT_EQ(readLine(buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "PART");
    EXPECT_EQ(con.output, "PART\n\r");
}

TEST(ReadLine, AcceptsAtMostSizeMinusOneCharacters) {
    ScriptedConsole con;
    con.type(std::string(70, 'x') + "\r");
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(readLine(buffer, sizeof buffer), 0);
    EXPECT_EQ(std::strlen(buffer), 63u);
    EXPECT_EQ(con.output, std::string(63, 'x') + "\n\r") << "ignored keys are not echoed";
}

TEST(ReadLine, BackspaceErasesOnlyWhatWasTyped) {
    ScriptedConsole con;
    con.press(8);  // nothing to erase: nothing printed
    con.type("ab");
    con.press(8);
    con.type("c\r");
    char buffer[64];
    EXPECT_EQ(readLine(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "ac");
    EXPECT_EQ(con.output, "ab\b \bc\n\r");
}

TEST(ReadLine, IgnoresControlCodesHighCodesAndSpecialKeys) {
    ScriptedConsole con;
    con.press('a');
    for (int key : {1, 9, 10, 31, 128, 200, 255, platform::kKeySpecial}) con.press(key);
    con.press(127);  // stored, as the original editor does
    con.press(13);
    char buffer[64];
    EXPECT_EQ(readLine(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "a\x7f");
}

TEST(ReadLine, TinyBuffers) {
    ScriptedConsole con;
    con.type("xyz\r");
    char one[1] = {'q'};
    EXPECT_EQ(readLine(one, 1), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(con.output, "\n\r");
}

TEST(ConsoleHelpers, ShowMessageAndWaitReadsOneKey) {
    ScriptedConsole con;
    con.type("kz");
    showMessageAndWait("No response from controller");
    EXPECT_EQ(con.output, "No response from controller\nHit any key to continue...\n");
    EXPECT_EQ(con.keys.size(), 1u);
}

TEST(ConsoleHelpers, EchoesCharactersButNotSpecialKeys) {
    ScriptedConsole con;
    con.press('y');
    con.press(platform::kKeySpecial);
    EXPECT_EQ(getKeyEcho(), 'y');
    EXPECT_EQ(getKeyEcho(), platform::kKeySpecial);
    EXPECT_EQ(con.output, "y");
    EXPECT_FALSE(keyWaiting());
    con.press('n');
    EXPECT_TRUE(keyWaiting());
    EXPECT_EQ(getKey(), 'n');
    EXPECT_EQ(con.output, "y");
}

TEST(ConsoleHelpers, FormatsTextOfAnyLength) {
    ScriptedConsole con;
    const std::string longText(3000, 'L');
    conPrintf("Function = %i\r", 17);
    conPrintf("%s|", longText.c_str());
    conPutc(0);
    clearScreen();
    EXPECT_EQ(con.output, "Function = 17\r" + longText + "|" + std::string(1, '\0') + "<CLS>");
}
