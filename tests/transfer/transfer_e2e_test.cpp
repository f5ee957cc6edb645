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

#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::PtyProcess;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::maskDate;
using transfer_test::runLinkora;
using transfer_test::SimProcess;
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

std::string uploadWithMenus(const TempDir& dir, const SimProcess& sim, char protocolKey, const std::string& name) {
    Menus menus(dir, sim);
    menus.chooseProtocol(protocolKey);
    menus.send("2", "File Name = ");
    menus.send(name + "\r", "Hit any key to continue...");
    menus.send(" ", "Choose Option: ");
    EXPECT_EQ(menus.exit(), 0);
    return menus.screen;
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
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "auto.dat"}, output, dir.path,
                         {"LINKORA_TRACE=" + trace}),
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

namespace {

std::string setpointFile(int count) {
    std::string text = readFile(kData + "model4444.dat");
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start + 1);
        if (line.rfind("49:", 0) != 0) kept += line;
        start = end + 1;
    }
    for (int i = 0; i < count; ++i) {
        kept += "49: " + std::to_string(i % 48 + 1) + "," + std::to_string(i % 16 + 1) + "," + std::to_string(i) +
                "," + std::to_string(i + 1) + "\n";
    }
    return kept;
}

}  // namespace

// More than 300 setpoints: the controller is stopped before block 6 and
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

// A controller that goes silent in the middle of an upload: the existing file
// stays as it was, nothing else is left behind, the result is 1.
TEST(UploadFaults, SilentControllerLeavesFileUntouched) {
    TempDir dir;
    const std::string precious = "; my edited plant file\r\n2: 4444\r\n";
    writeFile(dir.file("plant.dat"), precious);
    SimProcess sim(dir, {"--protocol", "tvx", "--silent-after", "20"});
    Menus menus(dir, sim);
    menus.chooseProtocol('3');
    menus.send("2", "File Name = ");
    menus.send("plant.dat\r", "Overwrite it? (Y/N)");
    menus.send("y", "Hit any key to continue...", 60000);
    EXPECT_NE(menus.screen.find("The controller stopped answering.\r\nBlocks that could not be read: "),
              std::string::npos)
        << menus.screen;
    EXPECT_NE(menus.screen.find("Upload failed; the data file was not written."), std::string::npos);
    menus.send(" ", "Choose Option: ");
    menus.exit();
    EXPECT_EQ(readFile(dir.file("plant.dat")), precious);
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        files += entry.path().filename().string().rfind(".linkora.", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(files, 0u) << "temporary file left behind";
}

// A controller stopped for its many setpoints is sent the restart even when
// it fell silent during the reading, so that one that recovers is not left
// standing.
TEST(UploadFaults, StoppedControllerIsRestartedAfterAFailedUpload) {
    TempDir dir;
    writeFile(dir.file("many.dat"), setpointFile(301));
    SimProcess sim(dir, {"--protocol", "tvx", "--load", dir.file("many.dat"), "--silent-after", "30"});
    Menus menus(dir, sim);
    menus.chooseProtocol('3');
    menus.send("2", "File Name = ");
    menus.send("UP.DAT\r", "Hit any key to continue...", 60000);
    menus.send(" ", "Choose Option: ");
    menus.exit();
    EXPECT_NE(menus.screen.find("301 setpoints; stopping controller..."), std::string::npos) << menus.screen;
    const std::size_t restart = menus.screen.find("Restarting controller...\r\n");
    ASSERT_NE(restart, std::string::npos) << menus.screen;
    EXPECT_NE(menus.screen.find("The controller stopped answering.", restart), std::string::npos) << menus.screen;
    const std::string log = sim.log();
    const std::size_t stop = log.find("!0106");  // COM_STOP
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_NE(log.find("!0109", stop), std::string::npos) << "no restart (COM_RESET) after the stop";
    EXPECT_FALSE(std::filesystem::exists(dir.file("UP.DAT")));
}

// A refused stop of a controller with many setpoints is sent once: the
// failure report does not ask again.
TEST(UploadFaults, RefusedStopIsSentOnce) {
    TempDir dir;
    writeFile(dir.file("many.dat"), setpointFile(301));
    const std::string stop = "RX 23 :011001530001020001";  // register 340 := 1
    std::string output;
    int position = 0;
    {
        SimProcess sim(dir, {"--protocol", "modbus", "--load", dir.file("many.dat")}, "plain");
        ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path), 0) << output;
        const std::string log = sim.log();
        const std::size_t at = log.find(stop);
        ASSERT_NE(at, std::string::npos) << log;
        for (std::size_t i = log.find(" RX "); i != std::string::npos && i < at; i = log.find(" RX ", i + 1)) ++position;
    }
    SimProcess sim(dir, {"--protocol", "modbus", "--load", dir.file("many.dat"), "--refuse-at",
                         std::to_string(position), "--refuse-code", "3"});
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path), 1) << output;
    const std::string log = sim.log();
    std::size_t stops = 0;
    for (std::size_t i = log.find(stop); i != std::string::npos; i = log.find(stop, i + 1)) ++stops;
    EXPECT_EQ(stops, 1u) << log;
}

