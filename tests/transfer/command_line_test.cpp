// The unattended command line and the interactive prompts of the transfers,
// with the real program.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::PtyProcess;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::runLinkora;
using transfer_test::SimProcess;

TEST(CommandLine, HelpPrintsUsage) {
    TempDir dir;
    std::string output;
    EXPECT_EQ(runLinkora({"--help"}, output, dir.path), 0);
    EXPECT_EQ(output.rfind("Usage: linkora <direction> <unitAddress> <comPort> <baudRate> <Filename>\n"
                           "               [options]\n",
                           0),
              0u)
        << output;
}

// The first word names its command in any case; the help text tells every
// command, the backups too.
TEST(CommandLine, CommandWordsInAnyCase) {
    TempDir dir;
    std::string output;
    EXPECT_EQ(runLinkora({"--help"}, output, dir.path), 0);
    for (const char* usage : {"linkora check <Filename>", "linkora diff <FileA> <FileB>", "linkora c <unitAddress>",
                              "linkora show <Filename>", "linkora backup <Inventory>"}) {
        EXPECT_NE(output.find(usage), std::string::npos) << usage;
    }
    const std::string help = output;
    EXPECT_EQ(runLinkora({"BACKUP", "--help"}, output, dir.path), 0);
    EXPECT_EQ(output.rfind("Backups of every controller of a plant", 0), 0u) << output;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"CHECK"}, {"Diff", "a.dat"}, {"C", "1", "COM1", "9600"}, {"U", "1", "COM1", "9600"}}) {
        EXPECT_EQ(runLinkora(args, output, dir.path), 2) << args[0];
        EXPECT_EQ(output, "Wrong number of command line arguments!\n" + help +
                              "linkora: command line: Wrong number of command line arguments!\n")
            << args[0];
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(CommandLine, VersionPrintsNameAndVersionAndTouchesNothing) {
    TempDir dir;
    std::string output;
    EXPECT_EQ(runLinkora({"--version"}, output, dir.path), 0);
    EXPECT_EQ(output, "linkora " LINKORA_VERSION "\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(CommandLine, WrongLinesGiveTheirMessageAndStatus2) {
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"u", "1", "COM1", "9600"}, "Wrong number of command line arguments!"},
        {{"x", "1", "COM1", "9600", "f"}, "Invalid direction specified!"},
        {{"u", "256", "COM1", "9600", "f"}, "unitAddress out of range 0..255"},
        {{"u", "-1", "COM1", "9600", "f"}, "unitAddress out of range 0..255"},
        {{"u", "one", "COM1", "9600", "f"}, "unitAddress out of range 0..255"},
        {{"u", "1", "COM5", "9600", "f"}, "Invalid COM port specified!"},
        {{"u", "1", "tty0", "9600", "f"}, "Invalid COM port specified!"},
        {{"u", "1", "tcp://plant-gw", "9600", "f"}, "Invalid COM port specified!"},
        {{"c", "1", "rfc2217://[::1]", "9600", "f"}, "Invalid COM port specified!"},
        {{"u", "1", "COM1", "9601", "f"}, "Invalid COM speed specified!"},
        {{"u", "1", "COM1", "9600", "f", "X", "8N1"}, "Invalid mappingsOnly specified!"},
        {{"u", "1", "COM1", "9600", "f", "Y", "9N1"}, "Invalid characterFormat specified!"},
        {{"u", "1", "COM1", "9600", "f", "Y", "8N1", "x"}, "Wrong number of command line arguments!"},
        {{"d", "1", "COM1", "9600", "f", "Q", "N", "N"}, "Invalid defaultSettings specified!"},
        {{"d", "1", "COM1", "9600", "f", "N", "Q", "N"}, "Invalid sacredOffsets specified!"},
        {{"d", "1", "COM1", "9600", "f", "N", "N", "Q"}, "Invalid verifyDownload specified!"},
        {{"d", "1", "COM1", "9600", "f", "N", "N"}, "Wrong number of command line arguments!"},
        {{"d", "1", "COM1", "9600", "f", "N", "N", "N", "7X1"}, "Invalid characterFormat specified!"},
    };
    for (const auto& [args, message] : cases) {
        std::string output;
        EXPECT_EQ(runLinkora(args, output, dir.path), 2) << message;
        EXPECT_EQ(output.rfind(message + "\nUsage: linkora ", 0), 0u) << output;
        EXPECT_EQ(output.find("Hit any key"), std::string::npos) << output;
    }
}

// A line with several faults names the first in the order address, port,
// speed, direction; the number of options is judged by the direction.
TEST(CommandLine, FaultsAreCheckedInTheirOrder) {
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"x", "300", "COM9", "1", "f"}, "unitAddress out of range 0..255"},
        {{"x", "0xFF", "COM9", "1", "f"}, "Invalid COM port specified!"},
        {{"x", "1", "com2", "1", "f"}, "Invalid COM speed specified!"},
        {{"x", "1", "COM2", "19200", "f"}, "Invalid direction specified!"},
        {{"x", "1", "COM1", "9600", "f", "Y", "N", "N"}, "Invalid direction specified!"},
        {{"d", "300", "COM1", "9600", "f", "N", "N", "N", "8N1", "x"}, "Wrong number of command line arguments!"},
        {{"u", "1", "COM1", "9600", "f", "N", "N", "N"}, "Wrong number of command line arguments!"},
        {{"d", "1", "COM1", "9600", "f", "N", "N"}, "Wrong number of command line arguments!"},
        {{"u", "1", "COM1", "9600", "f", "Q", "8N1"}, "Invalid mappingsOnly specified!"},
        {{"d", "1", "COM1", "9600", "f", "Q", "Q", "Q", "9Q9"}, "Invalid defaultSettings specified!"},
        {{"d", "1", "COM1", "9600", "f", "N", "N", "N", "9Q9"}, "Invalid characterFormat specified!"},
    };
    for (const auto& [args, message] : cases) {
        std::string output;
        EXPECT_EQ(runLinkora(args, output, dir.path), 2) << message;
        EXPECT_EQ(output.rfind(message + "\nUsage: linkora ", 0), 0u) << output;
    }
}

