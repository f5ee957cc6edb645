// The linkora program itself, run on a pseudo-terminal (and once with a
// pipe): menu screens byte for byte, keys, the settings file, exit codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

using testing_support::PtyProcess;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

#ifdef LINKORA_BIN

namespace {

const std::string kClear = "\x1b[2J\x1b[H";
const std::string kEsc = "\x1b";
const std::string kBanner = "\n      Varimotion\n      Linkora Communications Utility\n      Revision 2.79\n";
const std::string kMainMenu =
    "\r\n    ---Main Menu---\n 1. Communication Parameters.\n 2. Upload From Controller to File.\n"
    " 3. Download From File to Controller.\n 4. Exit (ESC)\n\n Choose Option: ";
const std::string kPorts = "\n      ---Ports---\n   1. COM1\n   2. COM2\n   3. COM3\n   4. COM4\n\n   Choose Option: ";
const std::string kBaudRates =
    "\n      ---Baud Rates---\n   1. 4800\n   2. 9600\n   3. 19200\n   4. 38400\n\n   Choose Option: ";
const std::string kProtocols =
    "\n        ---Protocols---\n     1. Auto Detect\n     2. MODBUS\n     3. TVX Standard\n\n     Choose Option: ";

// What the terminal receives for the program's text: "\n" becomes "\r\n".
std::string onTerminal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string mainScreen() { return onTerminal(kClear + kBanner + kMainMenu); }

std::string commScreen(const std::string& port, int baud, int unit, const std::string& protocol) {
    return onTerminal(kClear + kBanner + "\n      ---Communication Menu---\n   1. Comm Port       : " + port +
                      "\n   2. Baud Rate       : " + std::to_string(baud) +
                      "\n   3. Unit Address    : " + std::to_string(unit) + "\n   4. Protocol        : " + protocol +
                      "\n   5. Exit (ESC)\n\n   Choose Option: ");
}

// One run of the program in its own folder.
class Session {
public:
    explicit Session(const TempDir& dir) : process_({LINKORA_BIN}, dir.path) {}

