// The reader: value lines, per-block parsing, index bounds, the reading pass
// and mangled files.

#include <cstring>
#include <random>

#include "image_fixture.h"

namespace image_test {
namespace {

using ReaderTest = ImageTest;

TEST_F(ReaderTest, OnlyLinesStartingWithADigitAreValueLines) {
    configure(4344, 16);
    readAll(
        " 3: 11\r\n"
        ";3: 12\r\n"
        "\r\n"
        "\t3: 13\r\n"
        "x3: 14\r\n"
        "4: 20   ;   1; Output quantity\r\n");
    EXPECT_EQ(image.firmwareRevision, 0);
    EXPECT_EQ(blockAbsent[3], 1);
    EXPECT_EQ(image.outputQuantity, 20);
    EXPECT_EQ(blockAbsent[4], 0);
    EXPECT_EQ(console.text, "Function = 4\r\n");
}

TEST_F(ReaderTest, ModelLineTakesOnlyTheDesignations) {
    struct Case {
        const char* line;
        int32_t model;
    } cases[] = {{"2: KR54", 4354}, {"2: KR55               ;   1; Model", 4355},
                 {"2:KR56", 4356},  {"2: 4444", 4344},
                 {"2: KR57", 4344}, {"2: KR55x", 4344},
                 {"2: kr55", 4344}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        image.model = 4344;
        parse(c.line);
        EXPECT_EQ(image.model, c.model);
    }
}

TEST_F(ReaderTest, ModelLineLookupAndSetpointCountRewind) {
    openFile("; 2: KR55\r\n3: 1\r\n49: 1,1,1,1\r\n 49: 2,2,2,2\r\n2: 4444\r\n49: 3,3,3,3");
    EXPECT_TRUE(findModelLine());
    EXPECT_EQ(countSetpointLines(), 2);
    EXPECT_EQ(countSetpointLines(), 2);  // rewound again
    ASSERT_TRUE(readValueLine());
    EXPECT_EQ(lineBuffer, "3: 1");

    openFile(";2: KR55\r\n 2: 4444\r\n3: 1\r\n");
    EXPECT_FALSE(findModelLine());
    ASSERT_TRUE(readValueLine());  // rewound even when not found
    EXPECT_EQ(lineBuffer, "3: 1");
}

TEST_F(ReaderTest, SingleValueBlocksAndTheirModelConditions) {
    configure(3300, 16);
    readAll(
        "3: 0x20\r\n"
        "6: 3\r\n"
        "12: 017\r\n"
        "24: 1\r\n"
        "26: 2\r\n"
        "27: 1000,60,2,1\r\n"
        "34: 9\r\n"
        "42: 1\r\n"
        "33:-4\r\n");
    EXPECT_EQ(image.firmwareRevision, 32);
    EXPECT_EQ(image.defaultProgram, 2);
    EXPECT_EQ(image.grayCodeSpeedComp, 15);
    EXPECT_EQ(image.timeBase, 1);
    EXPECT_EQ(image.defaultDisplay, 2);
    EXPECT_EQ(image.rateMultiplier, 0);  // no rate setup below 4344
    EXPECT_EQ(image.masterId, 0);
    EXPECT_EQ(image.operatorEnableAnalog, 0);
    EXPECT_EQ(image.setupId, -4);
    EXPECT_EQ(blockAbsent[27], 0);  // met, though not stored

    SetUp();
    configure(4334, 32);
    readAll("24: 1\r\n27: 1000,60,2,1\r\n34: 9\r\n42: 1\r\n");
    EXPECT_EQ(image.timeBase, 0);
    EXPECT_EQ(image.rateMultiplier, 1000);
    EXPECT_EQ(image.rateUnits, 1);
    EXPECT_EQ(image.masterId, 9);
    EXPECT_EQ(image.operatorEnableAnalog, 1);
}

TEST_F(ReaderTest, MissingFieldsLeaveTheImageAsItWas) {
    configure(4344, 16);
    image.firmwareRevision = 7;
    image.defaultProgram = 4;
    image.terminationResistor[0] = image.terminationResistor[1] = 5;
    image.rateMultiplier = image.rateDivisor = image.rateDecimalPoint = image.rateUnits = 5;
    image.groupChannelCount[0] = image.groupMode[0] = 5;
    image.timedOutputDelay[0] = 5;
    image.options[2] = 5;
    readAll("3:\r\n6: ;\r\n25: 1\r\n27: 1,2\r\n46: 1,9\r\n8: 1\r\n5: 3\r\n");
    EXPECT_EQ(image.firmwareRevision, 7);
    EXPECT_EQ(image.defaultProgram, 4);
    EXPECT_EQ(image.terminationResistor[0], 1);
    EXPECT_EQ(image.terminationResistor[1], 5);
    EXPECT_EQ(image.rateMultiplier, 1);
    EXPECT_EQ(image.rateDivisor, 2);
    EXPECT_EQ(image.rateDecimalPoint, 5);
    EXPECT_EQ(image.groupChannelCount[0], 9);
    EXPECT_EQ(image.groupMode[0], 5);
    EXPECT_EQ(image.timedOutputDelay[0], 5);
    EXPECT_EQ(image.options[2], 5);
}

TEST_F(ReaderTest, IndexedBlocks) {
    configure(4344, 16);
    readAll(
        "5: 1,1\r\n5: 23,1\r\n5: 24,1\r\n5: 0,1\r\n"
        "7: 3, -5\r\n"
        "8: 0x10,250\r\n"
        "9: 8,-3\r\n"
        "10: 2,4,1500\r\n"
        "11: 2,10,3000\r\n"
        "46: 2,6,1\r\n"
        "17: 2\r\n18: 720\r\n19: -1\r\n");
    EXPECT_EQ(image.options[0], 1);
    EXPECT_EQ(image.options[22], 1);
    EXPECT_EQ(image.speedCompLeading[2], -5);
    EXPECT_EQ(image.speedCompTrailing[2], -5);
    EXPECT_EQ(image.timedOutputDelay[15], 250);
    EXPECT_EQ(image.groupOffset[7], -3);
    EXPECT_EQ(image.analogOffset[1], 4);
    EXPECT_EQ(image.analogHighRpm[1], 1500);
    EXPECT_EQ(image.motionLowRpm[1], 10);
    EXPECT_EQ(image.motionHighRpm[1], 3000);
    EXPECT_EQ(image.groupChannelCount[1], 6);
    EXPECT_EQ(image.groupMode[1], 1);
    EXPECT_EQ(image.rotationDirection[0], 2);
    EXPECT_EQ(image.scaleFactor[0], 720);
    EXPECT_EQ(image.shaftOffset[0], -1);
}

TEST_F(ReaderTest, VariantsChosenByModelAndOptions) {
    // Leading/trailing form, as the option in the file itself switches it on.
    configure(4344, 16);
    readAll("5: 6,1\r\n7: 2,4,-6\r\n");
    EXPECT_EQ(image.speedCompLeading[1], 4);
    EXPECT_EQ(image.speedCompTrailing[1], -6);

    // One motion level below 3344 without the analog option; both two-level
    // forms otherwise.
    SetUp();
    configure(3300, 8);
    parse("11: 10,3000");
    EXPECT_EQ(image.motionLowRpm[0], 10);
    EXPECT_EQ(image.motionHighRpm[0], 3000);
    image.options[6] = 1;
    parse("11: 2,20,2000");
    EXPECT_EQ(image.motionLowRpm[1], 20);

    // Two resolvers on 4544 only.
    SetUp();
    configure(4544, 16);
    parse("18: 2, 720");
    parse("17: 1,1");
    parse("19: 3, 5");
    EXPECT_EQ(image.scaleFactor[1], 720);
    EXPECT_EQ(image.rotationDirection[0], 1);
    EXPECT_EQ(image.shaftOffset[0], 0);
}

TEST_F(ReaderTest, AnalogQuantityAndLastChannel) {
    configure(4344, 16);
    parse("20: 2");
    EXPECT_EQ(image.analogQuantity, 2);
    EXPECT_EQ(lastChannel, 13);

    effectiveOptions[6] = 1;
    parse("20: 1");
    EXPECT_EQ(lastChannel, 13);

    // No overflow and never below "no channel".
    effectiveOptions[6] = 0;
    parse("20: -2147483648");
    EXPECT_EQ(lastChannel, INT32_MAX);
    parse("20: 2147483647");
    EXPECT_EQ(lastChannel, 0);
    parse("20: 2147483647");
    EXPECT_EQ(lastChannel, -1);
}

TEST_F(ReaderTest, MappingsSetpointsAndShiftCounts) {
    configure(4444, 16);
    readAll(
        "15: 2,40010,4,5,2\r\n"
        "15: 1,40001,1,7,8\r\n"
        "49: 1,1,100,200\r\n"
        "49: 2, 3, -10, 3599\r\n"
        "51: 2,3,5\r\n"
        "51: 0x30,25,1\r\n");
    EXPECT_EQ(image.mappingCount, 2);
    EXPECT_EQ(image.mappings[0], (MappingRecord{2, 40010, 3, 4, 1}));
    EXPECT_EQ(image.mappings[1], (MappingRecord{1, 40001, 0, 7, 8}));
    ASSERT_EQ(setpointCount, 2);
    EXPECT_EQ(setpoints[0], (SetpointRecord{0, 0, 100, 200}));
    EXPECT_EQ(setpoints[1], (SetpointRecord{1, 2, -10, 3599}));
    EXPECT_EQ(image.shiftRegisterCount[1][2], 4);
    EXPECT_EQ(image.shiftRegisterCount[47][24], 0);
    EXPECT_EQ(console.text,
              "Function = 15\rFunction = 15\rFunction = 49\rFunction = 49\rFunction = 51\r"
              "Function = 51\r\n");
}

TEST_F(ReaderTest, RowLinesStopAtLastChannel) {
    configure(4344, 12);  // lastChannel 11
    readAll(
        "35: 2;1,1,1,1,1,1,1,1\r\n"
        "43: 1;1,2,3\r\n"
        "44: 3;1,1,1,1,1,1,1,1\r\n"
        "35: 17;1,1,1,1,1,1,1,1\r\n"
        "35: 0;1,1,1,1,1,1,1,1\r\n"
        "35: -1;1,1,1,1,1,1,1,1\r\n");
    for (int i = 0; i < kMaxChannels; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(image.channelEnable[i], i >= 8 && i <= 11 ? 1 : 0);
        EXPECT_EQ(image.outputEnableAnding[i], 0);
    }
    EXPECT_EQ(image.motionAnding[0], 1);
    EXPECT_EQ(image.motionAnding[2], 3);
    EXPECT_EQ(image.motionAnding[3], 0);

    // Input enable ANDing: three rows at most, and lastChannel bounds it too.
    SetUp();
    configure(4444, 128);
    readAll("50: 3;1,2,3,4,5,6,7,8\r\n50: 4;1,1,1,1,1,1,1,1\r\n");
    EXPECT_EQ(image.inputEnableAnding[23], 8);
    EXPECT_EQ(image.inputEnableAnding[24], 0);
    EXPECT_EQ(blockAbsent[50], 0);
}

TEST_F(ReaderTest, OutOfRangeIndicesAreIgnored) {
    configure(4544, 128);
    readAll(
        "5: 0,1\r\n5: 24,1\r\n5: -1,1\r\n"
        "7: 0,5\r\n7: 129,5\r\n7: -2147483648,5\r\n7: 0x100000000,5\r\n"
        "8: 129,5\r\n9: 9,5\r\n9: 0,5\r\n10: 3,5,5\r\n11: 3,5,5\r\n11: 0,5,5\r\n"
        "17: 3, 1\r\n18: 0, 1\r\n19: -1, 1\r\n46: 9,1,1\r\n"
        "51: 49,1,5\r\n51: 1,26,5\r\n51: 0,1,5\r\n51: 1,0,5\r\n");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&image);
    // Only model and output quantity were set; everything else stayed zero.
    ControllerImage expected{};
    expected.model = 4544;
    expected.outputQuantity = 128;
    EXPECT_EQ(std::memcmp(bytes, &expected, sizeof image), 0);
}

TEST_F(ReaderTest, MappingTableNeverOverflows) {
    configure(4344, 16);
    std::string text;
    for (int i = 0; i < 300; ++i) text += "15: 3," + std::to_string(40000 + i) + ",1,0,0\r\n";
    readAll(text);
    EXPECT_EQ(image.mappingCount, kMaxMappings);
    EXPECT_EQ(image.mappings[255].register_, 40255);
    EXPECT_TRUE(transferOptions.mappingsOnly);
}

TEST_F(ReaderTest, MappingsOnlyDetection) {
    configure(4344, 16);
    readAll("2: 4344\r\n14: 500\r\n15: 1,40001,1,0,0\r\n; 3: 1\r\n");
    EXPECT_TRUE(transferOptions.mappingsOnly);

    for (const char* extra : {"3: 1\r\n", "60: 1\r\n", "13: 1\r\n", "0: 0\r\n"}) {
        SCOPED_TRACE(extra);
        readAll(std::string("2: 4344\r\n14: 500\r\n") + extra);
        EXPECT_FALSE(transferOptions.mappingsOnly);
        // A line the value line rule calls an error changes nothing, the
        // kind of file included.
        readAll(std::string("2: 4344\r\n14: 500\r\n") + extra, LineJudging::Judged);
        EXPECT_EQ(transferOptions.mappingsOnly, std::string(extra) != "3: 1\r\n");
    }
}

TEST_F(ReaderTest, FunctionNumbersBeyondTheTableChangeNothing) {
    configure(4344, 16);
    ControllerImage before = image;
    readAll("60: 1,2,3\r\n52: 1\r\n99999999999: 5\r\n0x40: 3\r\n");
    EXPECT_EQ(std::memcmp(&before, &image, sizeof image), 0);
    for (int i = 0; i < kFunctionCount; ++i) EXPECT_EQ(blockAbsent[i], 1) << i;
    EXPECT_FALSE(transferOptions.mappingsOnly);
}

TEST_F(ReaderTest, SetpointStorageGrowsBeyondTheCount) {
    configure(4344, 16);
    openFile("49: 1,1,1,1\r\n");
    allocateSetpoints(countSetpointLines());
    setpointCount = 0;
    // The file grows between the count and the reading.
    std::fseek(dataFile, 0, SEEK_END);
    for (int i = 0; i < 1000; ++i) std::fputs("49: 2,2,2,2\r\n", dataFile);
    std::rewind(dataFile);
    readDataFile();
    EXPECT_EQ(setpointCount, 1001);
    ASSERT_GE(setpoints.size(), 1001u);
    EXPECT_EQ(setpoints[1000], (SetpointRecord{1, 1, 2, 2}));
    // A bare setpoint line still adds a record, with zeros for what it lacks.
    parse("49:");
    EXPECT_EQ(setpointCount, 1002);
    EXPECT_EQ(setpoints[1001], SetpointRecord{});
}

TEST_F(ReaderTest, LongLinesStayOneLine) {
    configure(4344, 16);
    // A comment longer than any buffer, whose continuation looks like a value
    // line, must not be read as one.
    std::string comment(200, 'c');
    std::string text = "3: 5 ;   1; " + comment + "4: 99\r\n";
    text += ";" + std::string(126, ' ') + "6: 7\r\n";
    text += "8: 1," + std::string(10000, '1') + "\r\n";
    text += "9: 1,5" + std::string(20000, ' ') + "\r\n";
    readAll(text);
    EXPECT_EQ(image.firmwareRevision, 5);
    EXPECT_EQ(image.outputQuantity, 16);
    EXPECT_EQ(blockAbsent[4], 1);
    EXPECT_EQ(blockAbsent[6], 1);
    EXPECT_EQ(image.timedOutputDelay[0], -1);  // a huge number, cut as "%i" cuts it
    EXPECT_EQ(image.groupOffset[0], 5);
}

TEST_F(ReaderTest, HostileFilesDoNoHarm) {
    configure(4444, 128);
    std::mt19937 random(20240601);
    std::vector<std::string> files;
    // Binary garbage.
    for (int f = 0; f < 20; ++f) {
        std::string bytes(20000, '\0');
        for (auto& b : bytes) b = static_cast<char>(random());
        files.push_back(bytes);
    }
    // Digits, separators and line ends in random order: many value lines.
    const char alphabet[] = "0123456789:,;- x\r\n\0";
    for (int f = 0; f < 20; ++f) {
        std::string bytes(20000, '\0');
        for (auto& b : bytes) b = alphabet[random() % (sizeof alphabet - 1)];
        files.push_back(bytes);
    }
    // No line ends at all, NUL bytes, huge numbers and indices.
    files.push_back(std::string(300000, '7'));
    files.push_back(std::string("49: 1,1,1,1\0\0\0\r\n35: 1;1,1\0,1\r\n\0\0\0", 32));
    files.push_back(
        "51: 99999999999999999999,99999999999999999999,1\r\n"
        "35: 99999999999999999999;1\r\n50: 0x7fffffff;1\r\n"
        "15: 2,-2147483648,-2147483648,-2147483648,-2147483648\r\n"
        "49: -2147483648,-2147483648,0,0\r\n"
        "6: -2147483648\r\n20: 2147483647\r\n20: -2147483648\r\n");
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        SetUp();
        configure(4444, 128);
        readAll(files[i]);
        applyAfterReadingSteps();
        EXPECT_LE(image.mappingCount, kMaxMappings);
        EXPECT_GE(image.mappingCount, 0);
        EXPECT_LE(static_cast<size_t>(setpointCount), setpoints.size());
        // The image can be written again, whatever it holds.
        std::fill(std::begin(blockAbsent), std::end(blockAbsent), 0);
        writeAll();
    }
}

}  // namespace
}  // namespace image_test
