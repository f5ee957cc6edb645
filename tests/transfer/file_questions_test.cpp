// linkora check, diff and c with the real program: golden outputs for the
// offline questions, the simulator for the controller comparison and for
// the unattended download's status 7.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::runLinkora;
using transfer_test::SimProcess;

namespace {

const std::string kCheckData = LINKORA_TEST_DATA "/check";

struct OfflineCase {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string golden;    // a file under tests/data/check, or
    std::string expected;  // the whole output
};

class OfflineQuestion : public ::testing::TestWithParam<OfflineCase> {};

TEST_P(OfflineQuestion, PrintsTheGoldenOutputAndStatus) {
    const OfflineCase& c = GetParam();
    std::string output;
    EXPECT_EQ(runLinkora(c.args, output, kCheckData), c.status) << output;
    EXPECT_EQ(output, c.golden.empty() ? c.expected : readFile(kCheckData + "/" + c.golden));
}

INSTANTIATE_TEST_SUITE_P(
    Golden, OfflineQuestion,
    ::testing::Values(
        OfflineCase{"CheckEdited", {"check", "edited.dat"}, 1, "edited.check.txt", ""},
        OfflineCase{"CheckClean", {"check", "backup.dat"}, 0, "", "backup.dat: no findings\n"},
        OfflineCase{"DiffBackupLater", {"diff", "backup.dat", "later.dat"}, 1, "backup-later.diff.txt", ""},
        OfflineCase{"DiffLaterBackup", {"diff", "later.dat", "backup.dat"}, 1, "later-backup.diff.txt", ""},
        OfflineCase{"DiffSame", {"diff", "edited.dat", "edited.dat"}, 0, "", ""},
        OfflineCase{"DiffMissingFile", {"diff", "backup.dat", "none.dat"}, 2, "", "none.dat: cannot open the file\n"},
        OfflineCase{"CheckMissingFile", {"check", "none.dat"}, 2, "", "none.dat: cannot open the file\n"},
        OfflineCase{"CheckFolder", {"check", "."}, 2, "", ".: cannot read the file: it is a folder\n"}),
    [](const ::testing::TestParamInfo<OfflineCase>& info) { return info.param.name; });

TEST(OfflineQuestion, FileWithoutModelLineIsAFinding) {
    TempDir dir;
    writeFile(dir.file("nomodel.dat"), "4: 16\r\n6: 1\r\n");
    std::string output;
    EXPECT_EQ(runLinkora({"check", "nomodel.dat"}, output, dir.path), 1);
    EXPECT_EQ(output.rfind("nomodel.dat:1: error: no model line", 0), 0u) << output;
}

TEST(OfflineQuestion, WrongLinesGiveTheUsageAndStatus2) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"check"}, {"diff", "a.dat"}, {"c", "1", "COM1", "9600"}, {"c", "1", "COM1", "9600", "f", "Y"}}) {
        std::string output;
        EXPECT_EQ(runLinkora(args, output, kCheckData), 2) << args[0];
        EXPECT_NE(output.find("linkora check <Filename>"), std::string::npos) << output;
    }
}

// The controller (the simulator's built-in one, from which backup.dat was
// uploaded) against a file.
struct ControllerCase {
    std::string name;
    std::string file;
    std::vector<std::string> simOptions;
    int status;
    std::vector<std::string> lines;  // in the output, in this order
};

class CompareController : public ::testing::TestWithParam<ControllerCase> {};

TEST_P(CompareController, ReportsWhatADownloadWouldChange) {
    const ControllerCase& c = GetParam();
    TempDir dir;
    SimProcess sim(dir, c.simOptions);
    writeFile(dir.file(c.file),
              c.file == "partial.dat" ? "2: 4344\r\n6: 4\r\n45: 2\r\n" : readFile(kCheckData + "/" + c.file));
    std::string output;
    EXPECT_EQ(runLinkora({"c", "1", sim.devicePath, "9600", c.file}, output, dir.path, {"LINKORA_PROTOCOL=modbus"}),
              c.status)
        << output;
    std::size_t at = 0;
    for (const std::string& line : c.lines) {
        at = output.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << output;
    }
    sim.stop();
    // The controller's configuration is what an untouched one holds.
    SimProcess untouched(dir, c.simOptions, "untouched");
    untouched.stop();
    EXPECT_EQ(transfer_test::valueLines(sim.state()), transfer_test::valueLines(untouched.state()));
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, CompareController,
    ::testing::Values(
        ControllerCase{"SameFile", "backup.dat", {}, 0, {"The controller holds what the file holds.\n"}},
        ControllerCase{"EditedFile",
                       "later.dat",
                       {},
                       1,
                       {"--- controller\n+++ later.dat\n", "-6: 3                     controller\n",
                        "+6: 4                     later.dat:25\n", "-8: 11,25                 controller\n",
                        "+49: 3,3,1,2              later.dat:101\n"}},
        // A full file without offsets and setpoints: the offsets of its two
        // groups go out as 0 after the reset, the setpoints are cleared, the
        // third group and the other blocks are left alone.
        ControllerCase{"PartialFile",
                       "partial.dat",
                       {},
                       1,
                       {"-6: 3", "+6: 4                     partial.dat:2\n", "-9: 1,10                  controller\n",
                        "+9: 1,0\n", "-9: 2,120", "+9: 2,0\n", "-45: 3", "+45: 2                    partial.dat:3\n",
                        "-49: 1,1,10,90", "-49: 6,16,270,300",
                        "Blocks not in the file (a download leaves them alone): 7, 8, 10, 11, 14, 15, 16, 17, 20, 21, "
                        "22, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 46\n"}},
        ControllerCase{"OtherMapVersion", "backup.dat", {"--map-version", "101"}, 2, {"map version 101"}},
        ControllerCase{
            "SilentController", "backup.dat", {"--silent-after", "0"}, 2, {"Could not establish communications"}}),
    [](const ::testing::TestParamInfo<ControllerCase>& info) { return info.param.name; });

