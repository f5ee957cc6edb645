// The unattended form as scripts and cron jobs use it: exit statuses by
// cause, one standard-error line per failure, the start and end lines, no
// carriage return in output that is not a terminal, long file names, --help.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <regex>

#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::PtyProcess;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::SimProcess;

namespace {

const std::string kData = std::string(LINKORA_TEST_DATA) + "/transfer/";

// linkora with standard output in `out` and standard error in `err`.
int runSplit(const std::vector<std::string>& args, const TempDir& dir, const std::vector<std::string>& env,
             std::string& out, std::string& err) {
    const std::string errPath = dir.file("stderr.txt");
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>\"$LINKORA_TEST_ERR\"", "sh", LINKORA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> fullEnv = env;
    fullEnv.push_back("LINKORA_TEST_ERR=" + errPath);
    const int status = testing_support::runProgram(argv, out, 90000, "", dir.path, fullEnv);
    err = readFile(errPath);
    return status;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A path of about a hundred characters, its folders made.
std::string longPath(const TempDir& dir) {
    const std::string folder = "backups-of-the-press-line-controllers/plant-north-hall-2";
    std::filesystem::create_directories(dir.file(folder));
    return folder + "/PLANT-2026-12-07-nightly-backup-before-the-shift-change.DAT";
}

struct Case {
    const char* name;
    std::optional<std::vector<std::string>> sim;  // simulator options; none: no simulator
    // The command line; "{dev}" stands for the simulator's device, "{dir}"
    // for the test folder.
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string stderrLine;   // "" for none; "{dev}" and "{dir}" as above
    std::string outputHolds;  // a text standard output holds, or ""
    std::function<void(const TempDir&)> setup = nullptr;
    std::string port = "{dev}";  // how the start line names the port
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string expand(std::string text, const std::string& dev, const std::string& dir) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{dev}", dev}, {"{dir}", dir}}) {
        for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    }
    return text;
}

const std::vector<std::string> kLoaded = {"--load", kData + "model4444.dat", "--reset-delay", "0"};

std::vector<std::string> withOptions(std::vector<std::string> options) {
    std::vector<std::string> all = kLoaded;
    all.insert(all.end(), options.begin(), options.end());
    return all;
}

const Case kCases[] = {
    {"UploadDone", kLoaded, {"u", "1", "{dev}", "9600", "UP.DAT"}, {}, 0, "", "Setpoints: "},
    {"DownloadVerifiedDone",
     kLoaded,
     {"d", "1", "{dev}", "9600", "PLANT.DAT", "N", "N", "Y"},
     {},
     0,
     "",
     "Verification passed.",
     [](const TempDir& dir) { writeFile(dir.file("PLANT.DAT"), readFile(kData + "model4444.dat")); }},
    {"ComPortNamesItsDevice",
     kLoaded,
     {"u", "1", "COM2", "9600", "UP.DAT"},
     {"LINKORA_COM2={dev}"},
     0,
     "",
     "",
     nullptr,
     "COM2 ({dev})"},
    {"VerificationFindsDifferences",
     withOptions({"--forget-default-program"}),
     {"d", "1", "{dev}", "9600", "PLANT.DAT", "N", "N", "Y"},
     {},
     6,
     "linkora: PLANT.DAT: verification found 1 difference(s)",
     "Default programs are different!",
     [](const TempDir& dir) { writeFile(dir.file("PLANT.DAT"), readFile(kData + "model4444.dat")); }},
    {"LongFileName", kLoaded, {"u", "1", "{dev}", "9600", "{long}"}, {}, 0, "", ""},
    {"PortMissing",
     std::nullopt,
     {"u", "1", "{dir}/ttyUSB9", "9600", "UP.DAT"},
     {},
     3,
     "linkora: {dir}/ttyUSB9: No such file or directory",
     "Error opening com port.  349",
     nullptr,
     "{dir}/ttyUSB9"},
    {"PortHeldByAnotherProgram",
     kLoaded,
     {"u", "1", "{dev}", "9600", "UP.DAT"},
     {},
     3,
     "linkora: {dev}: Device or resource busy",
     "Error opening com port.  349"},
    {"PortNotASerialLine",
     std::nullopt,
     {"d", "1", "{dir}/plain.txt", "9600", "plain.txt"},
     {},
     3,
     "linkora: {dir}/plain.txt: Inappropriate ioctl for device",
     "",
     [](const TempDir& dir) { writeFile(dir.file("plain.txt"), "2: 4444\r\n"); },
     "{dir}/plain.txt"},
    {"SelectedProtocolNoAnswer",
     withOptions({"--silent-after", "0"}),
     {"u", "1", "{dev}", "9600", "UP.DAT"},
     {"LINKORA_PROTOCOL=modbus"},
     4,
     "linkora: {dev}: no controller answered at unit 1 (MODBUS); check the baud rate, character format, unit "
     "address and cable",
     "No response: Nothing connected..."},
    // A wrong setting rehearsed: the simulator answers 19200 baud only.
    {"WrongBaudRate",
     withOptions({"--check-line", "--baud", "19200"}),
     {"u", "1", "{dev}", "9600", "UP.DAT"},
     {"LINKORA_PROTOCOL=modbus"},
     4,
     "linkora: {dev}: no controller answered at unit 1 (MODBUS); check the baud rate, character format, unit "
     "address and cable",
     ""},
    {"RightBaudRate", withOptions({"--check-line"}), {"u", "1", "{dev}", "9600", "UP.DAT"}, {}, 0, "", ""},
    {"AutoDetectFindsNothing",
     withOptions({"--silent-after", "0"}),
     {"u", "1", "{dev}", "9600", "UP.DAT"},
     {},
     4,
     "linkora: {dev}: no controller answered at unit 1 (neither MODBUS nor TVX Standard); check the baud rate, "
     "character format, unit address and cable",
     "Could not establish communications with the controller."},
    {"DownloadFileMissing",
     kLoaded,
     {"d", "1", "{dev}", "9600", "missing.dat"},
     {},
     5,
     "linkora: missing.dat: No such file or directory",
     "Can't open file!"},
    {"UploadFolderMissing",
     kLoaded,
     {"u", "1", "{dev}", "9600", "nowhere/UP.DAT"},
     {},
     5,
     "linkora: nowhere/UP.DAT: No such file or directory",
     "Can't open file!"},
    {"DownloadFileWithoutModel",
     kLoaded,
     {"d", "1", "{dev}", "9600", "nomodel.dat"},
     {},
     5,
     "linkora: nomodel.dat: no model number or map version line",
     "File format is incompatible.",
     [](const TempDir& dir) { writeFile(dir.file("nomodel.dat"), "; no model\r\n16: 1\r\n"); }},
    {"ControllerStopsAnswering",
     withOptions({"--silent-after", "12"}),
     {"u", "1", "{dev}", "9600", "UP.DAT"},
     {"LINKORA_PROTOCOL=modbus"},
     1,
     "linkora: {dev}: the line is lost; blocks that could not be read: 5, 18, setpoint count, 20 (no answer)",
     "Upload failed; the data file was not written."},
    {"TraceFolderMissing",
     kLoaded,
     {"u", "1", "{dev}", "9600", "UP.DAT"},
     {"LINKORA_TRACE={dir}/none/trace.log"},
     0,
     "linkora: {dir}/none/trace.log: No such file or directory",
     ""},
};

class Scripting : public testing::TestWithParam<Case> {};

// Exit status, standard error, the first and the last line, and no carriage
// return anywhere in output that goes to a pipe.
TEST_P(Scripting, StatusErrorLineStartAndEnd) {
    const Case& c = GetParam();
    TempDir dir;
    if (c.setup) c.setup(dir);
    std::optional<SimProcess> sim;
    if (c.sim) sim.emplace(dir, *c.sim);
    const std::string dev = sim ? sim->devicePath : "";
    const std::string fileName = c.args[4] == "{long}" ? longPath(dir) : expand(c.args[4], dev, dir.path);

    // Another program holding the line: an open descriptor with the lock.
    int holder = -1;
    if (std::string(c.name) == "PortHeldByAnotherProgram") {
        holder = open(dev.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }

    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(expand(arg, dev, dir.path));
    args[4] = fileName;
    std::vector<std::string> env;
    for (const std::string& e : c.env) env.push_back(expand(e, dev, dir.path));
    std::string out, err;
    const int status = runSplit(args, dir, env, out, err);
    if (holder >= 0) close(holder);

    EXPECT_EQ(status, c.status) << out << err;
    EXPECT_EQ(err, c.stderrLine.empty() ? "" : expand(c.stderrLine, dev, dir.path) + "\n") << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    if (!c.outputHolds.empty()) {
        EXPECT_NE(out.find(c.outputHolds), std::string::npos) << out;
    }

    const bool upload = args[0] == "u";
    const std::vector<std::string> shown = lines(out);
    ASSERT_GE(shown.size(), 2u) << out;
    const std::string port = expand(c.port, dev, dir.path);
    EXPECT_EQ(shown.front(), std::string("linkora: ") + (upload ? "upload from" : "download to") + " unit 1 on " +
                                 port + " at 9600 baud " + (upload ? "to " : "from ") + fileName)
        << out;
    const std::string direction = upload ? "upload" : "download";
    const std::string ending = c.status == 0
                                   ? direction + " done: [1-9][0-9]* blocks, [0-9]+ setpoints, "
                                   : direction + " failed \\(status " + std::to_string(c.status) + "\\) after ";
    EXPECT_TRUE(std::regex_match(shown.back(), std::regex("linkora: " + ending + "[0-9]+:[0-5][0-9]"))) << shown.back();
    if (c.status == 0 && upload) {
        EXPECT_TRUE(std::filesystem::exists(dir.file(fileName))) << fileName;
    }
}

INSTANTIATE_TEST_SUITE_P(Unattended, Scripting, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A wrong command line is named on standard error too.
TEST(ScriptingUsage, WrongCommandLineNamedOnStandardError) {
    TempDir dir;
    std::string out, err;
    EXPECT_EQ(runSplit({"u", "1", "COM1", "9601", "UP.DAT"}, dir, {}, out, err), 2);
    EXPECT_EQ(err, "linkora: command line: Invalid COM speed specified!\n") << out;
    EXPECT_EQ(runSplit({"u", "1", "COM1", "9600", "UP.DAT"}, dir, {"LINKORA_PROTOCOL=rtu"}, out, err), 2);
    EXPECT_EQ(err, "linkora: LINKORA_PROTOCOL: must be modbus or tvx, not \"rtu\"\n") << out;
}

// On a terminal the status line is redrawn in place and tells the phase, the
// block and the setpoints with the time left.
TEST(ScriptingTerminal, StatusLineRedrawnInPlace) {
    TempDir dir;
    SimProcess sim(dir, kLoaded);
    PtyProcess linkora({LINKORA_BIN, "u", "1", sim.devicePath, "9600", "UP.DAT"}, dir.path);
    const std::string screen = linkora.readUntil("linkora: upload done: ", 60000) + linkora.readQuiet();
    EXPECT_EQ(linkora.wait(10000), 0) << screen;
    EXPECT_NE(screen.find("\rreading: block 6, "), std::string::npos) << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex("\rreading: block 49, setpoints [0-9]+/[0-9]+, [0-9]+:[0-9]{2}")))
        << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex("\rreading: [0-9]+ blocks, [1-9][0-9]* setpoints, "))) << screen;
}

