// linkora backup end to end: simulated lines with several controllers each,
// the real program and the real git.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/modbus_frames.h"
#include "support/ser2net_server.h"
#include "support/sim_process.h"
#include "support/test_support.h"

#ifdef LINKORA_HAVE_PNG
#include <png.h>
#endif

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::ChildProcess;
using testing_support::readFile;
using testing_support::SimProcess;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// No configured git identity: the backup brings its own.
const std::vector<std::string> kGitEnv = {"GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1"};

// A simulated line with its controllers, reached through a symbolic link.
struct Line {
    Line(const TempDir& dir, const std::string& name, std::vector<std::string> options)
        : link(dir.file(name)),
          sim(dir, withLink(link, std::move(options)), name, SimProcess::Keep::Nothing),
          device(sim.devicePath) {}
    static std::vector<std::string> withLink(const std::string& link, std::vector<std::string> options) {
        options.insert(options.begin(), {"--link", link, "--reset-delay", "0.1"});
        return options;
    }
    std::string link;
    SimProcess sim;
    std::string device;
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

std::string hostName() {
    char host[256] = {0};
    ::gethostname(host, sizeof host - 1);
    return host;
}

long long modified(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

// One MODBUS request on a simulated line (":" hex LRC CR LF); its reply.
std::string modbusExchange(const std::string& device, std::initializer_list<int> bytes) {
    const std::string frame = testing_support::modbusFrame(bytes);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B38400);
        tcsetattr(fd, TCSANOW, &t);
    }
    testing_support::writeAll(fd, frame);
    const std::string reply = testing_support::readUntil(fd, "\n", 3000);
    ::close(fd);
    return reply;
}

// Register 340 of unit 1 as the controller answers: ":0103020001..." while
// it stands stopped, ":0103020000..." while it runs.
std::string stopRegister(const std::string& device) { return modbusExchange(device, {1, 3, 1, 0x53, 0, 1}); }

// A data file of `count` setpoints: past 300 the upload stops the
// controller while it reads them.
std::string manySetpoints(const TempDir& dir, int count) {
    std::string text = readFile(std::string(LINKORA_TEST_DATA) + "/transfer/model4444.dat");
    std::string kept;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("49:", 0) != 0) kept += line + "\n";
    }
    for (int i = 0; i < count; ++i) {
        kept += "49: " + std::to_string(i % 48 + 1) + "," + std::to_string(i % 16 + 1) + "," + std::to_string(i) + "," +
                std::to_string(i + 1) + "\n";
    }
    writeFile(dir.file("many.dat"), kept);
    return dir.file("many.dat");
}

// The number of the first request in a simulator's log that begins with
// `request` (1 the first request), or 0.
int requestNumber(const std::string& log, const std::string& request) {
    int number = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" RX ") == std::string::npos) continue;
        ++number;
        if (line.find(request) != std::string::npos) return number;
    }
    return 0;
}

