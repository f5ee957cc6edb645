// The named model rules at the edges of every code they compare with.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "image/controller_image.h"

namespace {

struct ModelCase {
    int32_t model;
    const char* rules;  // the letters of the rules that hold, in this order:
    // s small, l large, f scale factor, r rate setup, d default display,
    // g output groups, 2 two resolvers, h shift counts, a own analog quantity,
    // b built-in options, H built-in high resolution, c analog outputs off the
    // channels
};

std::string rulesOf(int32_t m) {
    std::string r;
    const std::pair<bool, char> rules[] = {{modelIsSmall(m), 's'},
                                           {modelIsLarge(m), 'l'},
                                           {modelHasScaleFactor(m), 'f'},
                                           {modelHasRateSetup(m), 'r'},
                                           {modelHasDefaultDisplay(m), 'd'},
                                           {modelHasGroups(m), 'g'},
                                           {modelHasTwoResolvers(m), '2'},
                                           {modelHasShiftCounts(m), 'h'},
                                           {modelHasOwnAnalogQuantity(m), 'a'},
                                           {modelHasBuiltInOptions(m), 'b'},
                                           {modelHasBuiltInHighResolution(m), 'H'},
                                           {modelTakesAnalogOffChannels(m), 'c'}};
    for (const auto& [holds, letter] : rules) {
        if (holds) r += letter;
    }
    return r;
}

class ModelRules : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelRules, HoldWhereTheCodeSays) { EXPECT_EQ(rulesOf(GetParam().model), GetParam().rules); }

INSTANTIATE_TEST_SUITE_P(Codes, ModelRules,
                         ::testing::Values(ModelCase{3299, "sdc"}, ModelCase{3300, "sfdc"}, ModelCase{3343, "sfdc"},
                                           ModelCase{3344, "fdgc"}, ModelCase{3345, "lfdc"}, ModelCase{4334, "lfrdgc"},
                                           ModelCase{4343, "lfdc"}, ModelCase{4344, "lfrgac"},
                                           ModelCase{4354, "lfrgbc"}, ModelCase{4355, "lfrbHc"},
                                           ModelCase{4356, "lfrbH"}, ModelCase{4444, "lfrghc"},
                                           ModelCase{4544, "lfrg2c"}));

TEST(ModelRules, OptionsTogetherWithTheModel) {
    int32_t options[kOptionCount] = {};
    EXPECT_TRUE(oneMotionLevel(3343, options));
    EXPECT_FALSE(oneMotionLevel(3344, options));
    EXPECT_FALSE(fixedMotionLevels(3344, options));
    options[kOptionAnalogOutput] = 1;
    EXPECT_FALSE(oneMotionLevel(3343, options));
    EXPECT_TRUE(fixedMotionLevels(3344, options));
    EXPECT_FALSE(fixedMotionLevels(3345, options));
    EXPECT_TRUE(oneAnalogOutput(3343, options));
    EXPECT_FALSE(oneAnalogOutput(3344, options));
    EXPECT_FALSE(grayCodeAddsOutputs(3343, options));
    options[kOptionGrayCode] = 1;
    EXPECT_TRUE(grayCodeAddsOutputs(3343, options));
    EXPECT_FALSE(grayCodeAddsOutputs(3344, options));
    EXPECT_TRUE(modelHasTimeBase(3343, 23));
    EXPECT_FALSE(modelHasTimeBase(3343, 24));
    EXPECT_FALSE(modelHasTimeBase(3344, 8));
}

TEST(ModelRules, Designations) {
    EXPECT_STREQ(modelDesignation(4355), "KR55");
    EXPECT_EQ(modelDesignation(4444), nullptr);
    EXPECT_EQ(modelOfDesignation("KR56"), 4356);
    EXPECT_EQ(modelOfDesignation("kr56"), 0);
    EXPECT_EQ(modelOfDesignation("KR5"), 0);
}

}  // namespace
