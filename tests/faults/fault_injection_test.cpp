// End-to-end runs of the unattended command line against a simulator that
// drops requests, garbles replies, falls silent, sends slowly or disappears.
// Whatever happens, linkora ends within its time-outs with status 0 and a
// complete file, or with status 1, a message and the operator's files as
// they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "faults/fault_fixture.h"

namespace {

using faults::Child;
using faults::Sim;
using testing_support::TempDir;

// Status, output and time of one unattended run.
struct Outcome {
    int status = -2;
    std::string output;
    double seconds = 0;
};

Outcome upload(const Sim& sim, const TempDir& dir, const std::string& file, int timeoutMs = 60000) {
    Outcome run;
    const auto start = faults::Clock::now();
    run.status = faults::runLinkora({"u", "1", sim.devicePath, "9600", file}, dir.path, run.output, timeoutMs);
    run.seconds = faults::secondsSince(start);
    return run;
}

Outcome download(const Sim& sim, const TempDir& dir, const std::string& file, int timeoutMs = 60000) {
    Outcome run;
    const auto start = faults::Clock::now();
    run.status = faults::runLinkora({"d", "1", sim.devicePath, "9600", file}, dir.path, run.output, timeoutMs);
    run.seconds = faults::secondsSince(start);
    return run;
}

// The value lines an undisturbed upload of the built-in controller gives
// in a protocol ("" for Auto Detect's choice).
const std::vector<std::string>& referenceLines(const std::string& protocol = "") {
    static std::map<std::string, std::vector<std::string>> lines;
    auto found = lines.find(protocol);
    if (found != lines.end()) return found->second;
    Sim sim(protocol.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--protocol", protocol});
    TempDir dir;
    const Outcome run = upload(sim, dir, "REF.DAT");
    EXPECT_EQ(run.status, 0) << run.output;
    return lines[protocol] = faults::valueLines(testing_support::readFile(dir.file("REF.DAT")));
}

// A data file of the built-in controller for the downloads.
std::string referenceFile() {
    static const std::string text = [] {
        Sim sim({});
        TempDir dir;
        EXPECT_EQ(upload(sim, dir, "REF.DAT").status, 0);
        return testing_support::readFile(dir.file("REF.DAT"));
    }();
    return text;
}

const std::string kPrecious = "; the operator's own file\r\n2: 4344\r\n";

// The outcome every faulty upload must have: a complete file and status 0,
// or status 1 with the old file untouched; never a temporary file left over.
void expectCompleteOrUntouched(const Outcome& run, const TempDir& dir, const std::string& protocol = "") {
    ASSERT_NE(run.status, -1) << "linkora had to be killed\n" << run.output;
    const std::string now = testing_support::readFile(dir.file("A.DAT"));
    if (run.status == 0) {
        EXPECT_EQ(faults::valueLines(now), referenceLines(protocol))
            << "status 0 but the file is not the controller's\n"
            << run.output;
    } else {
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(now, kPrecious) << "a failed upload changed the file";
        EXPECT_NE(run.output.find("failed"), std::string::npos) << run.output;
    }
    EXPECT_EQ(faults::folderEntries(dir.path), std::vector<std::string>{"A.DAT"});
}

TEST(UploadUnderFaults, GarbledRepliesNeverGiveAnIncompleteFile) {
    ASSERT_FALSE(referenceLines().empty());
    for (const char* protocol : {"modbus", "tvx"}) {
        SCOPED_TRACE(protocol);
        Sim sim({"--protocol", protocol, "--garbage-every", "3"});
        TempDir dir;
        testing_support::writeFile(dir.file("A.DAT"), kPrecious);
        expectCompleteOrUntouched(upload(sim, dir, "A.DAT"), dir, protocol);
    }
}

TEST(UploadUnderFaults, DroppedRequests) {
    ASSERT_FALSE(referenceLines().empty());
    for (const char* every : {"7", "60"}) {
        SCOPED_TRACE(every);
        Sim sim({"--protocol", "modbus", "--drop-every", every});
        TempDir dir;
        testing_support::writeFile(dir.file("A.DAT"), kPrecious);
        const Outcome run = upload(sim, dir, "A.DAT");
        expectCompleteOrUntouched(run, dir, "modbus");
        // Each dropped request costs one 3 s time-out, and there are few.
        EXPECT_LT(run.seconds, 45) << run.output;
    }
}

TEST(UploadUnderFaults, SilentControllerFailsAndKeepsTheFile) {
    Sim sim({"--protocol", "modbus", "--silent-after", "40"});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), kPrecious);
    const Outcome run = upload(sim, dir, "A.DAT");
    EXPECT_EQ(run.status, 1) << run.output;
    expectCompleteOrUntouched(run, dir);
    EXPECT_LT(run.seconds, 30) << run.output;
}

