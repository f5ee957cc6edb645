// A file an upload wrote is clean: for every simulator variant, a controller
// holding every field at the ends of its range uploads to a file that
// `check` finds nothing in and `c` finds no difference in, whose unattended
// download ends with status 0 and leaves the controller uploading to the
// same file.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "transfer/sim_session.h"

#if defined(LINKORA_BIN) && defined(LINKORA_SIM_BIN)

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;
using transfer_test::maskDate;
using transfer_test::runLinkora;
using transfer_test::SimProcess;

namespace {

struct Variant {
    const char* name;
    const char* protocol;
    const char* model;
    bool grayCode;
    std::vector<std::string> firmware;
    const char* file = "edge_values.dat";  // the controller's configuration
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class EdgeValues : public testing::TestWithParam<Variant> {};

TEST_P(EdgeValues, UploadedFileIsCleanAndComesBack) {
    const Variant& v = GetParam();
    TempDir dir;
    const bool edgeFile = std::string(v.file) == "edge_values.dat";
    std::string edge = readFile(std::string(LINKORA_TEST_DATA) + "/" + v.file);
    if (v.grayCode) edge += "5: 2,1\r\n";
    // A line the writer marked as wrong (a mapping of an unknown type) is
    // one a controller refuses: it is left out of the configuration.
    for (std::size_t at = edge.find(";ERROR!!!"); at != std::string::npos; at = edge.find(";ERROR!!!")) {
        const std::size_t start = edge.rfind('\n', at);
        edge.erase(start + 1, edge.find('\n', at) - start);
    }
    writeFile(dir.file("edge.dat"), edge);
    std::vector<std::string> options{"--protocol", v.protocol, "--load",        dir.file("edge.dat"),
                                     "--model",    v.model,    "--reset-delay", "0"};
    options.insert(options.end(), v.firmware.begin(), v.firmware.end());
    SimProcess sim(dir, options);
    ASSERT_FALSE(sim.devicePath.empty());
    const std::vector<std::string> env{std::string("LINKORA_PROTOCOL=") + v.protocol};

    std::string output;
    ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path, env), 0) << output;
    EXPECT_EQ(runLinkora({"check", "UP.DAT"}, output, dir.path, env), 0) << output;
    EXPECT_EQ(runLinkora({"c", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path, env), 0) << output;
    EXPECT_EQ(runLinkora({"d", "1", sim.devicePath, "9600", "UP.DAT"}, output, dir.path, env), 0) << output;
    ASSERT_EQ(runLinkora({"u", "1", sim.devicePath, "9600", "AGAIN.DAT"}, output, dir.path, env), 0) << output;
    const std::string first = readFile(dir.file("UP.DAT"));
    if (edgeFile) {
        EXPECT_NE(first.find("-55535"), std::string::npos) << "the speed compensation word 10001";
    }
    EXPECT_EQ(maskDate(readFile(dir.file("AGAIN.DAT"))), maskDate(first));
}

const Variant kVariants[] = {
    {"m4444_tvx", "tvx", "4444", false, {}},
    {"m4444_modbus", "modbus", "4444", false, {}},
    {"m4344_tvx", "tvx", "4344", false, {}},
    {"m4344_modbus", "modbus", "4344", false, {}},
    {"m3300_tvx", "tvx", "3300", false, {}},
    {"m3300_modbus", "modbus", "3300", false, {}},
    {"m4544_tvx", "tvx", "4544", false, {}},
    {"m4544_modbus", "modbus", "4544", false, {}},
    {"m4356_tvx", "tvx", "4356", false, {}},
    {"m4356_modbus", "modbus", "4356", false, {}},
    {"gray3300_tvx", "tvx", "3300", true, {}},
    {"gray3300_modbus", "modbus", "3300", true, {}},
    {"gray4444_tvx", "tvx", "4444", true, {}},
    {"gray4444_modbus", "modbus", "4444", true, {}},
    {"noBankNarrowSetpoints", "tvx", "4344", false, {"--no-pgm-bank", "--narrow-setpoints"}},
    {"rateSetup2IndexedLimits", "tvx", "4344", false, {"--rate-setup-2", "--indexed-motion-limits"}},
    {"dummyFirstReadMapVersion", "modbus", "4344", false, {"--dummy-first-read", "--map-version", "100"}},
    {"mapLimitBeyondTheRecords", "modbus", "4344", false, {}, "model4344_lt_analog.dat"},
};

INSTANTIATE_TEST_SUITE_P(Variants, EdgeValues, testing::ValuesIn(kVariants),
                         [](const testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

}  // namespace

// A speed compensation typed above 10000 reaches the controller as that
// word, which it shows below zero; the writer's own form of such a word is
// clean; values beyond a word are cut.
TEST(CheckSpeedComp, WordsAboveTenThousand) {
    TempDir dir;
    writeFile(dir.file("sc.dat"),
              "2: 4344\r\n4: 16\r\n5: 6,1\r\n7: 1,10000,-55535\r\n7: 2,10001,65535\r\n"
              "7: 3,-1,0\r\n7: 4,65536,-55536\r\n");
    std::string output;
    EXPECT_EQ(runLinkora({"check", "sc.dat"}, output, dir.path), 1);
    EXPECT_EQ(output,
              "sc.dat:5: warning: speed compensation 10001 reaches the controller as a word it shows as -55535\n"
              "sc.dat:5: warning: speed compensation 65535 reaches the controller as a word it shows as -1\n"
              "sc.dat:7: warning: value 65536 is wider than a word; the controller shows 0\n"
              "sc.dat:7: warning: value -55536 is wider than a word; the controller shows 10000\n"
              "sc.dat: 0 errors, 4 warnings\n");
}

#endif