// An upload killed outright leaves its temporary file; the next upload into
// that folder removes it.
TEST(UploadFaults, NextUploadRemovesTheTemporaryFileOfAKilledOne) {
    TempDir dir;
    auto temporaryFiles = [&] {
        std::size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            files += entry.path().filename().string().rfind(".linkora.", 0) == 0 ? 1 : 0;
        return files;
    };
    {
        SimProcess silent(dir, {"--protocol", "tvx", "--silent-after", "0"}, "silent");
        testing_support::ChildProcess killed({LINKORA_BIN, "u", "1", silent.devicePath, "9600", "PLANT.DAT"},
                                             dir.file("killed.out"), dir.path);
        for (int i = 0; i < 100 && temporaryFiles() == 0; ++i) usleep(50000);
        killed.kill(SIGKILL);
        killed.wait(5000);
    }
    ASSERT_EQ(temporaryFiles(), 1u);
    SimProcess sim(dir, {"--protocol", "tvx"});
    std::string output;
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "PLANT.DAT"}, output, dir.path, {"LINKORA_PROTOCOL=tvx"}),
              0)
        << output;
    EXPECT_EQ(temporaryFiles(), 0u);
}

// A target in a folder where no file can be created beside it is rewritten
// where it stands; a new file there cannot be made at all.
TEST(UploadEndToEnd, RewritesInPlaceWhereNoFileCanBeCreated) {
    TempDir dir;
    const std::string folder = dir.file("locked");
    std::filesystem::create_directories(folder);
    writeFile(folder + "/PLANT.DAT", "; old content\r\n2: 4444\r\n");
    // Root ignores the folder's permissions, but not the immutable flag.
    struct Lock {
        std::string folder;
        bool set(bool on) {
            std::string out;
            if (geteuid() != 0) return chmod(folder.c_str(), on ? 0555 : 0755) == 0;
            return testing_support::runProgram({"/bin/sh", "-c", on ? "chattr +i \"$0\"" : "chattr -i \"$0\"", folder},
                                               out, 5000) == 0;
        }
        ~Lock() { set(false); }
    } lock{folder};
    if (!lock.set(true)) GTEST_SKIP() << "the folder cannot be locked here";
    if (std::FILE* probe = std::fopen((folder + "/probe").c_str(), "wb")) {
        std::fclose(probe);
        GTEST_SKIP() << "a locked folder still takes new files here";
    }

    SimProcess sim(dir, {"--load", kData + "model4444.dat"});
    std::string output;
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "locked/PLANT.DAT"}, output, dir.path), 0) << output;
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "FREE.DAT"}, output, dir.path), 0) << output;
    EXPECT_EQ(maskDate(readFile(folder + "/PLANT.DAT")), maskDate(readFile(dir.file("FREE.DAT"))));
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "locked/NEW.DAT"}, output, dir.path), 5);
    EXPECT_NE(output.find("Can't open file!"), std::string::npos) << output;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"PLANT.DAT"});
}