TEST(UnattendedDownload, FileWithIgnoredLinesEndsWithStatus7) {
    TempDir dir;
    SimProcess sim(dir, {});
    writeFile(dir.file("extra.dat"), readFile(kCheckData + "/backup.dat") + "60: 1\r\n");
    std::string output;
    EXPECT_EQ(
        runLinkora({"d", "1", sim.devicePath, "9600", "extra.dat"}, output, dir.path, {"LINKORA_PROTOCOL=modbus"}), 7)
        << output;
    EXPECT_NE(output.find("1 line of extra.dat is ignored or changed; see linkora check extra.dat\n"),
              std::string::npos)
        << output;
}

// A file that is no data file, or holds more setpoints than a download can
// carry: check calls it an error, and a download refuses it with status 5,
// the file named, before it writes anything to the controller.
TEST(UnattendedDownload, RefusesFilesThatAreNoDataFiles) {
    struct Case {
        std::string name;
        std::string text;
        std::string error;  // check's error and the download's reason
    };
    std::mt19937 random(29);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(random() & 0xFF);
    std::string digits = "2: 4344\r\n";
    for (int i = 0; i < 20000; ++i) digits += std::to_string(random() % 100000000) + (i % 7 == 0 ? "" : "\r\n");
    std::string many = "2: 4344\r\n4: 16\r\n";
    for (int i = 0; i <= 65535; ++i) many += "49: 1,1," + std::to_string(i % 360) + ",359\r\n";
    const std::string backup = readFile(kCheckData + "/backup.dat");
    const std::vector<Case> cases = {
        // Refused as no data file, or for want of a model line.
        {"random.dat", noise, ""},
        {"digits.dat", digits, "no value line beyond the model, firmware revision, output quantity and options"},
        {"nul.dat", backup + "; a comment" + '\0' + "\r\n", "the file holds a NUL byte; it is no data file"},
        {"errors.dat", "2: 4344\r\n6: 1\r\n8: 1,x\r\n99: 1\r\n",
         "2 of its value lines are errors, at least as many as the 2 taken; it is no data file"},
        {"many.dat", many, "more than 65535 setpoints, more than a download can carry"},
    };
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "modbus"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir.file(c.name), c.text);
        std::string output;
        EXPECT_EQ(runLinkora({"check", c.name}, output, dir.path), 1) << output;
        EXPECT_NE(output.find(": error: " + c.error), std::string::npos) << output;
        EXPECT_NE(output.find("; a download refuses the file\n"), std::string::npos) << output;
        EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", c.name}, output, dir.path), 5) << output;
        EXPECT_NE(output.find("linkora: " + c.name), std::string::npos) << output;
        if (c.error.empty()) continue;
        EXPECT_NE(output.find(c.error), std::string::npos) << output;
        EXPECT_NE(output.find("Download refused; nothing was written to the controller.\n"), std::string::npos)
            << output;
    }
    sim.stop();
    // Nothing was written: no coil, register or setpoint, and the state as it was.
    EXPECT_FALSE(std::regex_search(sim.log(), std::regex(" RX [0-9]+ :01(05|06|0F|10)"))) << sim.log();
    SimProcess untouched(dir, {}, "untouched");
    untouched.stop();
    EXPECT_EQ(transfer_test::valueLines(sim.state()), transfer_test::valueLines(untouched.state()));
}

// The value line rule: what check says of a line, a download does. A line
// check calls an error sends nothing (the controller keeps the backup's
// configuration, every other setpoint included, and is restarted: status 7);
// a warning's line is sent as written.
struct RuleCase {
    std::string name;
    std::string line;     // appended to backup.dat; empty: the writer's own file alone
    std::string finding;  // "error: ..." or "warning: ..." for that line; empty: none
    std::string held;     // for a warning, a line the controller then holds
};

