// The writer, byte for byte: golden files derived from the layout rules, and
// the line layout's corner cases.

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <map>

#include "image_fixture.h"
#include "sample_images.h"

namespace image_test {
namespace {

const std::string kDateMask = "DDD MMM dd hh:mm:ss YYYY";

// The upload date is the one part that changes from run to run.
std::string maskDate(std::string text) {
    const std::string key = "Upload Date: ";
    size_t at = text.find(key);
    if (at != std::string::npos && at + key.size() + kDateMask.size() <= text.size()) {
        text.replace(at + key.size(), kDateMask.size(), kDateMask);
    }
    return text;
}

std::string golden(const char* name) { return ImageTest::readFile(std::string(LINKORA_TEST_DATA) + "/" + name); }

// Shows the first differing line, which a plain comparison of 6 kB hides.
void expectSameFile(const std::string& expected, const std::string& actual) {
    if (expected == actual) return;
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    size_t lineStart = expected.rfind('\n', at == 0 ? 0 : at - 1);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    ADD_FAILURE() << "files differ at byte " << at
                  << "\nexpected: " << expected.substr(lineStart, expected.find('\n', at) - lineStart)
                  << "\nactual:   " << actual.substr(lineStart, actual.find('\n', at) - lineStart);
}

using WriterTest = ImageTest;

TEST_F(WriterTest, GoldenFiles) {
    struct Case {
        const char* file;
        void (*setUp)();
    } cases[] = {
        {"model3300_gray.dat", sample3300Gray},
        {"model4344_lt_analog.dat", sample4344LeadingTrailingAnalog},
        {"model4444_shift.dat", sample4444ShiftCounts},
        {"model4544_resolvers.dat", sample4544Resolvers},
        {"model4356_kr56.dat", sample4356},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        SetUp();
        c.setUp();
        expectSameFile(golden(c.file), maskDate(writeAll()));
    }
}

TEST_F(WriterTest, UploadDateLineIsTheAsctimeFormEndingInLineFeedAlone) {
    const char* oldTz = std::getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    std::time_t fixed = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC
    dataFileTimeOverride = &fixed;
    std::string text = writeAll();
    dataFileTimeOverride = nullptr;

    const std::string line = ";                   Upload Date: Tue Nov 14 22:13:20 2023\n;";
    EXPECT_NE(text.find("\r\n" + line), std::string::npos);

    std::time_t early = 86400 * 4;  // a one-digit day of month pads with a blank
    dataFileTimeOverride = &early;
    text = writeAll();
    dataFileTimeOverride = nullptr;
    if (oldTz) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_NE(text.find("Upload Date: Mon Jan  5 00:00:00 1970\n"), std::string::npos);
}

TEST_F(WriterTest, HeaderLinesHaveTheirLengths) {
    std::string text = writeAll();
    // Every header line but the date line ends in CR LF.
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    ASSERT_EQ(lines.size(), 16u);
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i + 1);
        const size_t expected = i == 1 ? 77 : i == 2 ? 57 : i == 4 ? 76 : 78;  // CR included
        EXPECT_EQ(lines[i].size(), expected);
        if (i != 2) {
            EXPECT_EQ(lines[i].back(), '\r');
        }
    }
}

TEST_F(WriterTest, LineNumberFieldShowsLastFourDigitsFromTenThousand) {
    dataFile = std::tmpfile();
    struct Case {
        int32_t number;
        const char* field;
    } cases[] = {{1, ";   1;"},     {9999, ";9999;"},  {10000, ";0000;"},
                 {12345, ";2345;"}, {99999, ";9999;"}, {100007, ";0007;"}};
    for (const auto& c : cases) {
        lineNumber = c.number;
        composeLine("4: 16", " Output quantity");
    }
    std::string expected;
    for (const auto& c : cases) expected += "4: 16" + std::string(17, ' ') + c.field + " Output quantity\r\n";
    EXPECT_EQ(contents(), expected);
    EXPECT_EQ(lineNumber, 100008);
}

TEST_F(WriterTest, DataTextOfTwentyTwoOrMoreIsNeitherPaddedNorCut) {
    dataFile = std::tmpfile();
    composeLine("35: 1;1,1,1,1,1,1,1,10", "x");   // 22 characters
    composeLine("35: 1;1,1,1,1,1,1,1,100", "y");  // 23
    EXPECT_EQ(contents(), "35: 1;1,1,1,1,1,1,1,10;   1;x\r\n35: 1;1,1,1,1,1,1,1,100;   2;y\r\n");
}

