// Upload and download end to end: linkora and linkora-sim as child processes
// on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "transfer/menu_session.h"
#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::PtyProcess;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::maskDate;
using transfer_test::Menus;
using transfer_test::runLinkora;
using transfer_test::setpointFile;
using transfer_test::SimProcess;
using transfer_test::uploadWithMenus;
using transfer_test::valueLines;

namespace {

const std::string kData = std::string(LINKORA_TEST_DATA) + "/transfer/";

// Compares with a golden file; LINKORA_UPDATE_GOLDEN=1 rewrites it instead.
void expectGolden(const std::string& actual, const std::string& goldenName) {
    const std::string path = kData + "golden/" + goldenName;
    if (std::getenv("LINKORA_UPDATE_GOLDEN") != nullptr) {
        std::filesystem::create_directories(kData + "golden");
        writeFile(path, maskDate(actual));
        return;
    }
    EXPECT_EQ(maskDate(actual), readFile(path)) << "golden file " << path;
}

}  // namespace

// Every model variant over TVX Standard, chosen in the menus, byte for byte
// against the golden files.
TEST(UploadEndToEnd, ModelVariantsOverTvxStandard) {
    for (const char* model : {"model3300", "model4444", "model4544", "modelKR55"}) {
        SCOPED_TRACE(model);
        TempDir dir;
        SimProcess sim(dir, {"--protocol", "tvx", "--load", kData + model + ".dat"});
        ASSERT_FALSE(sim.devicePath.empty());
        const std::string screen = uploadWithMenus(dir, sim, '3', "UP.DAT");
        EXPECT_NE(screen.find("Controller responding..."), std::string::npos) << screen;
        expectGolden(readFile(dir.file("UP.DAT")), std::string(model) + ".tvx.dat");
    }
}

TEST(UploadEndToEnd, ModelVariantsOverModbus) {
    for (const char* model : {"model3300", "model4444", "model4544", "modelKR55"}) {
        SCOPED_TRACE(model);
        TempDir dir;
        SimProcess sim(dir, {"--protocol", "modbus", "--load", kData + model + ".dat"});
        std::string output;
        EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path), 0) << output;
        EXPECT_NE(output.find("Success: MODBUS selected.\n"), std::string::npos) << output;
        expectGolden(readFile(dir.file("UP.DAT")), std::string(model) + ".modbus.dat");
    }
}

// The built-in controller answers both protocols; Auto Detect takes MODBUS.
TEST(UploadEndToEnd, AutoDetectAndTrace) {
    TempDir dir;
    SimProcess sim(dir, {});
    std::string output;
    const std::string trace = dir.file("trace.log");
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "auto.dat"}, output, dir.path, {"LINKORA_TRACE=" + trace}),
              0)
        << output;
    EXPECT_NE(output.find("Auto Detect: trying MODBUS...\n"), std::string::npos) << output;
    EXPECT_NE(output.find("Writing data to file...\n"), std::string::npos) << output;
    const auto lines = valueLines(readFile(dir.file("auto.dat")));
    EXPECT_EQ(lines.count(2), 1u);
    EXPECT_GT(lines.count(49), 0u);
    const std::string traced = readFile(trace);
    EXPECT_NE(traced.find(" TX 3A 30 31 30 33"), std::string::npos);
    EXPECT_NE(traced.find(" RX "), std::string::npos);
}

// restarted after block 51; 300 do not stop it.
TEST(UploadEndToEnd, StopsControllerAbove300Setpoints) {
    for (int count : {300, 301}) {
        SCOPED_TRACE(count);
        TempDir dir;
        writeFile(dir.file("many.dat"), setpointFile(count));
        SimProcess sim(dir, {"--protocol", "tvx", "--load", dir.file("many.dat"), "--reset-delay", "0"});
        const std::string screen = uploadWithMenus(dir, sim, '3', "UP.DAT");
        const std::string log = sim.log();
        const bool stopped = log.find("!0106") != std::string::npos;  // COM_STOP
        EXPECT_EQ(stopped, count == 301);
        EXPECT_EQ(screen.find("301 setpoints; stopping controller...") != std::string::npos, count == 301);
        EXPECT_EQ(screen.find("Restarting controller...") != std::string::npos, count == 301);
        if (count == 301) {
            // Stopped before the first block read (COM_PGM_BANK or COM_DEFAULT_PGM).
            EXPECT_LT(log.find("!0106"), log.find("!0119"));
        }
        EXPECT_EQ(valueLines(readFile(dir.file("UP.DAT")))[49].size(), static_cast<std::size_t>(count));
    }
}