    // Sends keys and returns what appears until `until` is on the screen.
    std::string keys(const std::string& text, const std::string& until) {
        if (!text.empty()) process_.send(text);
        return process_.readUntil(until, 5000);
    }
    std::string toMain(const std::string& text) { return keys(text, " Choose Option: "); }
    std::string toComm(const std::string& text) { return keys(text, "   Choose Option: "); }
    std::string quiet(const std::string& text) {
        process_.send(text);
        return process_.readQuiet(200, 3000);
    }
    bool terminalRaw() {
        termios t{};
        return tcgetattr(process_.master(), &t) == 0 && (t.c_lflag & ICANON) == 0;
    }
    bool terminalCooked() {
        termios t{};
        return tcgetattr(process_.master(), &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
    }
    PtyProcess& process() { return process_; }
    int wait() { return process_.wait(10000); }

private:
    PtyProcess process_;
};

}  // namespace

TEST(LinkoraProgram, EveryScreenByteForByte) {
    TempDir dir;
    Session s(dir);
    EXPECT_EQ(s.toMain(""), mainScreen());
    EXPECT_TRUE(s.terminalRaw());
    EXPECT_EQ(s.toComm("1"), "1" + commScreen("COM1", 9600, 1, "Auto Detect"));
    EXPECT_EQ(s.toComm("1"), onTerminal("1\n" + kPorts));
    EXPECT_EQ(s.toComm(kEsc), onTerminal("\n") + commScreen("COM1", 9600, 1, "Auto Detect"));
    EXPECT_EQ(s.toComm("2"), onTerminal("2\n" + kBaudRates));
    EXPECT_EQ(s.toComm(kEsc), onTerminal("\n") + commScreen("COM1", 9600, 1, "Auto Detect"));
    EXPECT_EQ(s.keys("3", "= "), onTerminal("3\n\nUnit Address= "));
    EXPECT_EQ(s.toComm(kEsc), commScreen("COM1", 9600, 1, "Auto Detect"));
    EXPECT_EQ(s.toComm("4"), onTerminal("4\n" + kProtocols));
    EXPECT_EQ(s.toComm(kEsc), onTerminal("\n") + commScreen("COM1", 9600, 1, "Auto Detect"));
    // Leaving without a choice writes nothing.
    EXPECT_EQ(s.toMain("5"), onTerminal("5\n") + mainScreen());
    EXPECT_EQ(s.quiet(kEsc), "");
    EXPECT_EQ(s.wait(), 0);
    EXPECT_NE(access(dir.file("LINKORA.CFG").c_str(), F_OK), 0);
}

TEST(LinkoraProgram, InvalidKeysRedrawOrComplain) {
    TempDir dir;
    Session s(dir);
    s.toMain("");
    EXPECT_EQ(s.toMain("x"), "x" + mainScreen());
    EXPECT_EQ(s.toMain("0"), "0" + mainScreen());
    s.toComm("1");
    EXPECT_EQ(s.toComm("9"), onTerminal("9\n") + commScreen("COM1", 9600, 1, "Auto Detect"));
    struct Case {
        std::string menuKey, badKey, message;
    };
    const Case cases[] = {
        {"1", "5", "Invalid Com Port specified, press any key...\n"},
        {"1", "0", "Invalid Com Port specified, press any key...\n"},
        {"2", "5", "Invalid Baud Rate specified, press any key...\n"},
        {"4", "4", "Invalid protocol specified, press any key...\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.menuKey + c.badKey);
        s.toComm(c.menuKey);
        EXPECT_EQ(s.keys(c.badKey, "key...\r\n"), onTerminal(c.badKey + "\n" + c.message));
        // The key that answers the message is not echoed.
        EXPECT_EQ(s.toComm("q"), commScreen("COM1", 9600, 1, "Auto Detect"));
    }
    s.toMain("5");
    EXPECT_NE(access(dir.file("LINKORA.CFG").c_str(), F_OK), 0) << "invalid keys change nothing";
    s.process().send("4");
    EXPECT_EQ(s.wait(), 0);
}

TEST(LinkoraProgram, ChoicesAreShownAndSavedWithoutTheProtocol) {
    TempDir dir;
    {
        Session s(dir);
        s.toMain("");
        s.toComm("1");
        s.toComm("1");
        EXPECT_EQ(s.toComm("3"), onTerminal("3\n") + commScreen("COM3", 9600, 1, "Auto Detect"));
        s.toComm("2");
        EXPECT_EQ(s.toComm("4"), onTerminal("4\n") + commScreen("COM3", 38400, 1, "Auto Detect"));
        s.keys("3", "= ");
        EXPECT_EQ(s.toComm("0xFE\r"), onTerminal("0xFE\n") + commScreen("COM3", 38400, 254, "Auto Detect"));
        s.toComm("4");
        EXPECT_EQ(s.toComm("2"), onTerminal("2\n") + commScreen("COM3", 38400, 254, "MODBUS"));
        s.toComm("4");
        EXPECT_EQ(s.toComm("3"), onTerminal("3\n") + commScreen("COM3", 38400, 254, "TVX Standard"));
        EXPECT_EQ(s.toMain(kEsc), onTerminal("\nUpdating configuration file...\n") + mainScreen());
        EXPECT_EQ(readFile(dir.file("LINKORA.CFG")), "2 38400 254\n");
        s.quiet(kEsc);
        EXPECT_EQ(s.wait(), 0);
        EXPECT_TRUE(s.terminalCooked());
    }
    {
        // A new run reads the file back; the protocol starts at Auto Detect.
        Session s(dir);
        s.toMain("");
        EXPECT_EQ(s.toComm("1"), "1" + commScreen("COM3", 38400, 254, "Auto Detect"));
        // Choosing the value already set still counts as a change.
        ASSERT_EQ(unlink(dir.file("LINKORA.CFG").c_str()), 0);
        s.toComm("1");
        s.toComm("3");
        EXPECT_EQ(s.toMain("5"), onTerminal("5\nUpdating configuration file...\n") + mainScreen());
        EXPECT_EQ(readFile(dir.file("LINKORA.CFG")), "2 38400 254\n");
        s.process().send("4");
        EXPECT_EQ(s.wait(), 0);
    }
}

TEST(LinkoraProgram, UnitAddressEntries) {
    TempDir dir;
    Session s(dir);
    s.toMain("");
    s.toComm("1");
    struct Case {
        std::string typed;  // what is sent after '3'
        std::string shown;  // what the entry line shows
        int address;        // the address afterwards
        bool invalid;
    };
    const Case cases[] = {
        {"254\r", "254\n", 254, false},
        {"010\r", "010\n", 8, false},
        {"255\r", "255\n", 8, true},
        {"0\r", "0\n", 8, true},
        {"-1\r", "-1\n", 8, true},
        {"\r", "\n", 8, false},
        {"99" + kEsc, "99", 8, false},
        {"25\x7f"
         "4\r",
         "25\b \b4\n", 24, false},  // the terminal's DEL erases
        {"\x1b[D"
         "7\r",
         "7\n", 7, false},  // an arrow key is no character
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        s.keys("3", "= ");
        if (c.invalid) {
            EXPECT_EQ(s.keys(c.typed, "key...\r\n"),
                      onTerminal(c.shown + "Invalid unit address specified, press any key...\n"));
            EXPECT_EQ(s.toComm(" "), commScreen("COM1", 9600, c.address, "Auto Detect"));
        } else {
            EXPECT_EQ(s.toComm(c.typed), onTerminal(c.shown) + commScreen("COM1", 9600, c.address, "Auto Detect"));
        }
    }
    s.toMain("5");
    EXPECT_EQ(readFile(dir.file("LINKORA.CFG")), "0 9600 7\n");
    s.process().send(kEsc);
    EXPECT_EQ(s.wait(), 0);
}

TEST(LinkoraProgram, SpecialKeysDoNotExitButEscapeDoes) {
    TempDir dir;
    Session s(dir);
    s.toMain("");
    for (const std::string seq : {"\x1b[A", "\x1bOP", "\x1b[15~", "\x1b[1;5C"}) {
        SCOPED_TRACE(seq.substr(1));
        EXPECT_EQ(s.toMain(seq), mainScreen()) << "a special key is not echoed and does not exit";
    }
    s.toComm("1");
    EXPECT_EQ(s.toComm("\x1b[B"), onTerminal("\n") + commScreen("COM1", 9600, 1, "Auto Detect"));
    // ESC followed at once by an ordinary key is two keys: leave, then '1'.
    const std::string both = s.keys(kEsc + "1", onTerminal("Exit (ESC)\n\n   Choose Option: "));
    EXPECT_EQ(both, onTerminal("\n") + mainScreen() + "1" + commScreen("COM1", 9600, 1, "Auto Detect"));
    s.toMain("5");
    s.process().send(kEsc);
    EXPECT_EQ(s.wait(), 0);
    EXPECT_TRUE(s.terminalCooked()) << "the terminal is restored on exit";
}

TEST(LinkoraProgram, UnwritableSettingsFileEndsWithCodeThree) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("LINKORA.CFG").c_str(), 0755), 0);
    Session s(dir);
    s.toMain("");
    EXPECT_EQ(s.toComm("1"), "1" + commScreen("COM1", 9600, 1, "Auto Detect"));
    s.toComm("2");
    s.toComm("3");
    EXPECT_EQ(s.keys("5", "update...\r\n"),
              onTerminal("5\n") + "Not able to open configuration file for update...\r\r\n");
    EXPECT_EQ(s.wait(), 3);
    EXPECT_TRUE(s.terminalCooked()) << "the terminal is restored on exit code 3";
}