TEST_F(WriterTest, RowLinesOfAnyLengthAndNeverBeyondTheArrays) {
    // Huge values make a row line far longer than 127 characters; an output
    // quantity beyond the image writes its 16 rows and stops.
    configure(4344, 1000);
    for (int i = 0; i < kMaxChannels; ++i) image.channelEnable[i] = INT32_MIN;
    dataFile = std::tmpfile();
    dataFileBlock(kModeWriteLines, 35);
    std::string text = contents();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 16);
    std::string first = text.substr(0, text.find('\n'));
    EXPECT_EQ(first.rfind("35: 1;-2147483648,", 0), 0u);
    EXPECT_GT(first.size(), 127u);
    EXPECT_NE(text.find("chns 121-128; chn on/off\r\n"), std::string::npos);
}

TEST_F(WriterTest, CountsFromTheImageAreClampedToItsArrays) {
    configure(4344, 8);
    image.groupQuantity = 1000;
    image.analogQuantity = 7;
    image.mappingCount = 100000;
    allocateSetpoints(1);
    setpointCount = 50;  // more than stored
    lastChannel = 500;
    firstChannel = -3;
    image.timedOutputDelay[127] = 1;
    dataFile = std::tmpfile();
    for (int fn : {8, 9, 10, 15, 46, 49, 51}) dataFileBlock(kModeWriteLines, fn);
    std::string text = contents();
    auto count = [&](const std::string& prefix) {
        int n = 0;
        for (size_t at = 0; (at = text.find("\n" + prefix, at)) != std::string::npos; ++at) ++n;
        return n + (text.rfind(prefix, 0) == 0 ? 1 : 0);
    };
    EXPECT_EQ(count("8: "), 1);
    EXPECT_EQ(count("9: "), kMaxGroups);
    EXPECT_EQ(count("10: "), kMaxAnalogOutputs);
    EXPECT_EQ(count("15: "), kMaxMappings);
    EXPECT_EQ(count("46: "), kMaxGroups);
    EXPECT_EQ(count("49: "), 1);
}

TEST_F(WriterTest, MotionDetectionForms) {
    struct Case {
        int32_t model;
        int32_t analog;
        const char* expected;
    } cases[] = {
        {3300, 0, "11: 1,2               ;   1; Motion detection: low rpm, high rpm\r\n"},
        {3300, 1,
         "11: 1,1,2             ;   1; Motion detection: 1, low rpm, high rpm\r\n"
         "11: 2,3,4             ;   2; Motion detection: 2, low rpm, high rpm\r\n"},
        {3344, 1,
         "11: 1,1,2             ;   1; Motion detection: 1, low rpm, high rpm\r\n"
         "11: 2,3,4             ;   2; Motion detection: 2, low rpm, high rpm\r\n"},
        {3344, 0,
         "11: 1,1,2             ;   1; Motion detection: level#, low rpm, high rpm\r\n"
         "11: 2,3,4             ;   2; Motion detection: level#, low rpm, high rpm\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model * 10 + c.analog);
        SetUp();
        image.options[6] = c.analog;
        configure(c.model, 8);
        image.motionLowRpm[0] = 1;
        image.motionHighRpm[0] = 2;
        image.motionLowRpm[1] = 3;
        image.motionHighRpm[1] = 4;
        dataFile = std::tmpfile();
        dataFileBlock(kModeWriteLines, 11);
        EXPECT_EQ(contents(), c.expected);
        closeFile();
    }
}

TEST_F(WriterTest, GrayCodeChannelsBelowFirstChannelAreNeverWritten) {
    image.options[1] = 1;
    configure(3344, 24, 8);
    image.speedCompLeading[7] = 5;
    image.timedOutputDelay[7] = 5;
    present({7, 8});
    std::string text = writeAll();
    EXPECT_EQ(text.find("SPEED COMP SETTINGS"), std::string::npos);
    EXPECT_EQ(text.find("TIMED OUTPUT SETTINGS"), std::string::npos);
    EXPECT_EQ(text.find("7: 8,"), std::string::npos);

    image.speedCompLeading[8] = 5;
    text = writeAll();
    EXPECT_NE(text.find("SPEED COMP SETTINGS"), std::string::npos);
    EXPECT_NE(text.find("7: 9,5 "), std::string::npos);
}

TEST_F(WriterTest, BannersFollowTheirBlocksPresence) {
    configure(4344, 8);
    present({9, 45});  // groupQuantity 0: banner without lines
    std::string text = writeAll();
    EXPECT_NE(text.find("SETUP CONFIGURATION"), std::string::npos);
    EXPECT_NE(text.find("GROUP & MODE SETUP"), std::string::npos);
    EXPECT_EQ(text.find("DEFAULT PROGRAM"), std::string::npos);
    EXPECT_EQ(text.find("9: "), std::string::npos);
}

}  // namespace
}  // namespace image_test