// A download into a controller holding other values leaves it holding the
// file's values, block for block.
TEST(DownloadEndToEnd, RoundTripIntoOtherController) {
    TempDir dir;
    {
        SimProcess source(dir, {"--protocol", "tvx", "--load", kData + "model4444.dat"}, "source");
        uploadWithMenus(dir, source, '3', "PLANT.DAT");
    }
    std::string plant = readFile(dir.file("PLANT.DAT"));
    ASSERT_FALSE(plant.empty());

    // The target starts from the same model with other values.
    std::string other = readFile(kData + "model4444.dat");
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"9: 1,5", "9: 1,55"}, {"49: 1,1,0,90", "49: 4,4,4,4"}, {"51: 2,3,7", "51: 2,3,9"}, {"6: 1", "6: 7"}}) {
        other.replace(other.find(from), from.size(), to);
    }
    writeFile(dir.file("other.dat"), other);
    SimProcess target(dir, {"--protocol", "tvx", "--load", dir.file("other.dat"), "--reset-delay", "0"}, "target");
    Menus menus(dir, target);
    menus.chooseProtocol('3');
    menus.send("3", "File Name = ");
    menus.send("PLANT.DAT\r", "(y/<n>) ");
    menus.send("n", "(y/<n>) ");
    menus.send("n", "Hit any key to continue...", 60000);
    menus.send(" ", "Choose Option: ");
    EXPECT_EQ(menus.exit(), 0);
    EXPECT_NE(menus.screen.find("2 Setpoints found"), std::string::npos) << menus.screen;
    EXPECT_NE(menus.screen.find("Waiting for controller to reset...\r\nFinalizing offsets..."), std::string::npos)
        << menus.screen;
    EXPECT_EQ(menus.screen.find("Clearing pulses"), std::string::npos);

    const auto sent = valueLines(plant);
    const auto held = valueLines(target.state());
    for (const auto& [block, lines] : sent) {
        ASSERT_TRUE(held.count(block)) << "block " << block;
        EXPECT_EQ(held.at(block), lines) << "block " << block;
    }
}

// A download through the menus (no factory settings, offsets sent); the screen.
std::string downloadWithMenus(const TempDir& dir, const SimProcess& sim, char protocolKey, const std::string& name) {
    Menus menus(dir, sim);
    menus.chooseProtocol(protocolKey);
    menus.send("3", "File Name = ");
    menus.send(name + "\r", "(y/<n>) ");
    menus.send("n", "(y/<n>) ");
    menus.send("n", "Hit any key to continue...", 60000);
    menus.send(" ", "Choose Option: ");
    EXPECT_EQ(menus.exit(), 0);
    return menus.screen;
}

// A backup downloaded into a blank controller of the same identity (model,
// firmware, outputs, options) and uploaded again gives the same file.
TEST(DownloadEndToEnd, RestoreIntoBlankControllerGivesBackTheBackup) {
    // Model 4356 keeps its last channel: the lines for it must come back too.
    std::string kr56 = readFile(kData + "modelKR55.dat");
    kr56.replace(kr56.find("2: KR55"), 7, "2: KR56");
    kr56 += "7: 12,4,5\r\n8: 12,30\r\n35: 2;1,1,1,1,0,0,0,0\r\n";
    for (const char protocolKey : {'2', '3'}) {
        for (const std::string model : {"model3300", "model4444", "model4544", "modelKR55", "modelKR56"}) {
            SCOPED_TRACE(model + (protocolKey == '2' ? " over MODBUS" : " over TVX Standard"));
            TempDir dir;
            const std::string source = model == "modelKR56" ? kr56 : readFile(kData + model + ".dat");
            std::string identity;
            for (const auto& [block, lines] : valueLines(source)) {
                for (const std::string& line : lines) identity += block >= 2 && block <= 5 ? line + "\r\n" : "";
            }
            writeFile(dir.file("source.dat"), source);
            writeFile(dir.file("blank.dat"), identity);
            {
                SimProcess from(dir, {"--load", dir.file("source.dat")}, "from");
                uploadWithMenus(dir, from, protocolKey, "BACKUP.DAT");
            }
            SimProcess blank(dir, {"--load", dir.file("blank.dat"), "--reset-delay", "0"}, "blank");
            const std::string screen = downloadWithMenus(dir, blank, protocolKey, "BACKUP.DAT");
            uploadWithMenus(dir, blank, protocolKey, "AGAIN.DAT");
            const std::string backup = readFile(dir.file("BACKUP.DAT"));
            ASSERT_NE(backup.find("\n49: "), std::string::npos) << screen;
            EXPECT_EQ(maskDate(readFile(dir.file("AGAIN.DAT"))), maskDate(backup)) << screen;
        }
    }
}

