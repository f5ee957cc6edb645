// The download's wait for the controller after its reset, timed from the
// simulator's log: one model request per attempt, one dot per failed
// attempt, the pause after the first failed attempt only.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::TempDir;
using transfer_test::runLinkora;
using transfer_test::SimProcess;

namespace {

struct LogLine {
    double firstSeconds;
    double lastSeconds;
    std::string direction;
    std::string text;
};

std::vector<LogLine> logLines(const std::string& log) {
    std::vector<LogLine> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        long long first = 0, last = 0, bytes = 0;
        LogLine l;
        fields >> first >> last >> l.direction >> bytes >> l.text;
        l.firstSeconds = static_cast<double>(first) / 1e6;
        l.lastSeconds = static_cast<double>(last) / 1e6;
        lines.push_back(l);
    }
    return lines;
}

}  // namespace

// A controller silent for 10 s after its reset is asked at 0 s, at 8 s (the
// 3 s time-out and the 5.001 s pause) and at 11 s, where it answers. After
// the first attempt each one begins with a request that brings the line back
// in step (another form each time), and the model request follows the one
// that is answered.
TEST(ResetWait, OneModelRequestPerAttemptAndOnePause) {
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "tvx", "--reset-delay", "10"});
    const std::vector<std::string> env{"LINKORA_PROTOCOL=tvx"};
    std::string output;
    ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "PLANT.DAT"}, output, dir.path, env), 0) << output;
    ASSERT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", "PLANT.DAT"}, output, dir.path, env, 40000), 0) << output;
    EXPECT_NE(output.find("Waiting for controller to reset.....\nFinalizing offsets...\n"), std::string::npos)
        << output;

    const std::vector<LogLine> lines = logLines(sim.log());
    double resetAnswered = -1;
    std::vector<double> modelRequests;
    std::vector<std::string> kinds;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (resetAnswered < 0) {
            if (lines[i].direction == "RX" && lines[i].text.rfind("!0109", 0) == 0 && i + 1 < lines.size())
                resetAnswered = lines[i + 1].lastSeconds;  // COM_RESET and its reply
            continue;
        }
        if (lines[i].direction != "RX") continue;
        if (lines[i].text.rfind("!0100", 0) == 0 || lines[i].text.rfind("!0101", 0) == 0 ||
            lines[i].text.rfind("!011BG00", 0) == 0) {  // COM_MODEL, COM_CHANNEL_QTY, COM_SPEED_COMP_VAL 0
            modelRequests.push_back(lines[i].firstSeconds - resetAnswered);
            kinds.push_back(lines[i].text.substr(0, 5));
        }
        if (modelRequests.size() == 4) break;
    }
    ASSERT_GE(resetAnswered, 0) << sim.log();
    ASSERT_EQ(modelRequests.size(), 4u) << sim.log();
    EXPECT_EQ(kinds, (std::vector<std::string>{"!0100", "!0101", "!011B", "!0100"})) << sim.log();
    EXPECT_LT(modelRequests[0], 0.5);
    EXPECT_GT(modelRequests[1], 8.0);
    EXPECT_LT(modelRequests[1], 8.8);
    EXPECT_GT(modelRequests[2], 11.0);
    EXPECT_LT(modelRequests[2], 12.0);
    EXPECT_LT(modelRequests[3] - modelRequests[2], 0.5);
}

// A signal during the wait ends the download with 128 + n: the controller
// holds the file, only the group offsets were not sent again.
TEST(ResetWait, SignalEndsTheWait) {
    TempDir dir;
    SimProcess sim(dir, {"--protocol", "tvx", "--reset-delay", "30"});
    std::string output;
    ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "PLANT.DAT"}, output, dir.path, {"LINKORA_PROTOCOL=tvx"}),
              0)
        << output;
    const std::string outPath = dir.file("d.out");
    setenv("LINKORA_PROTOCOL", "tvx", 1);
    testing_support::ChildProcess linkora({LINKORA_BIN, "d", "1", sim.devicePath, "9600", "PLANT.DAT"}, outPath,
                                          dir.path);
    unsetenv("LINKORA_PROTOCOL");
    for (int i = 0; i < 300 && testing_support::readFile(outPath).find("Waiting for controller") == std::string::npos;
         ++i)
        usleep(50000);
    linkora.kill(SIGTERM);
    EXPECT_EQ(linkora.wait(15000), 128 + SIGTERM) << testing_support::readFile(outPath);
    EXPECT_NE(testing_support::readFile(outPath).find("The controller holds the file"), std::string::npos);
}

#endif
