// The settings file LINKORA.CFG: loading, the fall-backs, the saved bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "scripted_console.h"
#include "shell/menus.h"
#include "shell/settings_file.h"
#include "support/test_support.h"

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { commSettings = CommunicationSettings{}; }
    void TearDown() override { commSettings = CommunicationSettings{}; }

    void load(const std::string& content) {
        writeFile(dir.file("LINKORA.CFG"), content);
        loadSettingsFile(dir.file("LINKORA.CFG").c_str());
    }
    void expectSettings(int comPort, int baudRate, int unitAddress) {
        EXPECT_EQ(commSettings.comPort, comPort);
        EXPECT_EQ(commSettings.baudRate, baudRate);
        EXPECT_EQ(commSettings.unitAddress, unitAddress);
    }

    TempDir dir;
};

}  // namespace

TEST_F(SettingsFile, MissingOrEmptyFileKeepsInitialValues) {
    loadSettingsFile(dir.file("LINKORA.CFG").c_str());
    expectSettings(0, 9600, 1);
    EXPECT_EQ(commSettings.protocol, kAutoDetect);
    load("");
    expectSettings(0, 9600, 1);
}

TEST_F(SettingsFile, ReadsThreeNumbersWithOrWithoutLineEnd) {
    load("2 38400 7\n");
    expectSettings(2, 38400, 7);
    commSettings = CommunicationSettings{};
    load("2 38400 7");
    expectSettings(2, 38400, 7);
    commSettings = CommunicationSettings{};
    load("3 4800 200\r\n");
    expectSettings(3, 4800, 200);
    commSettings = CommunicationSettings{};
    load("1 19200 5\n0 4800 9\n");  // only the first line counts
    expectSettings(1, 19200, 5);
}

TEST_F(SettingsFile, TakesFieldsFromTheLeftUntilOneDoesNotParse) {
    load("1 19200");
    expectSettings(1, 19200, 1);
    commSettings = CommunicationSettings{};
    load("3 fast 5\n");
    expectSettings(3, 9600, 1);
    commSettings = CommunicationSettings{};
    load("garbage\n");
    expectSettings(0, 9600, 1);
    commSettings = CommunicationSettings{};
    load("\n2 38400 7\n");  // an empty first line
    expectSettings(0, 9600, 1);
}

TEST_F(SettingsFile, ReadsAtMostThirtyOneCharacters) {
    // The third number starts after the 31st character and is not read.
    load("1 19200" + std::string(24, ' ') + "5\n");
    expectSettings(1, 19200, 1);
}

TEST_F(SettingsFile, OutOfRangePortOrBaudRateFallsBackPerField) {
    load("7 12345 9\n");
    expectSettings(0, 9600, 9);
    commSettings = CommunicationSettings{};
    load("-1 38400 3\n");
    expectSettings(0, 38400, 3);
    commSettings = CommunicationSettings{};
    load("4 0 3\n");
    expectSettings(0, 9600, 3);
    // The names never read past their tables.
    EXPECT_STREQ(comPortName(4), "?");
    EXPECT_STREQ(comPortName(-1), "?");
    EXPECT_STREQ(comPortName(3), "COM4");
    EXPECT_STREQ(protocolName(2), "TVX Standard");
    EXPECT_STREQ(protocolName(3), "?");
}

// A rate the line can be set to, though not one of the menu's four, is kept,
// shown by the Communication Menu and saved again as it was.
TEST_F(SettingsFile, KeepsEveryRateTheLineCanBeSetTo) {
    for (int rate : {57600, 115200}) {
        SCOPED_TRACE(rate);
        commSettings = CommunicationSettings{};
        load("1 " + std::to_string(rate) + " 5\n");
        expectSettings(1, rate, 5);
        ScriptedConsole con;
        con.press('5');
        EXPECT_EQ(communicationMenu(), -1);
        EXPECT_NE(con.output.find("   2. Baud Rate       : " + std::to_string(rate) + "\n"), std::string::npos)
            << con.output;
        ASSERT_TRUE(saveSettingsFile(dir.file("LINKORA.CFG").c_str()));
        EXPECT_EQ(readFile(dir.file("LINKORA.CFG")), "1 " + std::to_string(rate) + " 5\n");
    }
}

TEST_F(SettingsFile, SavesExactlyThreeNumbersAndLineFeed) {
    commSettings.comPort = 1;
    commSettings.baudRate = 19200;
    commSettings.unitAddress = 5;
    commSettings.protocol = kTvxStandard;  // never saved
    commSettings.characterFormat = 6;      // never saved
    writeFile(dir.file("LINKORA.CFG"), "0 4800 254 and a much longer old content\n");
    ASSERT_TRUE(saveSettingsFile(dir.file("LINKORA.CFG").c_str()));
    EXPECT_EQ(readFile(dir.file("LINKORA.CFG")), "1 19200 5\n");

    commSettings = CommunicationSettings{};
    loadSettingsFile(dir.file("LINKORA.CFG").c_str());
    expectSettings(1, 19200, 5);
    EXPECT_EQ(commSettings.protocol, kAutoDetect);
}

TEST_F(SettingsFile, SaveReportsAFileThatCannotBeWritten) {
    ASSERT_EQ(mkdir(dir.file("LINKORA.CFG").c_str(), 0755), 0);
    EXPECT_FALSE(saveSettingsFile(dir.file("LINKORA.CFG").c_str()));
    loadSettingsFile(dir.file("LINKORA.CFG").c_str());  // a folder reads as nothing
    expectSettings(0, 9600, 1);
}

TEST_F(SettingsFile, WriteReportsALineThatDoesNotReachTheFile) {
    std::FILE* full = openSettingsFileForUpdate("/dev/full");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full here";
    EXPECT_FALSE(writeSettingsFile(full)) << "a full disk is a failure, not a saved file";
    EXPECT_FALSE(saveSettingsFile("/dev/full"));
    EXPECT_EQ(openSettingsFileForUpdate(dir.file("no-such-folder/LINKORA.CFG").c_str()), nullptr);
    EXPECT_FALSE(writeSettingsFile(nullptr));
}

TEST(SharedRecords, InitialValues) {
    EXPECT_STREQ(dataFileName, "TEST.DAT");
    EXPECT_STREQ(kSettingsFileName, "LINKORA.CFG");
    const CommunicationSettings initial;
    EXPECT_TRUE(initial.functionHandler(1, 6).done);
    EXPECT_EQ(initial.modbusStartChar, ':');
    EXPECT_EQ(initial.characterFormat, 255);
}
