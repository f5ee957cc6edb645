// linkora backup end to end: simulated lines with several controllers each,
// the real program and the real git.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::ChildProcess;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// No configured git identity: the backup brings its own.
const std::vector<std::string> kGitEnv = {"GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1"};

// A simulated line with its controllers, reached through a symbolic link.
struct Line {
    Line(const TempDir& dir, const std::string& name, std::vector<std::string> options) {
        link = dir.file(name);
        std::vector<std::string> argv{LINKORA_SIM_BIN, "--link", link, "--max-seconds", "240", "--reset-delay", "0.1"};
        argv.insert(argv.end(), options.begin(), options.end());
        const std::string out = dir.file(name + ".out");
        sim = std::make_unique<ChildProcess>(argv, out);
        device = testing_support::waitForFirstLine(out, 5000);
    }
    ~Line() {
        sim->kill(SIGTERM);
        sim->wait(3000);
    }
    std::string link;
    std::string device;
    std::unique_ptr<ChildProcess> sim;
};

int run(const std::vector<std::string>& args, std::string& output, const std::vector<std::string>& env = kGitEnv) {
    std::vector<std::string> argv{LINKORA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::runProgram(argv, output, 120000, "", "", env);
}

std::string git(const std::string& dir, const std::string& args) {
    std::string out;
    testing_support::runProgram({"/bin/sh", "-c", "git -C '" + dir + "' " + args}, out, 30000, "", "", kGitEnv);
    return out;
}

int commits(const std::string& dir) { return std::stoi("0" + git(dir, "rev-list --count HEAD 2>/dev/null")); }

bool hasLine(const std::string& output, const std::string& line) {
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

long long modified(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

TEST(Fleet, BacksUpTwoMultiDropLinesAndASilentOne) {
    TempDir dir;
    const std::string into = dir.file("backups");
    // Line A is named once by its link and once by its device: one port.
    Line a(dir, "lineA", {"--unit", "1", "--unit", "2", "--model", "4444"});
    Line b(dir, "lineB", {"--unit", "5", "--unit", "6"});
    Line silent(dir, "lineC", {"--silent-after", "0"});
    ASSERT_FALSE(a.device.empty());
    ASSERT_FALSE(b.device.empty());
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory,
              "# plant\n"
              "press-1 " +
                  a.link +
                  " 1 38400 modbus\n"
                  "press-2 " +
                  a.device +
                  " 2 38400 tvx   # the second unit on line A\n"
                  "\n"
                  "oven-5  " +
                  b.link +
                  " 5 38400 modbus 7N2\n"
                  "oven-6  " +
                  b.link +
                  " 6 38400\n"
                  "dead    " +
                  silent.link + " 1 38400 modbus\n");
    const std::vector<std::string> command{"backup", inventory, "--into", into, "--report", dir.file("r.jsonl")};

    // First run: all new, one commit, the silent line failed.
    std::string output;
    EXPECT_EQ(1, run(command, output)) << output;
    for (const char* name : {"press-1", "press-2", "oven-5", "oven-6"}) {
        EXPECT_TRUE(hasLine(output, std::string(name) + ": new")) << output;
    }
    EXPECT_TRUE(std::regex_search(output, std::regex("\ndead: failed: .*no controller answered"))) << output;
    EXPECT_EQ(1, commits(into));
    EXPECT_EQ("linkora backup: 0 changed, 4 new, 1 failed\n", git(into, "log -1 --format=%s"));
    EXPECT_EQ("oven-5.DAT\noven-6.DAT\npress-1.DAT\npress-2.DAT\n", git(into, "ls-files"));
    EXPECT_EQ("", git(into, "status --porcelain --untracked-files=all"));
    const std::string report = readFile(dir.file("r.jsonl"));
    EXPECT_TRUE(std::regex_search(
        report,
        std::regex(
            R"(\{"name":"press-2","port":"[^"]+","unit":2,"result":"new","reason":null,"status":0,"model":4444,"firmware":\d+,"setpoints":\d+,"changedValues":0,"seconds":[0-9.]+,"commit":"[0-9a-f]{40}"\})")))
        << report;
    EXPECT_TRUE(report.find(R"("name":"dead")") != std::string::npos &&
                report.find(R"("result":"failed","reason":")") != std::string::npos &&
                report.find(R"("status":4,"model":null)") != std::string::npos)
        << report;

    // Second run: nothing changed, no commit, the files untouched.
    const long long before = modified(into + "/press-1.DAT");
    EXPECT_EQ(1, run(command, output)) << output;
    for (const char* name : {"press-1", "press-2", "oven-5", "oven-6"}) {
        EXPECT_TRUE(hasLine(output, std::string(name) + ": unchanged")) << output;
    }
    EXPECT_EQ(1, commits(into));
    EXPECT_EQ(before, modified(into + "/press-1.DAT"));

    // A setpoint changed in one controller: that one changed, its change shown.
    std::string edited = readFile(into + "/oven-6.DAT");
    const std::size_t at = edited.find("\n49: ");
    ASSERT_NE(std::string::npos, at);
    const std::size_t end = edited.find_first_of(" ;", at + 5);
    const std::string oldLine = edited.substr(at + 1, end - at - 1);
    const std::size_t comma = oldLine.rfind(',') + 1;
    const std::string newLine = oldLine.substr(0, comma) + std::to_string(std::stoi(oldLine.substr(comma)) + 1);
    edited.replace(at + 1, oldLine.size(), newLine);
    writeFile(dir.file("edited.dat"), edited);
    std::string downloaded;
    ASSERT_EQ(0, run({"d", "6", b.link, "38400", dir.file("edited.dat")}, downloaded)) << downloaded;
    EXPECT_EQ(1, run(command, output)) << output;
    EXPECT_TRUE(hasLine(output, "oven-6: changed, 1 value\n  -" + oldLine + "\n  +" + newLine)) << output;
    EXPECT_TRUE(hasLine(output, "oven-5: unchanged")) << output;
    EXPECT_EQ(2, commits(into));
    EXPECT_EQ("oven-6.DAT\n", git(into, "show --name-only --format= HEAD"));
    EXPECT_EQ("linkora backup: 1 changed, 0 new, 1 failed\n\noven-6: changed, 1 value\n\n",
              git(into, "log -1 --format=%B"));
}

// A run while another runs on the same folder ends at once; without git no
// run begins.
TEST(Fleet, OneRunAtATimeAndGitNeeded) {
    TempDir dir;
    Line silent(dir, "line", {"--silent-after", "0"});
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory, "dead " + silent.link + " 1 38400 modbus\n");
    std::string output;
    EXPECT_EQ(5, run({"backup", inventory}, output, {"PATH=/nonexistent"})) << output;
    EXPECT_NE(std::string::npos, output.find("git")) << output;
    EXPECT_FALSE(exists(dir.file(".git")));

    std::vector<std::string> argv{
        "/usr/bin/env", "GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1", LINKORA_BIN, "backup", inventory};
    ChildProcess first(argv, dir.file("first.out"));
    // The first waits 3 s for the silent controller.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(5, run({"backup", inventory}, output)) << output;
    EXPECT_NE(std::string::npos, output.find(dir.path + " is locked by another backup run")) << output;
    EXPECT_EQ(1, first.wait(30000));
    EXPECT_EQ(0u, readFile(dir.file("first.out"))
                      .find("dead: failed: " + silent.link + ": no controller answered at unit 1 (MODBUS)"))
        << readFile(dir.file("first.out"));

    // Network ports are taken as written and handed to the upload.
    writeFile(inventory, "net rfc2217://127.0.0.1:1 1 9600\n");
    EXPECT_EQ(1, run({"backup", inventory}, output)) << output;
    EXPECT_EQ(0u, output.find("net: failed: ")) << output;
}

// Two hosts of one site back up different controllers into one shared
// remote; a push that failed is made by the next run.
TEST(Fleet, PushesToASharedRemote) {
    TempDir dir;
    Line line(dir, "line", {"--unit", "1", "--unit", "2"});
    const std::string remote = dir.file("site.git");
    git(dir.path, "init -q --bare " + remote);
    for (const char* host : {"host1", "host2"}) {
        git(dir.path, "clone -q " + remote + " " + dir.file(host) + " 2>/dev/null");
    }
    writeFile(dir.file("host1/plant.inventory"), "press-1 " + line.link + " 1 38400 modbus\n");
    writeFile(dir.file("host2/plant.inventory"), "press-2 " + line.link + " 2 38400 modbus\n");
    std::string output;
    EXPECT_EQ(0, run({"backup", dir.file("host1/plant.inventory"), "--push"}, output)) << output;
    EXPECT_EQ(1, commits(remote));

    // The remote out of reach: the commit stays local, status 1.
    ASSERT_EQ(0, ::rename(remote.c_str(), (remote + ".away").c_str()));
    EXPECT_EQ(1, run({"backup", dir.file("host2/plant.inventory"), "--push"}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-2: new")) << output;
    EXPECT_NE(std::string::npos, output.find("push failed")) << output;
    EXPECT_EQ(1, commits(dir.file("host2")));

    // Back in reach: nothing changed, but the branch is ahead; it goes on
    // top of host1's commit.
    ASSERT_EQ(0, ::rename((remote + ".away").c_str(), remote.c_str()));
    EXPECT_EQ(0, run({"backup", dir.file("host2/plant.inventory"), "--push"}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-2: unchanged")) << output;
    EXPECT_EQ(2, commits(remote));
    EXPECT_EQ("press-1.DAT\npress-2.DAT\n", git(remote, "ls-tree --name-only HEAD"));
    EXPECT_EQ(git(remote, "rev-parse HEAD"), git(dir.file("host2"), "rev-parse HEAD"));
}

struct BadInventory {
    const char* text;
    const char* error;  // after "INVENTORY:"
};

void PrintTo(const BadInventory& bad, std::ostream* out) { *out << bad.error; }

class FleetInventory : public ::testing::TestWithParam<BadInventory> {};

TEST_P(FleetInventory, IsRefusedByLineBeforeAnythingHappens) {
    TempDir dir;
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory, GetParam().text);
    std::string output;
    EXPECT_EQ(2, run({"backup", inventory}, output)) << output;
    EXPECT_NE(std::string::npos, output.find(inventory + ":" + GetParam().error)) << output;
    EXPECT_FALSE(exists(dir.file(".git")));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FleetInventory,
    ::testing::Values(
        BadInventory{"# a name that leaves the folder\n../press COM1 1 9600\n",
                     "2: error: name \"../press\" may not begin with '.'"},
        BadInventory{"a/b COM1 1 9600\n", "1: error: name \"a/b\" may hold only letters, digits, '.', '-' and '_'"},
        BadInventory{".hidden COM1 1 9600\n", "1: error: name \".hidden\" may not begin with '.'"},
        BadInventory{"press COM1 1 9600\n\npress COM2 1 9600 tvx\n",
                     "3: error: name \"press\" is used on line 1 already"},
        BadInventory{"press COM1 1 9600\noven udp://10.0.0.5:4001 1 9600\n",
                     "2: error: unknown port form \"udp://10.0.0.5:4001\""},
        BadInventory{"press ttyS0 1 9600\n", "1: error: unknown port form \"ttyS0\""},
        BadInventory{"press tcp://host 1 9600\n", "1: error: port \"tcp://host\" needs a host and a port number"},
        BadInventory{"press COM1 300 9600\n", "1: error: unit \"300\" out of range 0..255"},
        BadInventory{"press COM1 1 9601\n", "1: error: baud rate \"9601\" is not one of"},
        BadInventory{"press COM1 1 9600 rtu\n", "1: error: \"rtu\" is neither a protocol"},
        BadInventory{"press COM1 1 9600 tvx 8N1 x\n", "1: error: too many fields"},
        BadInventory{"press COM1 1\n", "1: error: too few fields"},
        BadInventory{"# nothing\n", " error: no controller listed"}));

}  // namespace

#endif