// The run's record: the report's first line.
std::string runRecord(const std::string& report) { return report.substr(0, report.find('\n')); }

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
    EXPECT_EQ(".gitattributes\noven-5.DAT\noven-6.DAT\npress-1.DAT\npress-2.DAT\n", git(into, "ls-files"));
    EXPECT_EQ("", git(into, "status --porcelain --untracked-files=all"));
    const std::string report = readFile(dir.file("r.jsonl"));
    EXPECT_TRUE(std::regex_search(
        report,
        std::regex(
            R"(\{"name":"press-2","port":"[^"]+","unit":2,"result":"new","reason":null,"status":0,"stopped":false,"model":4444,"firmware":\d+,"setpoints":\d+,"changedValues":0,"seconds":[0-9.]+,"tries":1,"commit":"[0-9a-f]{40}","lastBackedUp":"20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ","stale":false,"approved":null\})")))
        << report;
    EXPECT_TRUE(std::regex_match(
        runRecord(report),
        std::regex(
            R"(\{"run": \{"started":"20[0-9T:-]+Z","ended":"20[0-9T:-]+Z","host":"[^"]+","inventory":")" + inventory +
            R"(","dir":")" + into +
            R"(","status":1,"reason":"1 failed","push":"off","controllers":5,"unchanged":0,"changed":0,"new":4,"failed":1,"stopped":0\}\})")))
        << report;
    EXPECT_TRUE(report.find(R"("name":"dead")") != std::string::npos &&
                report.find(R"("result":"failed","reason":")") != std::string::npos &&
                report.find(R"("status":4,"stopped":false,"model":null)") != std::string::npos)
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
    // A change line: the value line, then what it sets.
    auto named = [](const std::string& line) {
        return line + std::string(24 - line.size(), ' ') + "  program 1 channel 1";
    };
    const std::string changeLines = "\n  " + named("-" + oldLine) + "\n  " + named("+" + newLine);
    EXPECT_TRUE(hasLine(output, "oven-6: changed, 1 value" + changeLines)) << output;
    EXPECT_TRUE(hasLine(output, "oven-5: unchanged")) << output;
    EXPECT_EQ(2, commits(into));
    EXPECT_EQ("oven-6.DAT\n", git(into, "show --name-only --format= HEAD"));
    EXPECT_EQ("linkora backup: 1 changed, 0 new, 1 failed\n\nhost: " + hostName() + "\ninventory: " + inventory +
                  "\n\noven-6: changed, 1 value" + changeLines + "\n\n",
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
    // git's own messages follow the line that names the git command.
    EXPECT_NE(std::string::npos, output.find(": push failed: git fetch origin ended with status 128; the local history "
                                             "is as it was\nfatal: '" +
                                             remote +
                                             "' does not appear to be a git repository\nfatal: Could not "
                                             "read from remote repository.\n"))
        << output;
    EXPECT_EQ(1, commits(dir.file("host2")));

    // Back in reach: nothing changed, but the branch is ahead; it goes on
    // top of host1's commit.
    ASSERT_EQ(0, ::rename((remote + ".away").c_str(), remote.c_str()));
    EXPECT_EQ(0, run({"backup", dir.file("host2/plant.inventory"), "--push"}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-2: unchanged")) << output;
    EXPECT_EQ(2, commits(remote));
    EXPECT_EQ(".gitattributes\npress-1.DAT\npress-2.DAT\n", git(remote, "ls-tree --name-only HEAD"));
    EXPECT_EQ(git(remote, "rev-parse HEAD"), git(dir.file("host2"), "rev-parse HEAD"));
}

// The push on a remote that moved: a failed push puts the branch back with
// nothing lost, the next one rebases onto the remote; approvals go both ways
// and move, the newer tag of each name winning. No controller answers: the
// commits are made by hand and by linkora approve.
TEST(Fleet, PushRebasesOrPutsBackAndCarriesApprovals) {
    TempDir dir;
    const std::string remote = dir.file("site.git"), host1 = dir.file("host1"), host2 = dir.file("host2");
    const std::string id = "-c user.name=t -c user.email=t@localhost ";
    git(dir.path, "init -q --bare " + remote);
    git(dir.path, "clone -q " + remote + " " + host1 + " 2>/dev/null");
    writeFile(host1 + "/oven.DAT", "2: 4344\n");
    git(host1, id + "add oven.DAT && git -C '" + host1 + "' " + id + "commit -qm oven");
    git(host1, "push -q origin HEAD");
    git(dir.path, "clone -q " + remote + " " + host2);
    // The remote moves on: a second commit and an approval from host1.
    writeFile(host1 + "/oven.DAT", "2: 4344\n3: 1\n");
    git(host1, id + "commit -qam oven2 && git -C '" + host1 + "' " + id + "tag -a -m ok approved/oven HEAD");
    git(host1, "push -q origin HEAD refs/tags/approved/oven");
    const std::string moved = git(remote, "rev-parse HEAD");
    // host2: its own backup, approved.
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory, "press rfc2217://127.0.0.1:1 1 9600\n");
    writeFile(host2 + "/press.DAT", "2: 4344\n");
    git(host2, id + "add press.DAT && git -C '" + host2 + "' " + id + "commit -qm press");
    std::string output;
    ASSERT_EQ(0, run({"approve", inventory, "press", "--into", host2, "--by", "t"}, output)) << output;
    const std::string before = git(host2, "rev-parse HEAD");
    const std::vector<std::string> backup{"backup", inventory, "--into", host2, "--push", "--retries", "0"};

    // The remote takes no pack: the branch is put back, the remote as it was.
    git(remote, "config receive.maxInputSize 1");
    EXPECT_EQ(1, run(backup, output)) << output;
    EXPECT_NE(std::string::npos, output.find("push failed: git push origin ended with status")) << output;
    EXPECT_EQ(before, git(host2, "rev-parse HEAD"));
    EXPECT_EQ("2: 4344\n", readFile(host2 + "/press.DAT"));
    EXPECT_EQ("", git(host2, "status --porcelain -- press.DAT oven.DAT"));
    EXPECT_EQ(moved, git(remote, "rev-parse HEAD"));
    EXPECT_EQ("", git(remote, "tag -l approved/press"));
    // The remote's approval is taken all the same.
    EXPECT_EQ(git(remote, "rev-parse approved/oven"), git(host2, "rev-parse approved/oven"));

    // Taken: host2's commits on top of host1's, both approvals on both sides.
    git(remote, "config --unset receive.maxInputSize");
    EXPECT_EQ(1, run(backup, output)) << output;
    EXPECT_TRUE(
        hasLine(output, "linkora backup: pushed 2 commits and 1 approval to origin after a rebase onto 1 new there"))
        << output;
    EXPECT_EQ(git(host2, "rev-parse HEAD"), git(remote, "rev-parse HEAD"));
    EXPECT_EQ(moved, git(host2, "rev-parse HEAD~2"));
    EXPECT_EQ("oven.DAT\npress.DAT\n", git(host2, "ls-files"));
    EXPECT_EQ(git(host2, "rev-parse approved/press"), git(remote, "rev-parse approved/press"));

    // The approval moved on host1, later: host2 takes it.
    std::string made;
    testing_support::runProgram(
        {"/bin/sh", "-c",
         "cd '" + host1 +
             "' && git fetch -q origin 'refs/tags/*:refs/tags/*' && "
             "GIT_COMMITTER_DATE='2037-01-01T00:00:00' git " +
             id + "tag -f -a -m again approved/press HEAD && git push -q -f origin approved/press"},
        made, 30000, "", "", kGitEnv);
    const std::string again = git(remote, "rev-parse approved/press");
    ASSERT_NE(again, git(host2, "rev-parse approved/press")) << made;
    EXPECT_EQ(1, run(backup, output)) << output;
    EXPECT_EQ(again, git(host2, "rev-parse approved/press"));
    EXPECT_EQ(again, git(remote, "rev-parse approved/press"));
}

// A backup that is not a regular file is never opened nor committed; the
// other controllers are backed up.
struct Planted {
    const char* command;  // run in the backup folder, makes press-a.DAT
    const char* kind;
};

void PrintTo(const Planted& planted, std::ostream* out) { *out << planted.kind; }

class FleetPlanted : public ::testing::TestWithParam<Planted> {};

TEST_P(FleetPlanted, BackupIsLeftAlone) {
    TempDir dir;
    Line line(dir, "line", {"--unit", "1", "--unit", "2"});
    const std::string into = dir.file("backups");
    ASSERT_EQ(0, ::mkdir(into.c_str(), 0755));
    writeFile(dir.file("target"), "not a backup\n");
    std::string output;
    testing_support::runProgram({"/bin/sh", "-c", std::string("cd '") + into + "' && " + GetParam().command}, output);
    writeFile(dir.file("plant.inventory"),
              "press-a " + line.link + " 1 38400 modbus\npress-b " + line.link + " 2 38400 modbus\n");
    EXPECT_EQ(1, run({"backup", dir.file("plant.inventory"), "--into", into}, output)) << output;
    EXPECT_TRUE(hasLine(output, std::string("press-a: failed: press-a.DAT is ") + GetParam().kind +
                                    ", not a file; it is left alone; never backed up"))
        << output;
    EXPECT_TRUE(hasLine(output, "press-b: new")) << output;
    EXPECT_EQ(".gitattributes\npress-b.DAT\n", git(into, "ls-files"));
    EXPECT_EQ("not a backup\n", readFile(dir.file("target")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, FleetPlanted,
                         ::testing::Values(Planted{"ln -s ../target press-a.DAT", "a symbolic link"},
                                           Planted{"mkfifo press-a.DAT", "a FIFO"},
                                           Planted{"mkdir press-a.DAT", "a folder"}));

// Two hosts share a remote; what the other host pushed is inspected before
// this one rebases onto it.
struct Hostile {
    const char* command;  // run in the other host's folder, then committed
    const char* path;     // what it plants
    const char* entry;    // as the refusal names it
};

void PrintTo(const Hostile& hostile, std::ostream* out) { *out << hostile.entry; }

class FleetHostileRemote : public ::testing::TestWithParam<Hostile> {};

TEST_P(FleetHostileRemote, CommitIsRefusedBeforeAnythingIsCheckedOut) {
    TempDir dir;
    Line line(dir, "line", {"--unit", "1", "--unit", "2"});
    const std::string remote = dir.file("site.git");
    git(dir.path, "init -q --bare " + remote);
    git(dir.path, "clone -q " + remote + " " + dir.file("host1") + " 2>/dev/null");
    writeFile(dir.file("host1/plant.inventory"), "press-1 " + line.link + " 1 38400 modbus\n");
    std::string output;
    ASSERT_EQ(0, run({"backup", dir.file("host1/plant.inventory"), "--push"}, output)) << output;
    git(dir.path, "clone -q " + remote + " " + dir.file("host2"));
    writeFile(dir.file("host2/plant.inventory"), "press-2 " + line.link + " 2 38400 modbus\n");
    // The other host, or whoever holds its key, pushes something else.
    std::string made;
    testing_support::runProgram(
        {"/bin/sh", "-c",
         "cd '" + dir.file("host1") + "' && " + GetParam().command + " && git add " + GetParam().path +
             " && git -c user.name=x -c user.email=x@x commit -qm planted && "
             "git push -q origin HEAD"},
        made, 30000, "", "", kGitEnv);
    const std::string remoteHead = git(remote, "rev-parse HEAD");
    ASSERT_NE(remoteHead, git(dir.file("host1"), "rev-parse HEAD~1")) << made;

    EXPECT_EQ(1, run({"backup", dir.file("host2/plant.inventory"), "--push"}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-2: new")) << output;
    EXPECT_NE(std::string::npos, output.find("push refused: commit " + remoteHead.substr(0, 12) +
                                             " from origin holds " + GetParam().entry))
        << output;
    // Nothing checked out, the local history as it was.
    EXPECT_EQ("",
              git(dir.file("host2"), std::string("status --porcelain --untracked-files=all -- ") + GetParam().path));
    EXPECT_EQ(".gitattributes\npress-1.DAT\npress-2.DAT\n", git(dir.file("host2"), "ls-files"));
    EXPECT_EQ(2, commits(dir.file("host2")));
    EXPECT_EQ(remoteHead, git(remote, "rev-parse HEAD"));
    EXPECT_EQ(remoteHead, git(dir.file("host2"), "rev-parse @{upstream}"));
}

INSTANTIATE_TEST_SUITE_P(Entries, FleetHostileRemote,
                         ::testing::Values(Hostile{"ln -s ../.gitconfig oven-1.DAT", "oven-1.DAT",
                                                   "oven-1.DAT, a symbolic link"},
                                           Hostile{"mkdir sub && echo x >sub/a.DAT", "sub", "sub, a folder"},
                                           Hostile{"echo x >oven-2.DAT && chmod +x oven-2.DAT", "oven-2.DAT",
                                                   "oven-2.DAT, an executable file"},
                                           Hostile{"echo '* filter=x' >.gitattributes", ".gitattributes",
                                                   ".gitattributes, not the backup's own attributes"},
                                           Hostile{"rm .gitattributes && ln -s press-1.DAT .gitattributes",
                                                   ".gitattributes", ".gitattributes, a symbolic link"}));

// What would make git run a program of the folder's: refused before anything
// runs, the key or file named; nothing is uploaded.
struct Refused {
    const char* command;  // run in the backup folder after git init
    const char* text;     // what the run says
};

void PrintTo(const Refused& refused, std::ostream* out) { *out << refused.text; }

class FleetRefusedRepository : public ::testing::TestWithParam<Refused> {};

TEST_P(FleetRefusedRepository, RunsNothing) {
    TempDir dir;
    const std::string into = dir.file("backups");
    const std::string marker = dir.file("marker");
    writeFile(dir.file("program"), "#!/bin/sh\ntouch '" + marker + "'\n");
    ::chmod(dir.file("program").c_str(), 0755);
    std::string output;
    testing_support::runProgram({"/bin/sh", "-c",
                                 "git init -q '" + into + "' && cd '" + into + "' && PROGRAM='" + dir.file("program") +
                                     "' && " + GetParam().command},
                                output, 30000, "", "", kGitEnv);
    writeFile(dir.file("plant.inventory"), "press rfc2217://127.0.0.1:1 1 9600\n");
    EXPECT_EQ(5, run({"backup", dir.file("plant.inventory"), "--into", into, "--push"}, output)) << output;
    EXPECT_NE(std::string::npos, output.find(GetParam().text)) << output;
    EXPECT_EQ(std::string::npos, output.find("press:")) << output;
    EXPECT_FALSE(exists(marker));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, FleetRefusedRepository,
    ::testing::Values(Refused{"git config core.fsmonitor \"$PROGRAM\"", ".git/config sets core.fsmonitor, which"},
                      Refused{"git config core.hooksPath /tmp", ".git/config sets core.hookspath, which"},
                      Refused{"git config core.sshCommand \"$PROGRAM\"", ".git/config sets core.sshcommand, which"},
                      Refused{"git config include.path ../elsewhere", ".git/config sets include.path, which"},
                      Refused{"git config url.x.insteadOf y", ".git/config sets url.x.insteadof, which"},
                      Refused{"echo '* diff=x' >.git/info/attributes", "/.git/info/attributes is not taken"},
                      Refused{"git config diff.linkora.textconv \"$PROGRAM\"",
                              ".git/config sets diff.linkora.textconv to \""},
                      Refused{"printf '*.DAT diff=linkora\\n* filter=x\\n' >.gitattributes",
                              "/.gitattributes holds other than \"*.DAT diff=linkora\""},
                      Refused{"ln -s ../marker .gitattributes", "/.gitattributes is a symbolic link, not a file"},
                      Refused{"mv .git ../repo && ln -s ../repo .git", "/.git is a symbolic link, not a folder"},
                      Refused{"chmod 0777 .", "backups may be written by others (mode 0777, owner user"}));

// Hooks of the folder's and an fsmonitor of the user's own configuration
// never run; git's lock files left by a stopped run are removed.
TEST(Fleet, GitRunsNoHookAndStaleLocksGo) {
    TempDir dir;
    Line line(dir, "line", {});
    const std::string into = dir.file("backups");
    const std::string marker = dir.file("marker");
    writeFile(dir.file("program"), "#!/bin/sh\necho \"$0\" >>'" + marker + "'\n");
    ::chmod(dir.file("program").c_str(), 0755);
    writeFile(dir.file("gitconfig"), "[core]\n\tfsmonitor = " + dir.file("program") + "\n");
    std::string output;
    testing_support::runProgram({"/bin/sh", "-c",
                                 "git init -q '" + into + "' && cd '" + into +
                                     "/.git' && for h in pre-commit commit-msg post-commit; do cp ../../program "
                                     "hooks/$h; done && touch index.lock HEAD.lock && mkdir -p refs/heads && touch "
                                     "refs/heads/master.lock"},
                                output, 30000, "", "", kGitEnv);
    writeFile(dir.file("plant.inventory"), "press " + line.link + " 1 38400 modbus\n");
    EXPECT_EQ(0, run({"backup", dir.file("plant.inventory"), "--into", into}, output,
                     {"GIT_CONFIG_GLOBAL=" + dir.file("gitconfig"), "GIT_CONFIG_NOSYSTEM=1"}))
        << output;
    for (const char* name : {"index.lock", "HEAD.lock", "refs/heads/master.lock"}) {
        EXPECT_TRUE(
            hasLine(output, "linkora: " + into + ": removed .git/" + name + ", left behind by a git that was stopped"))
            << output;
    }
    EXPECT_TRUE(hasLine(output, "press: new")) << output;
    EXPECT_EQ(1, commits(into));
    EXPECT_FALSE(exists(marker)) << readFile(marker);
}

// A rebase that a stopped run left half done is aborted and the branch put
// back at the commit recorded before that push.
TEST(Fleet, StoppedRebaseIsUndone) {
    TempDir dir;
    std::string output;
    testing_support::runProgram(
        {"/bin/sh", "-c",
         "cd '" + dir.path +
             "' && git init -q && echo a >a.DAT && git add a.DAT && git commit -qm 1 && git checkout -qb other && "
             "echo b >a.DAT && git commit -qam 2 && git checkout -q master && echo c >a.DAT && git commit -qam 3 && "
             "git rev-parse HEAD >.linkora-backup.push && git rebase other"},
        output, 30000, "", "",
        {"GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1", "GIT_AUTHOR_NAME=x", "GIT_AUTHOR_EMAIL=x@x",
         "GIT_COMMITTER_NAME=x", "GIT_COMMITTER_EMAIL=x@x"});
    const std::string before = readFile(dir.file(".linkora-backup.push"));
    ASSERT_TRUE(exists(dir.file(".git/rebase-merge"))) << output;
    writeFile(dir.file("plant.inventory"), "press rfc2217://127.0.0.1:1 1 9600\n");
    EXPECT_EQ(1, run({"backup", dir.file("plant.inventory")}, output)) << output;
    EXPECT_TRUE(hasLine(output, "linkora: " + dir.path +
                                    ": a rebase left half done by a stopped run was aborted; the branch is back at " +
                                    before.substr(0, 12)))
        << output;
    EXPECT_EQ(before, git(dir.path, "rev-parse master"));
    EXPECT_EQ("refs/heads/master\n", git(dir.path, "symbolic-ref HEAD"));
    EXPECT_FALSE(exists(dir.file(".git/rebase-merge")));
    EXPECT_FALSE(exists(dir.file(".linkora-backup.push")));
}

// The children of a killed run end (an upload that would take a minute at
// its own pace), and keep the lock until they have.
TEST(Fleet, KilledRunLeavesNoChild) {
    TempDir dir;
    Line slow(dir, "line", {"--char-delay-ms", "20"});
    writeFile(dir.file("plant.inventory"), "press " + slow.link + " 1 38400 modbus\n");
    ChildProcess first({"/usr/bin/env", "GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1", LINKORA_BIN, "backup",
                        dir.file("plant.inventory")},
                       dir.file("first.out"));
    // The upload under way, a child of the run: linkora u ...
    std::vector<pid_t> children;
    const std::string list =
        "/proc/" + std::to_string(first.pid()) + "/task/" + std::to_string(first.pid()) + "/children";
    bool uploading = false;
    for (int i = 0; i < 200 && !uploading; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        children.clear();
        std::istringstream pids(readFile(list));
        for (pid_t pid; pids >> pid;) {
            children.push_back(pid);
            const std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
            uploading = uploading || cmdline.find(std::string("\0u\0", 3)) != std::string::npos;
        }
    }
    ASSERT_TRUE(uploading);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    first.kill(SIGKILL);
    first.wait(5000);
    auto alive = [](pid_t pid) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t paren = stat.rfind(')');
        return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
    };
    const int lock = ::open(dir.file(".linkora-backup.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    if (alive(children[0])) {
        EXPECT_NE(0, ::flock(lock, LOCK_EX | LOCK_NB)) << "the upload holds the lock";
    }
    for (pid_t pid : children) {
        for (int i = 0; i < 300 && alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(alive(pid)) << "child " << pid;
    }
    EXPECT_EQ(0, ::flock(lock, LOCK_EX | LOCK_NB));
    ::close(lock);
}

// A remote that accepts and never answers: the push ends at the time limit
// and the lock is free for the next run.
TEST(Fleet, SilentRemoteEndsAtTheGitTimeout) {
    TempDir dir;
    Line line(dir, "line", {});
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(server, 4));
    socklen_t size = sizeof address;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string url = "git://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/site.git";
    const std::string into = dir.file("backups");
    std::string output;
    testing_support::runProgram({"/bin/sh", "-c",
                                 "git init -q '" + into + "' && cd '" + into +
                                     "' && git commit -q --allow-empty -m first && git remote add origin " + url +
                                     " && git config branch.master.remote origin && git config branch.master.merge "
                                     "refs/heads/master"},
                                output, 30000, "", "",
                                {"GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1", "GIT_AUTHOR_NAME=x",
                                 "GIT_AUTHOR_EMAIL=x@x", "GIT_COMMITTER_NAME=x", "GIT_COMMITTER_EMAIL=x@x"});
    writeFile(dir.file("plant.inventory"), "press " + line.link + " 1 38400 modbus\n");
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(1, run({"backup", dir.file("plant.inventory"), "--into", into, "--push", "--git-timeout", "2"}, output))
        << output;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    EXPECT_NE(std::string::npos,
              output.find("linkora: " + into +
                          ": push failed: git fetch origin did not end within 2 s (--git-timeout); it was ended; the "
                          "local history is as it was"))
        << output;
    EXPECT_TRUE(hasLine(output, "press: new")) << output;
    EXPECT_EQ(2, commits(into));
    // Accepted, never answered; the lock is free at once.
    pollfd waiting{server, POLLIN, 0};
    EXPECT_EQ(1, ::poll(&waiting, 1, 0));
    EXPECT_EQ(0, run({"backup", dir.file("plant.inventory"), "--into", into}, output)) << output;
    ::close(server);
}

// A controller found stopped (it may hold an unfinished download) and one
// whose restart was not confirmed: backed up and committed, named, counted,
// status 1.
class FleetStopped : public ::testing::TestWithParam<bool> {};

TEST_P(FleetStopped, IsNamedCommittedAndReported) {
    const bool foundStopped = GetParam();
    TempDir dir;
    std::vector<std::string> options{"--protocol", "modbus"};
    std::string note = "the controller was found stopped: it may hold an unfinished download";
    if (!foundStopped) {
        // The upload stops it for its many setpoints; its restart is refused
        // twice.
        const std::string many = manySetpoints(dir, 301);
        int restart = 0;
        {
            Line probe(dir, "probe", {"--protocol", "modbus", "--load", many, "--log", dir.file("probe.log")});
            std::string output;
            ASSERT_EQ(0, run({"u", "1", probe.link, "38400", dir.file("probe.dat")}, output)) << output;
            restart = requestNumber(readFile(dir.file("probe.log")), ":011001530001020000");
        }
        ASSERT_GT(restart, 0);
        options.insert(options.end(),
                       {"--load", many, "--refuse-at", std::to_string(restart) + "," + std::to_string(restart + 1),
                        "--refuse-code", "3"});
        note = "its restart was not confirmed";
    }
    Line line(dir, "line", options);
    if (foundStopped) {
        ASSERT_EQ(0u, modbusExchange(line.device, {1, 16, 1, 0x53, 0, 1, 2, 0, 1}).find(":01100153"));
    }
    writeFile(dir.file("plant.inventory"), "press " + line.link + " 1 38400 modbus\n");
    std::string output;
    EXPECT_EQ(1, run({"backup", dir.file("plant.inventory"), "--report", dir.file("r.jsonl")}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press: new; " + note)) << output;
    EXPECT_NE(std::string::npos, output.find("1 new, 0 failed, 1 stopped,")) << output;
    EXPECT_EQ(".gitattributes\npress.DAT\n", git(dir.path, "ls-files"));
    const std::string report = readFile(dir.file("r.jsonl"));
    EXPECT_NE(std::string::npos, runRecord(report).find(R"("status":1,"reason":"1 found stopped or not restarted")"))
        << report;
    EXPECT_NE(std::string::npos, runRecord(report).find(R"("failed":0,"stopped":1}})")) << report;
    EXPECT_NE(std::string::npos, report.find(R"("result":"new","reason":null,"status":)" +
                                             std::string(foundStopped ? "8" : "9") + R"(,"stopped":true,)"))
        << report;
}

INSTANTIATE_TEST_SUITE_P(Both, FleetStopped, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FoundStopped" : "RestartNotConfirmed"; });

// A signal to the whole process group, as Ctrl-C or a stopped service
// sends it, during a long upload that stopped its controller: the upload
// takes its own way out once and restarts the controller; what finished is
// committed; status 128 + n.
class FleetGroupSignal : public ::testing::TestWithParam<int> {};

TEST_P(FleetGroupSignal, EndsTheRunAsOneSignalDoes) {
    TempDir dir;
    const std::string many = manySetpoints(dir, 320);
    Line slow(dir, "slow", {"--protocol", "modbus", "--load", many, "--char-delay-ms", "1", "--log", dir.file("log")});
    Line quick(dir, "quick", {});
    writeFile(dir.file("plant.inventory"),
              "press " + slow.link + " 1 38400 modbus\noven " + quick.link + " 1 38400 modbus\n");
    // The run leads a process group of its own, as under a terminal.
    ChildProcess backup({"/usr/bin/setsid", "/usr/bin/env", "GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1",
                         LINKORA_BIN, "backup", dir.file("plant.inventory"), "--report", dir.file("r.jsonl")},
                        dir.file("out"));
    // The moments: as the stop goes out, at the first setpoint read after
    // it, and a second later.
    const std::string stop = ":011001530001020001";
    for (int i = 0; i < 400 && readFile(dir.file("log")).find(stop) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_NE(std::string::npos, readFile(dir.file("log")).find(stop)) << readFile(dir.file("out"));
    std::this_thread::sleep_for(std::chrono::milliseconds(GetParam()));
    ::kill(-backup.pid(), SIGINT);
    EXPECT_EQ(128 + SIGINT, backup.wait(60000)) << readFile(dir.file("out"));
    const std::string output = readFile(dir.file("out"));
    EXPECT_TRUE(std::regex_search(output, std::regex("\npress: failed: "))) << output;
    EXPECT_TRUE(hasLine(output, "oven: new")) << output;
    EXPECT_EQ(".gitattributes\noven.DAT\n", git(dir.path, "ls-files"));
    EXPECT_EQ(":0103020000", stopRegister(slow.device).substr(0, 11)) << readFile(dir.file("log"));
    EXPECT_NE(std::string::npos,
              runRecord(readFile(dir.file("r.jsonl"))).find(R"("status":130,"reason":"ended by SIGINT")"))
        << readFile(dir.file("r.jsonl"));
}

INSTANTIATE_TEST_SUITE_P(Moments, FleetGroupSignal, ::testing::Values(0, 150, 1000));

// Every run past its command line writes its record: a good one, a locked
// one, one with a wrong inventory, one whose push failed.
TEST(Fleet, EveryRunWritesItsRecord) {
    TempDir dir;
    Line line(dir, "line", {});
    const std::string inventory = dir.file("plant.inventory");
    const std::string report = dir.file("r.jsonl");
    writeFile(inventory, "press " + line.link + " 1 38400 modbus\n");
    std::string output;
    auto record = [&] { return runRecord(readFile(report)); };
    EXPECT_EQ(0, run({"backup", inventory, "--report", report}, output)) << output;
    EXPECT_TRUE(std::regex_match(
        record(),
        std::regex(
            R"(\{"run": \{"started":"[^"]+Z","ended":"[^"]+Z","host":")" + hostName() + R"(","inventory":")" +
            inventory + R"(","dir":")" + dir.path +
            R"(","status":0,"reason":null,"push":"off","controllers":1,"unchanged":0,"changed":0,"new":1,"failed":0,"stopped":0\}\})")))
        << record();

    const int lock = ::open(dir.file(".linkora-backup.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(0, ::flock(lock, LOCK_EX | LOCK_NB));
    EXPECT_EQ(5, run({"backup", inventory, "--report", report}, output)) << output;
    ::close(lock);
    EXPECT_NE(std::string::npos, record().find(R"("status":5,"reason":")" + dir.path +
                                               R"( is locked by another backup run","push":"off","controllers":0,)"))
        << record();
    const std::string locked = readFile(report);
    EXPECT_EQ(1, std::count(locked.begin(), locked.end(), '\n')) << locked;

    EXPECT_EQ(1, run({"backup", inventory, "--report", report, "--push"}, output)) << output;
    EXPECT_NE(std::string::npos,
              record().find(
                  R"("status":1,"reason":"push failed","push":"failed: push failed: branch master has no upstream)"))
        << record();

    writeFile(inventory, "press tcp://a:b:4000 1 38400\n");
    EXPECT_EQ(2, run({"backup", inventory, "--report", report}, output)) << output;
    EXPECT_NE(std::string::npos,
              record().find(R"("status":2,"reason":")" + inventory + R"(:1: port \"tcp://a:b:4000\" needs a host)"))
        << record();

    // A report that cannot be written stops the run before any upload.
    EXPECT_EQ(5, run({"backup", inventory, "--report", dir.file("nowhere/r.jsonl")}, output)) << output;
    EXPECT_NE(std::string::npos, output.find("linkora: report: " + dir.file("nowhere"))) << output;
}

// A hand edit of a backup is kept beside it, out of git; the backup is
// again what the controller holds, and nothing of the edit is committed.
TEST(Fleet, HandEditIsKeptBeside) {
    TempDir dir;
    Line line(dir, "line", {});
    writeFile(dir.file("plant.inventory"), "press-a " + line.link + " 1 38400 modbus\n");
    std::string output;
    ASSERT_EQ(0, run({"backup", dir.file("plant.inventory")}, output)) << output;
    const std::string backup = readFile(dir.file("press-a.DAT"));
    const std::string edited = "; a note of the setter\n" + backup;
    writeFile(dir.file("press-a.DAT"), edited);
    EXPECT_EQ(0, run({"backup", dir.file("plant.inventory")}, output)) << output;
    std::smatch kept;
    ASSERT_TRUE(std::regex_search(output, kept,
                                  std::regex("(^|\n)press-a: unchanged; a hand edit of press-a.DAT was kept as "
                                             "(press-a\\.DAT\\.edited-\\d{8}-\\d{6})\n")))
        << output;
    EXPECT_EQ(edited, readFile(dir.file(kept[2])));
    EXPECT_EQ(backup, readFile(dir.file("press-a.DAT")));
    EXPECT_EQ(1, commits(dir.path));
    EXPECT_EQ("", git(dir.path, "status --porcelain --untracked-files=all -- 'press-a*'"));
}

// One port written three ways (an address, a name, COM2): the uploads run
// one after another, and a busy port or a silent controller gets a second
// try after the others.
TEST(Fleet, OneServerSpelledThreeWaysRunsInTurn) {
    if (!testing_support::haveSer2net()) GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    Line line(
        dir, "line",
        {"--baud", "9600", "--unit", "1", "--unit", "2", "--unit", "3", "--ignore-at", "1", "--log", dir.file("log")});
    testing_support::Ser2net server(dir, line.device);
    ASSERT_TRUE(server.ready) << readFile(dir.file("ser2net.out"));
    const std::string tcp = server.tcp();
    const std::string port = tcp.substr(tcp.rfind(':') + 1);
    writeFile(dir.file("plant.inventory"),
              "a " + tcp + " 1 9600 modbus\nb tcp://localhost:" + port + " 2 9600 modbus\nc COM2 3 9600 modbus\n");
    std::string output;
    EXPECT_EQ(0, run({"backup", dir.file("plant.inventory"), "--jobs", "3"}, output,
                     {"GIT_CONFIG_GLOBAL=/dev/null", "GIT_CONFIG_NOSYSTEM=1", "LINKORA_COM2=" + tcp}))
        << output;
    EXPECT_TRUE(hasLine(output, "a: new (second try)")) << output;
    EXPECT_TRUE(hasLine(output, "b: new")) << output;
    EXPECT_TRUE(hasLine(output, "c: new")) << output;
    // Each unit's requests in one stretch: b, c, then a again.
    std::string order;
    std::istringstream lines(readFile(dir.file("log")));
    for (std::string entry; std::getline(lines, entry);) {
        const std::size_t at = entry.find(" RX ");
        const std::size_t colon = entry.find(':', at == std::string::npos ? entry.size() : at);
        if (colon == std::string::npos || colon + 2 >= entry.size()) continue;
        const char unit = entry[colon + 2];
        if (order.empty() || order.back() != unit) order += unit;
    }
    EXPECT_EQ("1231", order) << readFile(dir.file("log"));
}

// A backup that no entry names any more is kept and named once.
TEST(Fleet, RenamedControllerKeepsItsOldBackup) {
    TempDir dir;
    Line line(dir, "line", {});
    writeFile(dir.file("plant.inventory"), "press-old " + line.link + " 1 38400 modbus\n");
    std::string output;
    ASSERT_EQ(0, run({"backup", dir.file("plant.inventory")}, output)) << output;
    writeFile(dir.file("plant.inventory"), "press-new " + line.link + " 1 38400 modbus\n");
    EXPECT_EQ(0, run({"backup", dir.file("plant.inventory")}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-old: not in the inventory; its backup is kept")) << output;
    EXPECT_TRUE(exists(dir.file("press-old.DAT")));
    EXPECT_EQ(".gitattributes\npress-new.DAT\npress-old.DAT\n", git(dir.path, "ls-files"));
}

struct BadInventory {
    std::string text;
    const char* error;  // after "INVENTORY:"
};

void PrintTo(const BadInventory& bad, std::ostream* out) { *out << bad.error; }

std::string manyControllers(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "c" + std::to_string(i) + " COM1 1 9600\n";
    return text;
}

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
        BadInventory{"press tcp://a:b:4000 1 9600\n", "1: error: port \"tcp://a:b:4000\" needs a host and a port"},
        BadInventory{"press rfc2217://[::1 1 9600\n", "1: error: port \"rfc2217://[::1\" needs a host and a port"},
        BadInventory{"press COM1 300 9600\n", "1: error: unit \"300\" out of range 0..255"},
        BadInventory{"press COM1 1 9601\n", "1: error: baud rate \"9601\" is not one of"},
        BadInventory{"press COM1 1 9600 rtu\n", "1: error: \"rtu\" is neither a protocol"},
        BadInventory{"press COM1 1 9600 tvx 8N1 x\n", "1: error: too many fields"},
        BadInventory{"press COM1 1\n", "1: error: too few fields"},
        BadInventory{"# nothing\n", " error: no controller listed"},
        BadInventory{std::string("press COM1\0 1 9600\n", 19), "1: error: a control character (0x00) in the line"},
        BadInventory{"press COM1 1 9600 # \x1b[2J\n", "1: error: a control character (0x1b) in the line"},
        BadInventory{manyControllers(10001), "10001: error: more than 10000 controllers"},
        BadInventory{std::string(1024 * 1024 + 1, '#'), " larger than 1 MiB (an inventory is at most 1 MiB"}));

// The plant's page after a backup, loaded in a headless browser from the
// file system: rows by attention, each linking to its page, a hostile reason
// shown as text, something drawn; a folder that is not linkora's is refused.
std::string chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (::access(path, X_OK) == 0) return path;
    return {};
}

int browse(const TempDir& dir, const std::string& page, const std::string& what, std::string& output) {
    const std::string profile = dir.file("profile-" + std::to_string(::rand()));
    ::mkdir(profile.c_str(), 0700);
    return testing_support::runProgram(
        {chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile, "--window-size=1200,900", what,
         "file://" + page},
        output, 60000);
}

#ifdef LINKORA_HAVE_PNG
// How many pixels of a PNG are not white; -1 when it cannot be read.
long inkedPixels(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return -1;
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0) return -1;
    long inked = 0;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) inked += (rgb[i] & rgb[i + 1] & rgb[i + 2]) != 255 ? 1 : 0;
    return inked;
}
#endif

TEST(Fleet, SiteShowsEveryControllerByAttention) {
    if (chromium().empty()) GTEST_SKIP() << "chromium missing (scripts/test.sh installs it)";
    TempDir dir;
    const std::string into = dir.file("backups"), site = dir.file("site"), report = dir.file("r.jsonl");
    Line a(dir, "lineA", {"--unit", "1", "--unit", "2"});
    Line silent(dir, "lineC", {"--silent-after", "0"});
    Line halted(dir, "lineS", {});
    // A controller standing stopped, as after an unfinished download.
    ASSERT_EQ(0u, modbusExchange(halted.device, {1, 16, 1, 0x53, 0, 1, 2, 0, 1}).find(":01100153"));
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory, "press-1 " + a.link + " 1 38400 modbus\npress-2 " + a.link + " 2 38400 modbus\ndead " +
                             silent.link + " 1 38400 modbus\nhalted " + halted.link + " 1 38400 modbus\n");
    const std::vector<std::string> command{"backup", inventory, "--into", into, "--report", report, "--site", site};
    std::string output;
    ASSERT_EQ(1, run(command, output)) << output;
    // press-1 approved, then one of its values changed: it differs from
    // the approved version.
    ASSERT_EQ(0, run({"approve", inventory, "press-1", "--into", into, "--by", "maintenance"}, output)) << output;
    ASSERT_EQ(0u, modbusExchange(a.device, {1, 16, 1, 0x31, 0, 1, 2, 0, 0}).find(":01100131"));

    // press-2 changed by a download, then backed up again.
    std::string edited = readFile(into + "/press-2.DAT");
    const std::size_t at = edited.find("\n49: ");
    ASSERT_NE(std::string::npos, at);
    const std::size_t end = edited.find_first_of(" ;", at + 5);
    const std::size_t comma = edited.rfind(',', end) + 1;
    edited.replace(comma, end - comma, std::to_string(std::stoi(edited.substr(comma, end - comma)) + 1));
    writeFile(dir.file("edited.dat"), edited);
    ASSERT_EQ(0, run({"d", "2", a.link, "38400", dir.file("edited.dat")}, output)) << output;
    ASSERT_EQ(1, run(command, output)) << output;
    EXPECT_TRUE(exists(site + "/press-2.DAT") && exists(site + "/press-2.html") && exists(site + "/site.css"));

    ASSERT_EQ(0, browse(dir, site + "/index.html", "--dump-dom", output)) << output;
    // By attention: stopped, failed, differs from approved, changed.
    const std::size_t stopped = output.find("<a href=\"halted.html\">halted</a>");
    const std::size_t dead = output.find("<a href=\"dead.html\">dead</a>");
    const std::size_t one = output.find("<a href=\"press-1.html\">press-1</a>");
    const std::size_t two = output.find("<a href=\"press-2.html\">press-2</a>");
    ASSERT_NE(std::string::npos, stopped) << output;
    EXPECT_TRUE(stopped < dead && dead < one && one < two && two != std::string::npos) << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("<tr class=\"stopped\"><td class=\"state\">stopped</td>")));
    EXPECT_TRUE(std::regex_search(output, std::regex("<tr class=\"failed\"><td class=\"state\">failed</td>")));
    EXPECT_TRUE(std::regex_search(output, std::regex("<tr class=\"differs\"><td class=\"state\">differs</td>")));
    EXPECT_TRUE(std::regex_search(output, std::regex("press-1\\.html.*differs, 1 value"))) << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("press-2\\.html.*changed, 1 value"))) << output;
    EXPECT_NE(std::string::npos, output.find("4 controllers, 1 unchanged, 2 changed, 0 new, 1 failed, 1 stopped"))
        << output;

    // A reason holding markup reaches the page as text.
    std::string text = readFile(report);
    // The first line is the run's record; the controllers' lines follow.
    const std::size_t reason = text.find("\"reason\":\"", text.find('\n'));
    ASSERT_NE(std::string::npos, reason) << text;
    text.insert(reason + 10, "<script>document.title='x'</script> in use ");
    writeFile(report, text);
    ASSERT_EQ(0, run({"site", inventory, "--into", into, "--report", report, "--out", site}, output)) << output;
    ASSERT_EQ(0, browse(dir, site + "/index.html", "--dump-dom", output)) << output;
    EXPECT_NE(std::string::npos, output.find("&lt;script&gt;document.title='x'&lt;/script&gt; in use")) << output;
    EXPECT_EQ(std::string::npos, output.find("<script")) << output;

#ifdef LINKORA_HAVE_PNG
    const std::string shot = dir.file("shot.png");
    browse(dir, site + "/press-2.html", "--screenshot=" + shot, output);
    EXPECT_GT(inkedPixels(shot), 5000) << output;
#endif

    // A folder linkora did not write is left as it is.
    const std::string other = dir.file("other");
    ::mkdir(other.c_str(), 0755);
    writeFile(other + "/keep.txt", "mine\n");
    EXPECT_EQ(5, run({"site", inventory, "--into", into, "--out", other}, output)) << output;
    EXPECT_EQ("mine\n", readFile(other + "/keep.txt"));
}

// The first setpoint of `file` one later, downloaded by hand to unit 1 on
// `link`: the controller then differs from the file in one value.
bool changeOneValue(const TempDir& dir, const std::string& file, const std::string& link) {
    std::string edited = readFile(file);
    const std::size_t at = edited.find("\n49: ");
    if (at == std::string::npos) return false;
    const std::size_t comma = edited.rfind(',', edited.find_first_of(" ;", at + 5));
    const std::size_t length = edited.find_first_of(" ;", comma) - comma - 1;
    edited.replace(comma + 1, length, std::to_string(std::stoi(edited.substr(comma + 1, length)) + 1));
    writeFile(dir.file("edited.dat"), edited);
    std::string output;
    return run({"d", "1", link, "38400", dir.file("edited.dat"), "N", "N", "Y"}, output) == 0;
}

// An approved version, then a change on the controller: each backup says how
// far it is from the approved one, and the report carries it, until the new
// version is approved.
TEST(Fleet, BackupSaysWhereTheControllerDiffersFromItsApprovedVersion) {
    TempDir dir;
    const std::string into = dir.file("backups");
    const std::string report = dir.file("report.json");
    Line a(dir, "lineA", {"--unit", "1", "--model", "4344"});
    ASSERT_FALSE(a.device.empty());
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory, "press-a " + a.link + " 1 38400 modbus\n");
    const std::vector<std::string> backup{"backup", inventory, "--into", into, "--report", report};
    std::string output;
    ASSERT_EQ(0, run(backup, output)) << output;
    EXPECT_NE(std::string::npos, readFile(report).find("\"approved\":null}")) << readFile(report);
    ASSERT_EQ(0, run({"approve", inventory, "press-a", "--into", into, "--by", "maintenance"}, output)) << output;
    const std::string approved = git(into, "rev-parse approved/press-a^{commit}").substr(0, 40);
    const std::string today = git(into, "log -1 --date=short --format=%ad").substr(0, 10);

    ASSERT_TRUE(changeOneValue(dir, into + "/press-a.DAT", a.link));
    const std::string suffix = "; differs from approved (1 value, approved " + today + " by maintenance)";
    ASSERT_EQ(0, run(backup, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-a: changed, 1 value" + suffix)) << output;
    EXPECT_TRUE(std::regex_search(readFile(report),
                                  std::regex("\"approved\":\\{\"commit\":\"" + approved +
                                             "\",\"date\":\"[0-9T:Z-]+\",\"by\":\"maintenance\",\"differs\":1\\}")))
        << readFile(report);
    // No change since the last backup: the lines against the approved version.
    ASSERT_EQ(0, run(backup, output)) << output;
    EXPECT_TRUE(std::regex_search(
        output, std::regex("press-a: unchanged" + std::regex_replace(suffix, std::regex("[()]"), "\\$&") +
                           "\n  -49: [^\n]+\n  \\+49: [^\n]+\n")))
        << output;

    ASSERT_EQ(0, run({"approve", inventory, "press-a", "--into", into, "--by", "maintenance"}, output)) << output;
    ASSERT_EQ(0, run(backup, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-a: unchanged")) << output;
    EXPECT_NE(std::string::npos, readFile(report).find("\"by\":\"maintenance\",\"differs\":0}")) << readFile(report);
}

// The pages as HTML5 by Debian's tidy: the index without a remark; a
// controller's page without an error, its only warnings those of tidy 5.6,
// which does not know the inline SVG's own attributes and style element.
TEST(Fleet, SitePagesAreValidHtml) {
    if (::access("/usr/bin/tidy", X_OK) != 0) GTEST_SKIP() << "tidy missing (scripts/test.sh installs it)";
    TempDir dir;
    const std::string into = dir.file("backups"), site = dir.file("site");
    git(dir.path, "init -q backups");
    const std::string text = readFile(std::string(LINKORA_TEST_DATA) + "/model4344_lt_analog.dat");
    writeFile(into + "/press.DAT", text + "; <script>alert(1)</script> & more\r\n");
    const std::string id = "-c user.name=t -c user.email=t@localhost ";
    git(into, id + "add press.DAT && git -C '" + into + "' " + id + "commit -qm one");
    writeFile(dir.file("plant.inventory"), "press COM1 1 9600\n");
    std::string output;
    ASSERT_EQ(0, run({"approve", dir.file("plant.inventory"), "press", "--into", into, "--by", "<m>"}, output))
        << output;
    writeFile(into + "/press.DAT", text);
    git(into, id + "commit -qam two");
    ASSERT_EQ(0, run({"site", dir.file("plant.inventory"), "--into", into, "--out", site}, output)) << output;
    EXPECT_EQ(0, testing_support::runProgram({"/usr/bin/tidy", "-q", "-e", site + "/index.html"}, output)) << output;
    EXPECT_EQ("", output);
    EXPECT_GT(2, testing_support::runProgram({"/usr/bin/tidy", "-q", "-e", site + "/press.html"}, output)) << output;
    std::istringstream remarks(output);
    for (std::string line; std::getline(remarks, line);) {
        EXPECT_TRUE(line.find(" - Warning: <svg> ") != std::string::npos ||
                    line.find(" - Warning: moved <style> tag to <head>") != std::string::npos)
            << line;
    }
}

// An older version back into its controller: the simulator then holds it and
// the history says so; a file of another model, or no --yes without a
// terminal, sends nothing.
TEST(Fleet, RestoresAnOlderVersion) {
    TempDir dir;
    const std::string into = dir.file("backups");
    Line a(dir, "lineA", {"--unit", "1", "--model", "4344"});
    ASSERT_FALSE(a.device.empty());
    const std::string inventory = dir.file("plant.inventory");
    writeFile(inventory, "press-a " + a.link + " 1 38400 modbus\n");
    std::string output;
    ASSERT_EQ(0, run({"backup", inventory, "--into", into}, output)) << output;
    const std::string first = git(into, "rev-parse --short=7 HEAD").substr(0, 7);

    // A changed value downloaded by hand and backed up: the second version.
    ASSERT_TRUE(changeOneValue(dir, into + "/press-a.DAT", a.link));
    ASSERT_EQ(0, run({"backup", inventory, "--into", into}, output)) << output;
    ASSERT_EQ(2, commits(into));
    const std::string restore[] = {"restore", inventory, "press-a", "--into", into, "--at", "HEAD~1"};

    EXPECT_EQ(2, run(std::vector<std::string>(std::begin(restore), std::end(restore)), output)) << output;
    EXPECT_TRUE(output.find("a restore needs --yes; nothing sent") != std::string::npos) << output;

    std::vector<std::string> yes(std::begin(restore), std::end(restore));
    yes.push_back("--yes");
    EXPECT_EQ(0, run(yes, output)) << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("Restore press-a as of [0-9-]+ [0-9:]+ \\(" + first.substr(0, 7) +
                                                     ", model 4344, [0-9]+ setpoints, 1 value differs from the "
                                                     "controller\\) to unit 1 on ")))
        << output;
    EXPECT_EQ("linkora restore: press-a as of " + first.substr(0, 7) + "\n", git(into, "log -1 --format=%s"));
    EXPECT_EQ("", git(into, "diff HEAD~2 HEAD -- press-a.DAT"));
    EXPECT_EQ("", git(into, "status --porcelain --untracked-files=all"));
    ASSERT_EQ(0, run({"backup", inventory, "--into", into}, output)) << output;
    EXPECT_TRUE(hasLine(output, "press-a: unchanged")) << output;

    // The restored version approved, then again: the tag moves, each approval
    // stays in the history.
    const std::string restored = git(into, "rev-parse HEAD");
    EXPECT_EQ(
        0, run({"approve", inventory, "press-a", "--into", into, "--by", "maintenance", "--why", "signed off"}, output))
        << output;
    EXPECT_EQ(restored, git(into, "rev-parse approved/press-a^{commit}"));
    EXPECT_EQ("linkora approve: press-a at " + restored.substr(0, 7) + " by maintenance\n\nsigned off\n\n",
              git(into, "log -1 --format=%B"));
    EXPECT_EQ(0, run({"approve", inventory, "--all", "--into", into, "--at", first, "--by", "maintenance"}, output))
        << output;
    EXPECT_EQ(git(into, "rev-parse " + first), git(into, "rev-parse approved/press-a^{commit}"));
    EXPECT_EQ("2\n", git(into, "log --oneline --grep='^linkora approve: ' | wc -l"));
    writeFile(inventory, "press-a " + a.link + " 1 38400 modbus\npress.lock " + a.link + " 2 38400\n");
    EXPECT_EQ(2, run({"approve", inventory, "press-a", "--into", into}, output)) << output;
    EXPECT_TRUE(output.find(":2: error: press.lock cannot name an approval") != std::string::npos) << output;
    writeFile(inventory, "press-a " + a.link + " 1 38400 modbus\n");

    // A version for another model: refused before anything is sent.
    std::string other = readFile(into + "/press-a.DAT");
    const std::size_t model = other.find("\n2: 4344");
    ASSERT_NE(std::string::npos, model) << other;
    other.replace(model + 4, 4, "4444");
    writeFile(into + "/press-a.DAT", other);
    git(into, "-c user.name=t -c user.email=t@localhost commit -qam other-model");
    const int before = commits(into);
    yes[6] = "HEAD";
    EXPECT_EQ(5, run(yes, output)) << output;
    EXPECT_TRUE(output.find("is for model 4444; the controller press-a is model 4344; nothing sent") !=
                std::string::npos)
        << output;
    EXPECT_TRUE(output.find("download to") == std::string::npos) << output;
    EXPECT_EQ(before, commits(into));
}

// Any two versions of a backup compared, the approved one among them; a
// version larger than a git call's usual 64 KiB of output is read whole; a
// revision is never taken for an option.
TEST(Fleet, DiffComparesVersionsOfTheHistory) {
    TempDir dir;
    const std::string into = dir.file("backups");
    git(dir.path, "init -q backups");
    const std::string many = readFile(manySetpoints(dir, 4000));
    ASSERT_GT(many.size(), 64u * 1024);
    writeFile(into + "/press.DAT", many);
    const std::string id = "-c user.name=t -c user.email=t@localhost ";
    git(into, id + "add press.DAT");
    git(into, id + "commit -qm one");
    writeFile(dir.file("plant.inventory"), "press COM1 1 9600\n");
    std::string output;
    ASSERT_EQ(0, run({"approve", dir.file("plant.inventory"), "press", "--into", into, "--by", "t"}, output)) << output;
    const std::string one = "\n49: 1,1,0,1\n";
    const std::size_t at = many.find(one);
    ASSERT_NE(std::string::npos, at);
    writeFile(into + "/press.DAT", many.substr(0, at) + "\n49: 1,1,0,2\n" + many.substr(at + one.size()));
    git(into, id + "commit -qam two");

    EXPECT_EQ(1, run({"diff", "press@approved", "press@HEAD", "--into", into}, output)) << output;
    EXPECT_EQ(0u, output.find("--- press@approved\n+++ press@HEAD\n")) << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("\n-49: 1,1,0,1 +program 1 channel 1   press@approved:[0-9]+\n"
                                                     "\\+49: 1,1,0,2 +program 1 channel 1   press@HEAD:[0-9]+\n")))
        << output;
    EXPECT_EQ(0, run({"diff", "--into", into, "press@HEAD~2", dir.file("many.dat")}, output)) << output;
    EXPECT_EQ(2, run({"diff", "press@--output=" + dir.file("x"), "press@HEAD", "--into", into}, output)) << output;
    EXPECT_NE(std::string::npos, output.find("press@--output=" + dir.file("x") + ": --output=")) << output;
    EXPECT_FALSE(exists(dir.file("x")));
    EXPECT_EQ(2, run({"diff", "oven@HEAD", "press@HEAD", "--into", into}, output)) << output;
    EXPECT_NE(std::string::npos, output.find("oven@HEAD: oven.DAT is not in commit ")) << output;
}

// Lines of a diff that add and that remove.
void countDiffLines(const std::string& diff, int& added, int& removed) {
    added = removed = 0;
    std::istringstream lines(diff);
    for (std::string line; std::getline(lines, line);) {
        added += line.rfind("+", 0) == 0 && line.rfind("+++", 0) != 0;
        removed += line.rfind("-", 0) == 0 && line.rfind("---", 0) != 0;
    }
}

// git shows a data file through linkora textconv: one inserted value shifts
// every line number after it, yet the change is one added line. A backup
// folder shows its data files so by itself: one value changed on the
// controller is one removed and one added line of git log -p.
TEST(Fleet, TextconvShowsOneLinePerChangedValue) {
    {
        TempDir dir;
        Line line(dir, "line", {});
        writeFile(dir.file("plant.inventory"), "press " + line.link + " 1 38400 modbus\n");
        std::string output;
        ASSERT_EQ(0, run({"backup", dir.file("plant.inventory")}, output)) << output;
        EXPECT_EQ("*.DAT diff=linkora\n", git(dir.path, "show HEAD:.gitattributes"));
        char self[PATH_MAX];
        ASSERT_NE(nullptr, ::realpath(LINKORA_BIN, self));
        EXPECT_EQ(std::string(self) + " textconv\n", git(dir.path, "config diff.linkora.textconv"));
        // The direction of increasing rotation from CW to CCW.
        ASSERT_EQ(0u, modbusExchange(line.device, {1, 16, 1, 0x31, 0, 1, 2, 0, 0}).find(":01100131"));
        ASSERT_EQ(0, run({"backup", dir.file("plant.inventory")}, output)) << output;
        EXPECT_NE(std::string::npos, ("\n" + output).find("\npress: changed, 1 value")) << output;
        const std::string log = git(dir.path, "log -p -1 --format= -- press.DAT");
        int added = 0, removed = 0;
        countDiffLines(log, added, removed);
        EXPECT_EQ(1, added) << log;
        EXPECT_EQ(1, removed) << log;
        EXPECT_NE(std::string::npos,
                  log.find("\n-17: 1 ; Direction of increasing rotation: 0=CCW, 1=CW\n+17: 0 ; Direction"))
            << log;
    }

    TempDir dir;
    const std::string repo = dir.file("repo");
    git(dir.path, "init -q repo");
    const std::string text = readFile(std::string(LINKORA_TEST_DATA) + "/model4344_lt_analog.dat");
    const std::size_t at = text.find("\n7: ");
    ASSERT_NE(std::string::npos, at);
    writeFile(repo + "/press-a.DAT", text);
    writeFile(repo + "/.gitattributes", "*.DAT diff=linkora\n");
    const std::string id = "-c user.name=t -c user.email=t@localhost ";
    git(repo, id + "add -A");
    git(repo, id + "commit -qm one");
    // The next line as the writer numbers it: every later number moves by one.
    std::string changed =
        text.substr(0, at + 1) + "7: 2,3,4             ;   6; Speed comp (.1mS): chn, leading, trailing\r\n";
    std::string rest = text.substr(at + 1);
    std::regex number("^([0-9][^;\r\n]*;\\s*)([0-9]+)(;)");
    std::string renumbered;
    std::istringstream lines(rest);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, number)) {
            line = m[1].str() + std::to_string(std::stoi(m[2].str()) + 1) + m[3].str() + m.suffix().str();
        }
        renumbered += line + "\n";
    }
    writeFile(repo + "/press-a.DAT", changed + renumbered);
    git(repo, id + "commit -qam two");
    const std::string log =
        git(repo, "-c diff.linkora.textconv='" + std::string(LINKORA_BIN) + " textconv' log -p -1 --format=");
    int added = 0, removed = 0;
    countDiffLines(log, added, removed);
    EXPECT_EQ(1, added) << log;
    EXPECT_EQ(0, removed) << log;
    EXPECT_TRUE(log.find("\n+7: 2,3,4 ; Speed comp (.1mS): chn, leading, trailing\n") != std::string::npos) << log;
}

}  // namespace

#endif