// The trace starts each run with the time, the version and the command line.
TEST(ScriptingTrace, HeaderLineNamesVersionAndCommandLine) {
    TempDir dir;
    SimProcess sim(dir, kLoaded);
    std::string out, err;
    const std::vector<std::string> env{"LINKORA_TRACE=" + dir.file("trace.log"), "LINKORA_PROTOCOL=modbus"};
    ASSERT_EQ(runSplit({"u", "1", sim.devicePath, "9600", "UP.DAT"}, dir, env, out, err), 0) << out << err;
    const std::vector<std::string> traced = lines(readFile(dir.file("trace.log")));
    ASSERT_FALSE(traced.empty());
    EXPECT_TRUE(std::regex_match(
        traced.front(), std::regex("# [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} linkora " + std::string(LINKORA_VERSION) +
                                   ": .*linkora u 1 " + sim.devicePath + " 9600 UP.DAT")))
        << traced.front();
}

// --help fits 80 columns and names every exit status and environment variable.
TEST(ScriptingHelp, FitsEightyColumnsAndNamesStatusesAndEnvironment) {
    TempDir dir;
    std::string out, err;
    ASSERT_EQ(runSplit({"--help"}, dir, {}, out, err), 0);
    for (const std::string& line : lines(out)) EXPECT_LT(line.size(), 80u) << line;
    for (const char* status : {"  0 ", "  1 ", "  2 ", "  3 ", "  4 ", "  5 ", "  6 ", "  7 ", "128+n"}) {
        EXPECT_NE(out.find(status), std::string::npos) << status;
    }
    for (const char* name : {"LINKORA_COM1", "LINKORA_PROTOCOL", "LINKORA_TRACE"}) {
        EXPECT_NE(out.find(name), std::string::npos) << name;
    }
}

}  // namespace

#endif