class ValueLineRuleAgrees : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ValueLineRuleAgrees, CheckAndDownloadAgree) {
    const RuleCase& c = GetParam();
    TempDir dir;
    const std::string backup = readFile(kCheckData + "/backup.dat");
    writeFile(dir.file("T.DAT"), backup + c.line + (c.line.empty() ? "" : "\r\n"));
    const int lineNumber = 1 + static_cast<int>(std::count(backup.begin(), backup.end(), '\n'));

    std::string output;
    EXPECT_EQ(runLinkora({"check", "T.DAT"}, output, dir.path), c.finding.empty() ? 0 : 1) << output;
    if (!c.finding.empty()) {
        EXPECT_NE(output.find("T.DAT:" + std::to_string(lineNumber) + ": " + c.finding + "\n"), std::string::npos)
            << output;
    }

    SimProcess sim(dir, {});
    EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", "T.DAT"}, output, dir.path, {"LINKORA_PROTOCOL=modbus"}),
              c.finding.empty() ? 0 : 7)
        << output;
    EXPECT_NE(output.find("Waiting for controller to reset..."), std::string::npos) << output;
    if (!c.finding.empty()) {
        EXPECT_NE(output.find("1 line of T.DAT is ignored or changed; see linkora check T.DAT\n"), std::string::npos)
            << output;
    }
    sim.stop();
    const auto held = transfer_test::valueLines(sim.state());
    if (c.held.empty()) {
        SimProcess untouched(dir, {}, "untouched");
        untouched.stop();
        EXPECT_EQ(held, transfer_test::valueLines(untouched.state()));
    } else {
        const int block = std::stoi(c.held);
        const auto& lines = held.at(block);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.held), lines.end()) << c.held;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ValueLineRuleAgrees,
    ::testing::Values(
        RuleCase{"WritersOwnLines", "", "", ""},
        RuleCase{"ChannelOutsideOutputs", "49: 2,17,0,180",
                 "error: channel 17 is outside the model's outputs 1 to 16; the line is ignored", ""},
        RuleCase{"LetterInANumber", "49: 1,4,35O,20",
                 "error: expected 4 values after the function number, found 3; the line does not parse", ""},
        RuleCase{"MissingComma", "49: 2,1,45 135",
                 "error: expected 4 values after the function number, found 3; the line does not parse", ""},
        RuleCase{"TextAfterTheValue", "28: 2O", "error: \"O\" after the last value; the line does not parse", ""},
        RuleCase{"UnknownFunction", "60: 1", "error: unknown function number 60; the line is ignored", ""},
        RuleCase{"GroupOutside", "9: 4,10",
                 "error: group 4 is outside the model's output groups 1 to 3; the line is ignored", ""},
        RuleCase{"WiderThanAWord", "28: 70000", "warning: value 70000 is wider than a word; the controller gets 4464",
                 "28: 4464"},
        RuleCase{"OutsideTheTurn", "49: 3,5,400,20",
                 "warning: on position 400 is outside the turn 0 to 359; it is sent as written", "49: 3,5,400,20"},
        RuleCase{"LaterLineOverrides", "6: 2 ; again", "warning: overrides line 24", "6: 2"},
        RuleCase{"IndentedValueLine", "  49: 1,2,20,30",
                 "warning: looks like a value line; it is not read because it does not begin the line", ""}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

// Setpoints of one channel that repeat or overlap: check warns, but a
// download sends them as written (status 0, not 7) and an upload brings
// them back.
TEST(SetpointClashes, CheckWarnsWhileDownloadAndUploadCarryThem) {
    TempDir dir;
    const std::string backup = readFile(kCheckData + "/backup.dat");
    const int next = 1 + static_cast<int>(std::count(backup.begin(), backup.end(), '\n'));
    writeFile(dir.file("T.DAT"), backup + "49: 3,5,10,90\r\n49: 3,5,300,20\r\n49: 3,5,10,90\r\n");
    std::string output;
    EXPECT_EQ(runLinkora({"check", "T.DAT"}, output, dir.path), 1) << output;
    EXPECT_NE(output.find("T.DAT:" + std::to_string(next + 1) +
                          ": warning: setpoint 300..20 of program 3 chn 5 overlaps 10..90 of line " +
                          std::to_string(next) + "; both are sent as written\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("T.DAT:" + std::to_string(next + 2) +
                          ": warning: setpoint 10..90 of program 3 chn 5 repeats line " + std::to_string(next) +
                          "; it is sent as written\n"),
              std::string::npos)
        << output;

    SimProcess sim(dir, {});
    EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", "T.DAT"}, output, dir.path, {"LINKORA_PROTOCOL=modbus"}), 0)
        << output;
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "BACK.DAT"}, output, dir.path, {"LINKORA_PROTOCOL=modbus"}),
              0)
        << output;
    sim.stop();
    const auto lines = transfer_test::valueLines(readFile(dir.file("BACK.DAT"))).at(49);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "49: 3,5,10,90"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "49: 3,5,300,20"), 1);
}

}  // namespace

#endif