namespace image_test {
namespace {

TEST_F(WriterTest, BlocksOutsideTheFileWriteNothing) {
    configure(4444, 16);
    image.mappingCount = 1;
    image.options[2] = 1;
    image.groupQuantity = 1;
    image.analogQuantity = 1;
    image.shiftRegisterCount[0][0] = 1;
    for (int n = 0; n < kFunctionCount + 5; ++n) {
        SCOPED_TRACE(n);
        dataFile = std::tmpfile();
        dataFileBlock(kModeWriteLines, n);
        dataFileBlock(1, n);  // a handler's mode: nothing
        const bool wrote = !contents().empty();
        EXPECT_EQ(wrote, n < kFunctionCount && kFunctionBlocks[n].inDataFile && n != 12 && n != 20 && n != 23 &&
                             n != 24 && n != 26 && n != 30 && n != 7 && n != 8 && n != 49);
        closeFile();
    }
}

}  // namespace
}  // namespace image_test

namespace image_test {
namespace {

// The texts that the golden files do not reach: every mapping comment, the
// other two designations and the option description table.
TEST_F(WriterTest, MappingCommentsByTypeAndModelDesignations) {
    configure(4344, 8);
    const int32_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, -1};
    image.mappingCount = static_cast<int32_t>(std::size(types));
    for (size_t i = 0; i < std::size(types); ++i) image.mappings[i] = {types[i], 40001, 0, 2, 3};
    dataFile = std::tmpfile();
    dataFileBlock(kModeWriteLines, 15);
    const std::string expected =
        "15: 0,40001,1,2,3     ;   1;ERROR!!!\r\n"
        "15: 1,40001,1,2,3     ;   2; Mapping: position, register, group#, n/c, n/c\r\n"
        "15: 2,40001,1,3,4     ;   3; Mapping: pulse, register, pgm, chn, pulse\r\n"
        "15: 3,40001,1,2,3     ;   4; Mapping: speed comp, register, chn, n/c, n/c\r\n"
        "15: 4,40001,1,2,3     ;   5; Mapping: timed output, register, chn, n/c, n/c\r\n"
        "15: 5,40001,1,2,3     ;   6; Mapping: group offset, register, group, n/c, n/c\r\n"
        "15: 6,40001,1,2,3     ;   7; Mapping: motion detection, register, mot level, n/c, n/c\r\n"
        "15: 7,40001,1,2,3     ;   8; Mapping: analog output, register, analog chn, n/c, n/c\r\n"
        "15: 8,40001,1,2,3     ;   9;ERROR!!!\r\n"
        "15: -1,40001,1,2,3    ;  10;ERROR!!!\r\n";
    EXPECT_EQ(contents(), expected);
    closeFile();

    struct Case {
        int32_t model;
        const char* line;
    } cases[] = {{4354, "2: KR54"}, {4355, "2: KR55"}, {4356, "2: KR56"}, {4357, "2: 4357"}, {4444, "2: 4444"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        image.model = c.model;
        lineNumber = 1;
        dataFile = std::tmpfile();
        dataFileBlock(kModeWriteLines, 2);
        std::string line = c.line;
        EXPECT_EQ(contents(), line + std::string(22 - line.size(), ' ') + ";   1; Model\r\n");
        closeFile();
    }
}

TEST_F(WriterTest, OptionDescriptionTable) {
    const std::map<int, std::string> fixed = {
        {0, "No options"},
        {1, "-G; Gray code"},
        {2, "-P; Register mark control"},
        {3, "Not implemented"},
        {4, "-H; High resolution"},
        {5, "-L; Leading/trailing speed comp"},
        {6, "-A; Analog output"},
        {11, "-F; Increased program storage"},
        {12, "-E; Enhanced operator interface"},
        {13, "512 Pulses/chn"},
        {18, "Anti-Backup Resolver Logic"},
        {19, "-G10; Ten bit Gray code"},
        {20, "Multiple output groups (xxx4)"},
        {21, "-R; Remote display"},
        {22, "RPM based on 4096"},
    };
    for (int i = 0; i < kOptionCount; ++i) {
        SCOPED_TRACE(i);
        const std::string text = kOptionDescriptions[i];
        EXPECT_LE(text.size(), 47u);
        auto it = fixed.find(i);
        if (it != fixed.end()) {
            EXPECT_EQ(text, it->second);
        } else {
            // The rows left to us: customer firmware.
            EXPECT_EQ(text.rfind("-M", 0), 0u);
            ASSERT_GE(text.size(), 9u);
            EXPECT_EQ(text.substr(text.size() - 8), " Special");
        }
    }

    // Every set option is one line, numbered from 1, with its row's text.
    configure(4344, 8);
    image.options[13] = 1;
    image.options[22] = 2;
    dataFile = std::tmpfile();
    dataFileBlock(kModeWriteLines, 5);
    EXPECT_EQ(contents(),
              "5: 14,1               ;   1; Option: 512 Pulses/chn\r\n"
              "5: 23,2               ;   2; Option: RPM based on 4096\r\n");
}

}  // namespace
}  // namespace image_test