TEST(UploadFaults, NoContactLeavesNoFile) {
    TempDir dir;
    writeFile(dir.file("kept.dat"), "keep me");
    std::string output;
    EXPECT_EQ(runLinkora({"u", "1", dir.file("no-such-device"), "9600", "kept.dat"}, output, dir.path), 3);
    EXPECT_NE(output.find("Could not establish communications with the controller.\n"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("kept.dat")), "keep me");
    EXPECT_EQ(runLinkora({"u", "1", dir.file("no-such-device"), "9600", "new.dat"}, output, dir.path), 3);
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.dat")));
}

// A request of the unit configuration that goes unanswered abandons either
// transfer; a controller that still answers gets coil 316 switched off again.
TEST(TransferFaults, AbandonedConfigurationSwitchesCoil316Off) {
    for (const char* direction : {"u", "d"}) {
        SCOPED_TRACE(direction);
        TempDir dir;
        writeFile(dir.file("plant.dat"), readFile(kData + "model4444.dat"));
        // Request 7 is the third block of the unit configuration.
        SimProcess sim(dir, {"--protocol", "modbus", "--load", kData + "model4444.dat", "--drop-every", "7"});
        std::string output;
        EXPECT_EQ(runLinkora({direction, "1", sim.devicePath, "9600", "plant.dat"}, output, dir.path), 1) << output;
        std::vector<std::string> requests;
        const std::string log = sim.log();
        static const std::regex kRequest(" RX [0-9]+ (:[0-9A-F]+)");
        for (auto it = std::sregex_iterator(log.begin(), log.end(), kRequest); it != std::sregex_iterator(); ++it) {
            requests.push_back((*it)[1].str());
        }
        ASSERT_FALSE(requests.empty()) << log;
        EXPECT_EQ(requests.back().rfind(":0105013B0000", 0), 0u) << log;
        EXPECT_EQ(readFile(dir.file("plant.dat")), readFile(kData + "model4444.dat"));
    }
}

