// Image -> data file -> image: what an upload writes, a download reads back
// into the same image (with the transformations the file format makes).

#include <cstring>

#include "image_fixture.h"
#include "sample_images.h"

namespace image_test {
namespace {

struct Saved {
    ControllerImage image;
    std::vector<SetpointRecord> setpoints;
    int32_t setpointCount;
    int32_t effectiveOptions[kOptionCount];
    int32_t firstChannel, lastChannel, configModel;
};

Saved save() {
    Saved s{image, setpoints, setpointCount, {}, firstChannel, lastChannel, configModel};
    std::copy(std::begin(effectiveOptions), std::end(effectiveOptions), std::begin(s.effectiveOptions));
    return s;
}

// Names the first differing 32-bit word; a plain memcmp says only "differs".
void expectSameImage(const ControllerImage& expected, const ControllerImage& actual) {
    const auto* e = reinterpret_cast<const int32_t*>(&expected);
    const auto* a = reinterpret_cast<const int32_t*>(&actual);
    for (size_t i = 0; i < sizeof(ControllerImage) / sizeof(int32_t); ++i) {
        if (e[i] != a[i]) {
            ADD_FAILURE() << "image word " << i << " (byte offset " << i * 4 << "): expected " << e[i] << ", got "
                          << a[i];
            return;
        }
    }
}

class RoundTripTest : public ImageTest {
protected:
    // Writes the image, then reads the file as a download from the same
    // controller would: a cleared image, the unit configuration's values,
    // the pre-count, the reading pass and the after-reading steps.
    void roundTrip(const Saved& controller) {
        std::string text = writeAll();
        closeFile();
        resetImage();
        releaseSetpoints();
        image.model = controller.image.model;
        image.firmwareRevision = controller.image.firmwareRevision;
        image.outputQuantity = controller.image.outputQuantity;
        std::copy(std::begin(controller.image.options), std::end(controller.image.options), std::begin(image.options));
        image.scaleFactor[0] = controller.image.scaleFactor[0];
        std::copy(std::begin(controller.effectiveOptions), std::end(controller.effectiveOptions),
                  std::begin(effectiveOptions));
        configModel = controller.configModel;
        firstChannel = controller.firstChannel;
        // For a download the large models keep every output until the file
        // has been read.
        lastChannel = controller.image.model > 3343 ? controller.image.outputQuantity - 1 : controller.lastChannel;
        readAll(text);
        if (!transferOptions.mappingsOnly) applyAfterReadingSteps();
    }

    // The upload's image as the file carries it: 16-bit speed compensation
    // words become negative, shift counts come back one lower.
    static void normalise(Saved& s) {
        for (int c = 0; c < kMaxChannels; ++c) {
            for (int32_t* v : {&s.image.speedCompLeading[c], &s.image.speedCompTrailing[c]}) {
                if (*v > 10000) *v -= 65536;
            }
        }
        for (auto& program : s.image.shiftRegisterCount) {
            for (auto& count : program) {
                if (count != 0) count -= 1;
            }
        }
    }

    // Single-mode speed compensation carries one value per channel, which
    // the reader stores as leading and trailing.
    static void singleSpeedComp(Saved& s) {
        for (int c = 0; c < kMaxChannels; ++c) s.image.speedCompTrailing[c] = s.image.speedCompLeading[c];
    }

    // Row lines are read only up to lastChannel.
    static void rowsUpTo(Saved& s, int32_t last) {
        for (auto field : {&ControllerImage::channelEnable, &ControllerImage::motionAnding,
                           &ControllerImage::outputEnableAnding, &ControllerImage::inputEnableAnding}) {
            for (int c = last + 1; c < kMaxChannels; ++c) (s.image.*field)[c] = 0;
        }
    }

    void check(const Saved& expected) {
        expectSameImage(expected.image, image);
        ASSERT_EQ(setpointCount, expected.setpointCount);
        for (int32_t i = 0; i < setpointCount; ++i) EXPECT_EQ(setpoints[i], expected.setpoints[i]) << i;
        EXPECT_EQ(lastChannel, expected.lastChannel);
        EXPECT_EQ(firstChannel, expected.firstChannel);
    }
};

TEST_F(RoundTripTest, Model3300GrayCode) {
    sample3300Gray();
    Saved s = save();
    roundTrip(s);
    normalise(s);
    singleSpeedComp(s);
    check(s);
    EXPECT_FALSE(transferOptions.mappingsOnly);
}

TEST_F(RoundTripTest, Model4344LeadingTrailingAnalog) {
    sample4344LeadingTrailingAnalog();
    Saved s = save();
    roundTrip(s);
    normalise(s);
    s.image.speedCompLeading[22] = 0;  // an analog output's channel is not in the file
    rowsUpTo(s, 21);
    check(s);
    for (int fn : {2,  3,  4,  5,  6,  7,  9,  10, 11, 14, 15, 16, 17, 18, 19, 20, 21, 22, 25, 27, 28,
                   29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48}) {
        EXPECT_EQ(blockAbsent[fn], 0) << fn;
    }
    for (int fn : {8, 12, 23, 24, 26, 49, 50, 51}) EXPECT_EQ(blockAbsent[fn], 1) << fn;
}

TEST_F(RoundTripTest, Model4444ShiftCountsAndInputAnding) {
    sample4444ShiftCounts();
    Saved s = save();
    roundTrip(s);
    s.image.shiftRegisterCount[0][7] = 0;  // the channel of lastChannel is not in the file
    normalise(s);
    rowsUpTo(s, 7);
    check(s);
    EXPECT_EQ(image.shiftRegisterCount[2][3], 9);
}

TEST_F(RoundTripTest, Model4544TwoResolvers) {
    sample4544Resolvers();
    Saved s = save();
    roundTrip(s);
    check(s);
}

TEST_F(RoundTripTest, DesignatedModelsAndFixedLevelMotion) {
    sample4356();
    Saved s = save();
    roundTrip(s);
    // Model 4356 keeps its last channel in the download as in the upload.
    check(s);

    // 3344 with the analog option writes the fixed-level motion form.
    SetUp();
    image.options[6] = 1;
    configure(3344, 16);
    lastChannel = 14;
    image.analogQuantity = 1;
    image.motionLowRpm[0] = 5;
    image.motionHighRpm[0] = 6;
    image.motionLowRpm[1] = 7;
    image.motionHighRpm[1] = 8;
    present({4, 11, 20});
    Saved fixed = save();
    roundTrip(fixed);
    fixed.lastChannel = 14;
    check(fixed);
}

TEST_F(RoundTripTest, ManySetpointsAndMappings) {
    configure(4344, 128);
    allocateSetpoints(5000);
    for (int i = 0; i < 5000; ++i) setpoints[i] = {i % 48, i % 128, i * 7 - 3000, i};
    setpointCount = 5000;
    image.mappingCount = kMaxMappings;
    for (int i = 0; i < kMaxMappings; ++i) image.mappings[i] = {i % 7 + 1, 40000 + i, i % 8, i % 3, i % 5};
    present({14, 15, 49});
    Saved s = save();
    roundTrip(s);
    check(s);
}

}  // namespace
}  // namespace image_test