TEST(CommandLine, WrongLineOnATerminalGoesOnInteractively) {
    TempDir dir;
    PtyProcess linkora({LINKORA_BIN, "q", "1", "COM1", "9600", "f"}, dir.path);
    const std::string screen = linkora.readUntil("Hit any key to continue in interactive mode...");
    EXPECT_NE(screen.find("Invalid direction specified!"), std::string::npos) << screen;
    linkora.send(" ");
    EXPECT_NE(linkora.readUntil("Choose Option: ").find("---Main Menu---"), std::string::npos);
    linkora.send("\x1b");
    EXPECT_EQ(linkora.wait(5000), 0);
}

TEST(CommandLine, UnreadableDownloadFileFailsAtOnce) {
    TempDir dir;
    std::string output;
    EXPECT_EQ(runLinkora({"D", "1", "COM1", "9600", "missing.dat"}, output, dir.path), 5);
    EXPECT_NE(output.find("Can't open file!\nHit any key to continue..."), std::string::npos) << output;
}

// The prompts of both transfers: ESC at the name, the overwrite question,
// a file that cannot be opened. None of them reaches the controller.
TEST(InteractiveForms, PromptsAndAbandonedTransfers) {
    TempDir dir;
    writeFile(dir.file("old.dat"), "keep");
    SimProcess sim(dir, {"--protocol", "tvx"});
    PtyProcess linkora({LINKORA_BIN}, dir.path, {"LINKORA_COM1=" + sim.devicePath});
    linkora.readUntil("Choose Option: ");

    linkora.send("2");
    EXPECT_NE(linkora.readUntil("\nFile Name = ").find("---Upload From Controller to File---"), std::string::npos);
    linkora.send("abc\x1b");
    EXPECT_NE(linkora.readUntil("Choose Option: ").find("---Main Menu---"), std::string::npos);

    linkora.send("2");
    linkora.readUntil("File Name = ");
    linkora.send("old.dat\r");
    EXPECT_NE(linkora.readUntil("Overwrite it? (Y/N)").find("File already exists.  Overwrite it? (Y/N)"),
              std::string::npos);
    linkora.send("n");
    EXPECT_NE(linkora.readUntil("Choose Option: ").find("n\r\n"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("old.dat")), "keep");

    linkora.send("3");
    EXPECT_NE(linkora.readUntil("File Name = ").find("---Download From File to Controller---"), std::string::npos);
    linkora.send("none.dat\r");
    EXPECT_NE(linkora.readUntil("Hit any key to continue...").find("Unable to open file...\r\n"), std::string::npos);
    linkora.send(" ");
    linkora.readUntil("Choose Option: ");
    linkora.send("\x1b");
    EXPECT_EQ(linkora.wait(5000), 0);
    EXPECT_EQ(sim.log().find(" RX "), std::string::npos) << "nothing was sent";
}

// A name that cannot be written in place (a folder, a write-protected file)
// is refused before the controller is asked anything, and stays as it was.
TEST(InteractiveForms, UnwritableUploadTargetIsRefused) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("folder.dat"));
    writeFile(dir.file("locked.dat"), "locked");
    chmod(dir.file("locked.dat").c_str(), 0444);
    const bool protectionHolds = geteuid() != 0;  // root writes to it regardless
    SimProcess sim(dir, {"--protocol", "tvx"});
    PtyProcess linkora({LINKORA_BIN}, dir.path, {"LINKORA_COM1=" + sim.devicePath});
    linkora.readUntil("Choose Option: ");

    std::vector<std::string> names{"folder.dat"};
    if (protectionHolds) names.push_back("locked.dat");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        linkora.send("2");
        linkora.readUntil("File Name = ");
        linkora.send(name + "\r");
        linkora.readUntil("Overwrite it? (Y/N)");
        linkora.send("y");
        const std::string screen = linkora.readUntil("Hit any key to continue...");
        EXPECT_NE(screen.find("y\r\nCould not create file!\r\nHit any key to continue..."), std::string::npos)
            << screen;
        linkora.send(" ");
        linkora.readUntil("Choose Option: ");
    }
    linkora.send("\x1b");
    EXPECT_EQ(linkora.wait(5000), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder.dat")));
    EXPECT_EQ(readFile(dir.file("locked.dat")), "locked");

    std::string output;
    EXPECT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "folder.dat"}, output, dir.path), 5);
    EXPECT_NE(output.find("Can't open file!\nHit any key to continue..."), std::string::npos) << output;
    EXPECT_EQ(sim.log().find(" RX "), std::string::npos) << "nothing was sent";
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        EXPECT_NE(entry.path().filename().string().rfind(".linkora.", 0), 0u) << "temporary file left behind";
    }
}

#endif
