// Uploads, downloads and the sibling hand-over when something goes wrong:
// a silent, stopped or refusing controller, a killed upload, a folder where
// no file can be created, dropped writes. linkora and linkora-sim as child
// processes on a pseudo-terminal.
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
#include "transfer/transfer_fixture.h"
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

}  // namespace

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

namespace {

// The position, counted from 1, of the first request `request` in an
// undisturbed MODBUS upload (into UP.DAT) of the controller `file`
// configures; 0 when there is none.
int requestPosition(const TempDir& dir, const std::string& file, const std::string& request) {
    SimProcess sim(dir, {"--protocol", "modbus", "--load", file}, "plain");
    std::string output;
    if (runLinkora({"u", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path) != 0) return 0;
    const std::string log = sim.log();
    const std::size_t at = log.find(request);
    if (at == std::string::npos) return 0;
    int position = 0;
    for (std::size_t i = log.find(" RX "); i != std::string::npos && i < at; i = log.find(" RX ", i + 1)) ++position;
    return position;
}

}  // namespace

// A refused stop of a controller with many setpoints is sent once: the
// failure report does not ask again.
TEST(UploadFaults, RefusedStopIsSentOnce) {
    TempDir dir;
    writeFile(dir.file("many.dat"), setpointFile(301));
    const std::string stop = "RX 23 :011001530001020001";  // register 340 := 1
    const int position = requestPosition(dir, dir.file("many.dat"), stop);
    ASSERT_GT(position, 0);
    std::string output;
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
std::string modbusExchange(const std::string& device, std::initializer_list<int> bytes) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    testing_support::writeAll(fd, transfer_test::modbusFrame(bytes));
    const std::string reply = testing_support::readUntil(fd, "\n", 3000);
    ::close(fd);
    return reply;
}

// A controller that a failed download left stopped: the upload writes the
// file, says so and leaves it stopped, even with more than 300 setpoints
// (a controller that an upload stops itself is restarted), and ends with
// status 8.
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
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "PLANT.DAT"}, output, dir.path), 8) << output;
    EXPECT_NE(output.find("(status 8: the controller was found stopped; it may hold an unfinished download)\n"),
              std::string::npos)
        << output;
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

// An upload that stopped the controller for its many setpoints and could
// not confirm the restart (refused, and refused again) writes its complete
// file, says so on standard error and ends with status 9.
TEST(UploadFaults, UnconfirmedRestartEndsWithStatus9) {
    TempDir dir;
    writeFile(dir.file("many.dat"), setpointFile(301));
    const int position = requestPosition(dir, dir.file("many.dat"), "RX 23 :011001530001020000");  // 340 := 0
    ASSERT_GT(position, 0);
    std::string output;
    const std::string complete = valueLines(readFile(dir.file("UP.DAT"))).at(49).front();
    std::filesystem::remove(dir.file("UP.DAT"));
    SimProcess sim(dir, {"--protocol", "modbus", "--load", dir.file("many.dat"), "--refuse-at",
                         std::to_string(position) + "," + std::to_string(position + 1), "--refuse-code", "3"});
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path), 9) << output;
    EXPECT_NE(output.find("linkora: " + sim.devicePath +
                          ": the controller did not confirm its restart; it may still be stopped\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("(status 9: the controller's restart was not confirmed)\n"), std::string::npos) << output;
    EXPECT_EQ(valueLines(readFile(dir.file("UP.DAT"))).at(49).size(), 301u);
    EXPECT_EQ(valueLines(readFile(dir.file("UP.DAT"))).at(49).front(), complete);
}

}  // namespace

#endif