TEST(UploadUnderFaults, SlowCharactersWithinTheTimeOutStillGiveTheWholeFile) {
    ASSERT_FALSE(referenceLines().empty());
    Sim sim({"--protocol", "modbus", "--char-delay-ms", "1"});
    TempDir dir;
    const Outcome run = upload(sim, dir, "A.DAT");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(faults::valueLines(testing_support::readFile(dir.file("A.DAT"))), referenceLines());
    EXPECT_EQ(faults::folderEntries(dir.path), std::vector<std::string>{"A.DAT"});
}

TEST(UploadUnderFaults, ControllerVanishingMidTransferFailsAndKeepsTheFile) {
    Sim sim({"--protocol", "modbus", "--char-delay-ms", "1"});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), kPrecious);
    const auto start = faults::Clock::now();
    Child linkora({LINKORA_BIN, "u", "1", sim.devicePath, "9600", "A.DAT"}, sim.file("linkora.out"), dir.path);
    ASSERT_TRUE(sim.waitForRequests(40, 20000));
    sim.stop(SIGKILL);

    Outcome run;
    run.status = linkora.wait(60000);
    run.seconds = faults::secondsSince(start);
    run.output = testing_support::readFile(sim.file("linkora.out"));
    EXPECT_EQ(run.status, 1) << run.output;
    expectCompleteOrUntouched(run, dir);
}

TEST(UploadUnderFaults, ControllerVanishingDuringTheSetpointsFailsAndKeepsTheFile) {
    // A controller with 2000 setpoints: the line goes away while they are read.
    std::string big = referenceFile();
    ASSERT_FALSE(big.empty());
    std::string lines;
    for (int i = 0; i < 2000; ++i) {
        const int k = i / 128;
        lines += "49: " + std::to_string(1 + i % 8) + "," + std::to_string(1 + (i / 8) % 16) + "," +
                 std::to_string(k * 20) + "," + std::to_string(k * 20 + 10) + "\r\n";
    }
    big += lines;
    TempDir source;
    testing_support::writeFile(source.file("BIG.DAT"), big);
    Sim sim({"--protocol", "modbus", "--char-delay-ms", "1", "--load", source.file("BIG.DAT")});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), kPrecious);
    Child linkora({LINKORA_BIN, "u", "1", sim.devicePath, "9600", "A.DAT"}, sim.file("linkora.out"), dir.path);
    ASSERT_TRUE(sim.waitForRequests(600, 60000));
    sim.stop(SIGKILL);

    Outcome run;
    run.status = linkora.wait(120000);
    run.output = testing_support::readFile(sim.file("linkora.out"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(testing_support::readFile(dir.file("A.DAT")), kPrecious) << "the upload replaced the file";
    EXPECT_EQ(faults::folderEntries(dir.path), std::vector<std::string>{"A.DAT"});
}

TEST(DownloadUnderFaults, ControllerVanishingEndsTheDownloadPromptly) {
    const std::string file = referenceFile();
    ASSERT_FALSE(file.empty());
    Sim sim({"--protocol", "modbus", "--char-delay-ms", "1"});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), file);
    Child linkora({LINKORA_BIN, "d", "1", sim.devicePath, "9600", "A.DAT"}, sim.file("linkora.out"), dir.path);
    // Request 60 falls into the per-channel blocks.
    ASSERT_TRUE(sim.waitForRequests(60, 20000));
    const auto vanished = faults::Clock::now();
    sim.stop(SIGKILL);

    Outcome run;
    run.status = linkora.wait(120000);
    run.seconds = faults::secondsSince(vanished);
    run.output = testing_support::readFile(sim.file("linkora.out"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Download failed"), std::string::npos) << run.output;
    // A vanished line is noticed after a few time-outs of 3 s, not one per
    // channel or setpoint still to send.
    EXPECT_LT(run.seconds, 25) << run.output;
    // The download only reads the data file.
    EXPECT_EQ(testing_support::readFile(dir.file("A.DAT")), file);
    EXPECT_EQ(faults::folderEntries(dir.path), std::vector<std::string>{"A.DAT"});
}

TEST(DownloadUnderFaults, GarbledRepliesAreReportedOrTheControllerHoldsTheFile) {
    std::string file = referenceFile();
    ASSERT_FALSE(file.empty());
    // Values the controller does not hold yet, so that a download reporting
    // success can be checked against what the controller holds afterwards.
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"\n6: 3 ", "\n6: 2 "}, {"\n9: 2,120 ", "\n9: 2,121 "}}) {
        const std::size_t at = file.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        file.replace(at, from.size(), to);
    }
    Sim sim({"--protocol", "modbus", "--garbage-every", "4", "--reset-delay", "0.2"});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), file);
    const Outcome run = download(sim, dir, "A.DAT");
    ASSERT_NE(run.status, -1) << run.output;
    sim.stop();
    if (run.status == 0) {
        const std::vector<std::string> held = faults::valueLines(testing_support::readFile(sim.statePath));
        for (const std::string& line : faults::valueLines(file)) {
            if (line.rfind("3:", 0) == 0) continue;  // the firmware revision is the controller's own
            EXPECT_NE(std::find(held.begin(), held.end(), line), held.end())
                << "status 0 but the controller does not hold \"" << line << "\"\n"
                << run.output;
        }
    } else {
        EXPECT_EQ(run.status, 1) << run.output;
    }
}