// Factory defaults fill what the file lacks; kept offsets are not sent and
// there is no reset wait; with verification the result is checked.
TEST(DownloadEndToEnd, FactoryDefaultsKeptOffsetsAndVerification) {
    TempDir dir;
    writeFile(dir.file("small.dat"), "2: 4444\r\n3: 1\r\n4: 16\r\n6: 2\r\n9: 1,77\r\n");
    SimProcess sim(dir, {"--protocol", "tvx", "--load", kData + "model4444.dat", "--reset-delay", "0"});
    Menus menus(dir, sim);
    menus.chooseProtocol('3');
    menus.send("3", "File Name = ");
    menus.send("small.dat\r", "(y/<n>) ");
    menus.send("y", "(y/<n>) ");
    menus.send("y", "Hit any key to continue...", 60000);
    menus.send(" ", "Choose Option: ");
    EXPECT_EQ(menus.exit(), 0);
    EXPECT_EQ(menus.screen.find("Waiting for controller to reset"), std::string::npos) << menus.screen;
    EXPECT_EQ(menus.screen.find("Finalizing offsets"), std::string::npos);
    EXPECT_NE(menus.screen.find("Clearing pulses"), std::string::npos);

    const auto held = valueLines(sim.state());
    EXPECT_EQ(held.at(6), std::vector<std::string>{"6: 2"});
    EXPECT_EQ(held.at(16), std::vector<std::string>{"16: 1"});
    EXPECT_EQ(held.at(18), std::vector<std::string>{"18: 720"}) << "read from the controller, sent back";
    EXPECT_EQ(held.at(45), std::vector<std::string>{"45: 1"});
    EXPECT_EQ(held.at(47), std::vector<std::string>{"47: 1"});
    EXPECT_EQ(held.at(9), std::vector<std::string>{"9: 1,5"}) << "the controller's offset kept, not the file's";
    EXPECT_EQ(held.count(49), 0u) << "setpoints cleared";
}

TEST(DownloadEndToEnd, FileWithoutModelLineSendsNothing) {
    TempDir dir;
    writeFile(dir.file("nomodel.dat"), "; no model\r\n 2: 4444\r\n16: 1\r\n");
    SimProcess sim(dir, {});
    std::string output;
    EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", "nomodel.dat"}, output, dir.path), 5);
    EXPECT_NE(output.find("\nCan't find either model number or map version.\nFile format is incompatible.\n"
                          "Process terminated...\n"),
              std::string::npos)
        << output;
    // Nothing was written to the controller: no TVX request carries "P"
    // data and no MODBUS request writes a coil or a register.
    const std::string log = sim.log();
    EXPECT_NE(log.find(" RX "), std::string::npos) << log;
    EXPECT_FALSE(std::regex_search(log, std::regex(" RX [0-9]+ (!01[0-9A-F]{2}P|:01(05|10))"))) << log;
}

TEST(DownloadEndToEnd, MappingsOnlyKeepsSetpoints) {
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "modbus", "--load", kData + "model4444.dat", "--reset-delay", "0"});
    writeFile(dir.file("maps.dat"), "2: 4444\r\n14: 33\r\n15: 1,420,1,0,0\r\n");
    std::string output;
    EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", "maps.dat"}, output, dir.path), 0) << output;
    EXPECT_EQ(output.find("Clearing pulses"), std::string::npos);
    const auto held = valueLines(sim.state());
    EXPECT_EQ(held.at(14), std::vector<std::string>{"14: 33"});
    EXPECT_EQ(held.at(15), std::vector<std::string>{"15: 1,420,1,0,0"});
    EXPECT_EQ(held.at(49).size(), 2u) << "setpoints kept";

    // The mappings-only upload writes blocks 2, 14 and 15 alone.
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "back.dat", "Y"}, output, dir.path), 0) << output;
    const auto back = valueLines(readFile(dir.file("back.dat")));
    EXPECT_EQ(back.size(), 3u);
    EXPECT_EQ(back.at(15), std::vector<std::string>{"15: 1,420,1,0,0"});
}

#endif
