// linkora-sim as a program: its line, faults on demand, pacing, saved state.
#include <sys/stat.h>

#include <fstream>

#include "sim_fixture.h"

namespace simtest {
namespace {

class SimServer : public SimTest {};

const std::string kModelRequest = tvxLine("0100");
const std::string kModelReply = "A10F821\r";

TEST_F(SimServer, DropEveryAndSilentAfter) {
    {
        SimProcess sim({"--drop-every", "2"});
        RawLine raw(sim.devicePath);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r", 300), "");
        EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r", 300), "");
    }
    {
        SimProcess sim({"--silent-after", "0"});
        RawLine raw(sim.devicePath);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r", 300), "");
    }
    SimProcess sim({"--silent-after", "2"});
    RawLine raw(sim.devicePath);
    EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
    EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
    EXPECT_EQ(raw.exchange(kModelRequest, "\r", 300), "");
    EXPECT_EQ(raw.exchange(kModelRequest, "\r", 300), "");
}

TEST_F(SimServer, GarbageEveryCorruptsTheChecksum) {
    start({"--garbage-every", "2"});
    int v[8] = {};
    EXPECT_EQ(tvx(COM_MODEL, "", "W", v), COM_OK);
    EXPECT_EQ(tvx(COM_MODEL, "", "W", v), COM_BAD_BUFFER);
    EXPECT_EQ(tvx(COM_MODEL, "", "W", v), COM_OK);
    int value = 0;
    EXPECT_EQ(readReg(300, value), -1);  // the LRC is off
    EXPECT_EQ(readReg(300, value), 0);
    EXPECT_EQ(value, 4344);
}

TEST_F(SimServer, JunkAndOverlongLinesAreDiscarded) {
    start({});
    RawLine raw(sim_->devicePath);
    EXPECT_EQ(raw.exchange("hello\r\n", "\r", 200), "");
    EXPECT_EQ(raw.exchange(":" + std::string(600, '0') + "\r\n", "\n", 200), "");
    EXPECT_EQ(raw.exchange("!" + std::string(700, 'A') + "\r", "\r", 200), "");
    EXPECT_EQ(raw.exchange(":ZZ\r\n", "\n", 200), "");
    EXPECT_EQ(raw.exchange("!01\r", "\r", 200), "");
    EXPECT_EQ(raw.exchange(std::string("\x80\xff\x01", 3), "\r", 200), "");
    EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
}

TEST_F(SimServer, ClientMayCloseAndReopenTheLine) {
    start({});
    int v[8] = {};
    ASSERT_EQ(tvx(COM_MODEL, "", "W", v), COM_OK);
    serialPort.close();
    ASSERT_EQ(serialPort.openPath(sim_->devicePath, kFormat8N1, 9600), 0);
    ASSERT_EQ(tvx(COM_MODEL, "", "W", v), COM_OK);
    EXPECT_EQ(v[0], 4344);
}

struct LogLine {
    long long first = 0;
    long long last = 0;
    std::string direction;
    size_t bytes = 0;
};

std::vector<LogLine> readLog(const std::string& path) {
    std::vector<LogLine> lines;
    std::ifstream in(path);
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream fields(text);
        LogLine l;
        fields >> l.first >> l.last >> l.direction >> l.bytes;
        lines.push_back(l);
    }
    return lines;
}

TEST_F(SimServer, BaudPacingShowsInTheLog) {
    testing_support::TempDir dir;
    const std::string log = dir.file("traffic.log");
    {
        SimProcess sim({"--baud", "1200", "--log", log});
        RawLine raw(sim.devicePath);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
    }
    const std::vector<LogLine> lines = readLog(log);
    ASSERT_EQ(lines.size(), 2u);
    const long long eightChars = 8 * 10 * 1000000LL / 1200;  // 10 bits each at 1200 baud, in microseconds
    EXPECT_EQ(lines[0].direction, "RX");
    EXPECT_EQ(lines[0].bytes, 8u);
    EXPECT_GE(lines[0].last - lines[0].first, eightChars);
    EXPECT_EQ(lines[1].direction, "TX");
    // The reply is timed from the request's end: its last character cannot
    // leave before its eight characters' wire time has passed.
    EXPECT_GE(lines[1].first, lines[0].last);
    EXPECT_GE(lines[1].last - lines[0].last, eightChars);
}

TEST_F(SimServer, CharDelaySpacesTheReply) {
    testing_support::TempDir dir;
    const std::string log = dir.file("traffic.log");
    {
        SimProcess sim({"--char-delay-ms", "10", "--log", log});
        RawLine raw(sim.devicePath);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
    }
    const std::vector<LogLine> lines = readLog(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_GE(lines[1].last - lines[1].first, 6 * 10000);  // seven gaps, one of slack
}

TEST_F(SimServer, SavedStateReloadsIdentically) {
    testing_support::TempDir dir;
    for (const char* model : {"4344", "4444"}) {
        const std::string first = dir.file(std::string("first") + model + ".dat");
        const std::string second = dir.file(std::string("second") + model + ".dat");
        {
            SimProcess sim({"--model", model, "--save", first});
            ASSERT_FALSE(sim.devicePath.empty());
            EXPECT_EQ(sim.stop(), 0);
        }
        start({"--load", first, "--save", second});
        // A loaded 4444 answers with the counts of the file.
        int v[8] = {3, 5};
        if (std::string(model) == "4444") {
            ASSERT_EQ(tvx(COM_SHIFT_COUNT, "GBB", "W", v), COM_OK);
            EXPECT_EQ(v[0], 17);
        }
        serialPort.close();
        EXPECT_EQ(sim_->stop(), 0);
        const std::string a = testing_support::readFile(first);
        EXPECT_NE(a.find("49: 6,16,270,300"), std::string::npos) << model;
        EXPECT_EQ(withoutDate(a), withoutDate(testing_support::readFile(second))) << model;
    }
}

TEST_F(SimServer, LoadsAFileWithADesignation) {
    testing_support::TempDir dir;
    const std::string file = dir.file("kr55.dat");
    testing_support::writeFile(file,
                               "; a hand-made file\r\n"
                               "2: KR55              ;   1; Model\r\n"
                               "4: 24                ;   2; Output quantity\r\n"
                               "6: 4                 ;   3; Default Program\r\n"
                               "49: 2,24,5,6         ;   4; \r\n");
    start({"--load", file});
    int v[8] = {};
    ASSERT_EQ(tvx(COM_MODEL, "", "W", v), COM_OK);
    EXPECT_EQ(v[0], 4355);
    ASSERT_EQ(tvx(COM_CHANNEL_QTY, "", "B", v), COM_OK);
    EXPECT_EQ(v[0], 24);
    v[0] = 0;
    ASSERT_EQ(tvx(COM_GET_SPT_2, "W", "WBWW", v), COM_OK);
    EXPECT_EQ((std::vector<int>(v, v + 4)), (std::vector<int>{1, 23, 5, 6}));
    int program = 0;
    ASSERT_EQ(readReg(271, program), 0);
    EXPECT_EQ(program, 4);
}

TEST_F(SimServer, CommandLine) {
#ifdef LINKORA_SIM_BIN
    std::string output;
    EXPECT_EQ(testing_support::runProgram({LINKORA_SIM_BIN, "--help"}, output, 10000), 0);
    EXPECT_NE(output.find("--dummy-first-read"), std::string::npos);
    EXPECT_NE(output.find("--garbage-every"), std::string::npos);
    EXPECT_EQ(testing_support::runProgram({LINKORA_SIM_BIN, "--version"}, output, 10000), 0);
    EXPECT_EQ(output, "linkora-sim " LINKORA_VERSION "\n");
    EXPECT_EQ(testing_support::runProgram({LINKORA_SIM_BIN, "--bogus"}, output, 10000), 2);
    EXPECT_EQ(testing_support::runProgram({LINKORA_SIM_BIN, "--unit", "0"}, output, 10000), 2);
    testing_support::TempDir dir;
    const std::string noModel = dir.file("nomodel.dat");
    testing_support::writeFile(noModel, "4: 16\r\n");
    EXPECT_EQ(testing_support::runProgram({LINKORA_SIM_BIN, "--load", noModel}, output, 10000), 2);
    // --max-seconds ends the run by itself.
    EXPECT_EQ(testing_support::runProgram({LINKORA_SIM_BIN, "--max-seconds", "0.2"}, output, 10000), 0);
    EXPECT_EQ(output.rfind("/dev/", 0), 0u);
#endif
}

TEST_F(SimServer, LinkNamesTheLine) {
    testing_support::TempDir dir;
    const std::string link = dir.file("controller");
    {
        SimProcess sim({"--link", link});
        ASSERT_FALSE(sim.devicePath.empty());
        char target[256] = {0};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.devicePath, target);
        RawLine raw(link);
        EXPECT_EQ(raw.exchange(kModelRequest, "\r"), kModelReply);
    }
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0);  // removed at exit
}

}  // namespace
}  // namespace simtest