// A signal while the group offsets go out again after the reset: coil 316,
// switched on for them, is off again when the download ends.
TEST(DownloadUnderFaults, SignalDuringTheFinalOffsetsLeavesCoil316Off) {
    const std::string file = referenceFile();
    ASSERT_FALSE(file.empty());
    Sim sim({"--protocol", "modbus", "--char-delay-ms", "2", "--reset-delay", "0"});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), file);
    Child linkora({LINKORA_BIN, "d", "1", sim.devicePath, "9600", "A.DAT"}, sim.file("linkora.out"), dir.path);
    // The simulator's log names each request it received with "RX".
    const std::string on = "RX 17 :0105013BFF00";
    const auto start = faults::Clock::now();
    auto coilOnWrites = [&] {
        const std::string log = testing_support::readFile(sim.logPath);
        int count = 0;
        for (std::size_t at = log.find(on); at != std::string::npos; at = log.find(on, at + 1)) ++count;
        return count;
    };
    while (coilOnWrites() < 2 && faults::secondsSince(start) < 60) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(coilOnWrites(), 2) << testing_support::readFile(sim.file("linkora.out"));
    linkora.kill(SIGTERM);
    EXPECT_EQ(linkora.wait(60000), 128 + SIGTERM) << testing_support::readFile(sim.file("linkora.out"));
    sim.stop();
    const std::string log = testing_support::readFile(sim.logPath);
    const std::size_t off = log.rfind("RX 17 :0105013B0000");
    ASSERT_NE(off, std::string::npos) << log;
    EXPECT_GT(off, log.rfind(on)) << log;
}

// A signal while no controller answers the connection probe: the download
// ends without a request on the line it closed.
TEST(DownloadUnderFaults, SignalWithoutContactSendsNothingMore) {
    Sim sim({"--protocol", "modbus", "--silent-after", "0"});
    TempDir dir;
    testing_support::writeFile(dir.file("A.DAT"), "2: 4344\r\n");
    setenv("LINKORA_PROTOCOL", "modbus", 1);
    Child linkora({LINKORA_BIN, "d", "1", sim.devicePath, "9600", "A.DAT"}, sim.file("linkora.out"), dir.path);
    unsetenv("LINKORA_PROTOCOL");
    ASSERT_TRUE(sim.waitForRequests(1, 20000));
    linkora.kill(SIGTERM);
    EXPECT_EQ(linkora.wait(60000), 128 + SIGTERM);
    const std::string output = testing_support::readFile(sim.file("linkora.out"));
    EXPECT_NE(output.find("nothing was written to the controller"), std::string::npos) << output;
    EXPECT_EQ(output.find("write error"), std::string::npos) << output;
}

TEST(PortSharing, SecondProgramOnTheSameLineIsRefused) {
    Sim sim({"--protocol", "modbus", "--char-delay-ms", "2"});
    TempDir dir;
    Child first({LINKORA_BIN, "u", "1", sim.devicePath, "9600", "FIRST.DAT"}, sim.file("first.out"), dir.path);
    ASSERT_TRUE(sim.waitForRequests(5, 20000));
    ASSERT_TRUE(first.running());

    Outcome second;
    second.status =
        faults::runLinkora({"u", "1", sim.devicePath, "9600", "SECOND.DAT"}, dir.path, second.output, 20000);
    EXPECT_EQ(second.status, 3) << second.output;
    EXPECT_NE(second.output.find("Error opening com port"), std::string::npos) << second.output;

    EXPECT_EQ(first.wait(60000), 0) << testing_support::readFile(sim.file("first.out"));
    EXPECT_EQ(faults::folderEntries(dir.path), std::vector<std::string>{"FIRST.DAT"});
}

}  // namespace