TEST(LinkoraProgram, SettingsLineThatCannotBeWrittenEndsWithCodeThree) {
    // The file opens, so the update is announced; the line then does not
    // reach the disk, and that ends the program as an unopenable file does.
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    TempDir dir;
    ASSERT_EQ(symlink("/dev/full", dir.file("LINKORA.CFG").c_str()), 0);
    Session s(dir);
    s.toMain("");
    s.toComm("1");
    s.toComm("1");
    s.toComm("2");
    EXPECT_EQ(s.keys("5", "update...\r\n"), onTerminal("5\nUpdating configuration file...\n") +
                                                "Not able to open configuration file for update...\r\r\n");
    EXPECT_EQ(s.wait(), 3);
    EXPECT_TRUE(s.terminalCooked());
}

TEST(LinkoraProgram, TerminationSignalRestoresTheTerminal) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        TempDir dir;
        Session s(dir);
        s.toMain("");
        ASSERT_TRUE(s.terminalRaw());
        kill(s.process().pid(), signalNumber);
        EXPECT_EQ(s.wait(), 128 + signalNumber);
        EXPECT_TRUE(s.terminalCooked());
    }
}

TEST(LinkoraProgram, PipedKeysDriveTheMenusAndEndOfInputEnds) {
    TempDir dir;
    std::string out;
    // Port COM3, unit 77 entered with LF as Enter; then end of input is ESC
    // for the Communication Menu (saving) and for the main menu (exit).
    EXPECT_EQ(testing_support::runProgram({LINKORA_BIN}, out, 20000, "113377\n", dir.path), 0);
    EXPECT_EQ(readFile(dir.file("LINKORA.CFG")), "2 9600 77\n");
    EXPECT_NE(out.find("\nUnit Address= 77\n"), std::string::npos) << out;
    EXPECT_NE(out.find("   1. Comm Port       : COM3\n   2. Baud Rate       : 9600\n   3. Unit Address    : 77\n"),
              std::string::npos);
    EXPECT_NE(out.find("Updating configuration file...\n" + kClear + kBanner + kMainMenu), std::string::npos);
    // Nothing at all on standard input: the program still ends.
    EXPECT_EQ(testing_support::runProgram({LINKORA_BIN}, out, 20000, "", dir.path), 0);
    EXPECT_EQ(out, kClear + kBanner + kMainMenu);
}

#else
TEST(LinkoraProgram, NotBuilt) { GTEST_SKIP() << "the linkora program is not part of this build"; }
#endif