// Writes the line loses are sent again; reading back finds the file.
TEST(DownloadFaults, VerificationAfterDroppedWrites) {
    TempDir dir;
    SimProcess source(dir, {"--protocol", "tvx", "--load", kData + "model3300.dat"}, "source");
    uploadWithMenus(dir, source, '3', "PLANT.DAT");
    source.stop();
    SimProcess target(dir, {"--protocol", "tvx", "--drop-every", "70", "--reset-delay", "0"}, "target");
    std::string output;
    // The target has leading/trailing speed compensation: the file's single
    // values are not complete lines for it and are not sent; the file names
    // another model. The download ends with status 7.
    EXPECT_EQ(runLinkora({"d", "1", target.devicePath, "9600", "PLANT.DAT", "N", "N", "Y"}, output, dir.path), 7)
        << output;
    EXPECT_NE(output.find("PLANT.DAT names model 3300; the controller is model 4344, whose configuration is used.\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("3 lines of PLANT.DAT are ignored or changed; see linkora check PLANT.DAT\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Verifying download...\n"), std::string::npos) << output;
    EXPECT_NE(output.find("Verification passed"), std::string::npos) << output;
}

// A MODBUS map version other than 100 hands the transfer to the sibling
// program, which gets the file name as one argument; no shell is involved.
// The unattended run ends with the sibling's own status: 0 when it did the
// transfer, 128 + n when signal n ended it, 1 when it could not be started.
TEST(SiblingHandOver, ArgumentsReachTheSiblingUnchanged) {
    TempDir dir;
    const std::string bin = dir.file("bin");
    std::filesystem::create_directories(bin);
    writeFile(bin + "/LKRA101", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n");
    chmod((bin + "/LKRA101").c_str(), 0755);
    SimProcess sim(dir, {"--protocol", "modbus", "--map-version", "101"});
    const std::string name = "x; touch pwned";
    writeFile(dir.file(name), "2: 4344\r\n");
    std::string output;
    const std::string path = std::string("PATH=") + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
    EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", name, "Y", "N", "Y"}, output, dir.path, {path}), 0);
    EXPECT_NE(output.find("Executing different version of program...\nLKRA101 D 1 " + sim.devicePath +
                          " 9600 x; touch pwned Y N Y \n"),
              std::string::npos)
        << output;
    EXPECT_EQ(readFile(bin + "/LKRA101.args"), "D\n1\n" + sim.devicePath + "\n9600\nx; touch pwned\nY\nN\nY\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("pwned")));

    // A sibling that does not exist is named.
    SimProcess other(dir, {"--protocol", "modbus", "--map-version", "102"}, "other");
    EXPECT_EQ(runLinkora({"u", "1", other.devicePath, "9600", "up.dat"}, output, dir.path, {path}), 1);
    EXPECT_NE(output.find("LKRA102"), std::string::npos) << output;
    EXPECT_NE(output.find("Could not run the program LKRA102."), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("up.dat")));

    writeFile(bin + "/LKRA103", "#!/bin/sh\nkill -TERM $$\n");
    chmod((bin + "/LKRA103").c_str(), 0755);
    SimProcess killed(dir, {"--protocol", "modbus", "--map-version", "103"}, "killed");
    EXPECT_EQ(runLinkora({"u", "1", killed.devicePath, "9600", "up.dat"}, output, dir.path, {path}), 128 + SIGTERM)
        << output;
}

// The sibling gets the terminal as the operator had it, not in single-key
// mode, and linkora takes it back afterwards.
TEST(SiblingHandOver, SiblingGetsTheTerminalInItsUsualMode) {
    TempDir dir;
    const std::string bin = dir.file("bin");
    std::filesystem::create_directories(bin);
    writeFile(bin + "/LKRA101", "#!/bin/sh\nstty -a > \"$0.stty\"\n");
    chmod((bin + "/LKRA101").c_str(), 0755);
    SimProcess sim(dir, {"--protocol", "modbus", "--map-version", "101"});
    const std::string path = std::string("PATH=") + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
    PtyProcess linkora({LINKORA_BIN, "u", "1", sim.devicePath, "9600", "up.dat"}, dir.path, {path});
    EXPECT_EQ(linkora.wait(20000), 0);
    const std::string modes = readFile(bin + "/LKRA101.stty");
    EXPECT_NE(modes.find(" icanon"), std::string::npos) << modes;
    EXPECT_EQ(modes.find("-icanon"), std::string::npos) << modes;
}

namespace {

// One MODBUS request sent on the simulator's line; its reply.
std::string modbusExchange(const std::string& device, const std::vector<int>& bytes) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    std::string frame = ":";
    int sum = 0;
    char hex[3];
    for (int b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
        frame += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    testing_support::writeAll(fd, frame + hex + "\r\n");
    const std::string reply = testing_support::readUntil(fd, "\n", 3000);
    ::close(fd);
    return reply;
}

// A controller that a failed download left stopped: the upload writes the
// file, says so and leaves it stopped, even with more than 300 setpoints
// (a controller that an upload stops itself is restarted).
TEST(UploadFindsControllerStopped, SaysSoAndLeavesItStopped) {
    TempDir dir;
    std::string file = readFile(kData + "model4444.dat");
    for (int i = 0; i < 301; ++i) file += "49: 1,1," + std::to_string(i) + "," + std::to_string(i + 1) + "\r\n";
    writeFile(dir.file("many.dat"), file);
    SimProcess sim(dir, {"--protocol", "modbus", "--load", dir.file("many.dat")});
    // Register 340 (address 339) := 1 stops the controller.
    const std::string stop = modbusExchange(sim.devicePath, {1, 16, 1, 0x53, 0, 1, 2, 0, 1});
    ASSERT_EQ(stop.rfind(":01100153", 0), 0u) << stop << sim.log();
    std::string output;
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "PLANT.DAT"}, output, dir.path), 0) << output;
    EXPECT_NE(output.find("The controller was found stopped; it may hold an unfinished download. It is left "
                          "stopped.\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("linkora: " + sim.devicePath + ": the controller was found stopped"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("Restarting controller"), std::string::npos) << output;
    EXPECT_EQ(valueLines(readFile(dir.file("PLANT.DAT"))).at(49).size(), valueLines(file).at(49).size());
    EXPECT_EQ(modbusExchange(sim.devicePath, {1, 3, 1, 0x53, 0, 1}).rfind(":0103020001", 0), 0u);
}

}  // namespace

#endif
