// Verification after a download: read back and compare, block by block.
#include "transfer/verification.h"

#include <algorithm>
#include <array>
#include <string>
#include <tuple>

#include "common/console_io.h"
#include "common/progress.h"
#include "common/settings.h"
#include "link/modbus.h"
#include "transfer/connection.h"
#include "transfer/line_watch.h"
#include "transfer/outcome.h"
#include "transfer/transfer_scope.h"
#include "transfer/transfer_steps.h"
#include "transfer/unit_configuration.h"

namespace {

using Field = int32_t ControllerImage::*;
using ArrayField = int32_t (ControllerImage::*)[kMaxChannels];

// Values travel in at most 16 bits: a value sent as -5 reads back as 65531.
bool sameOnWire(int32_t a, int32_t b) { return ((a ^ b) & 0xFFFF) == 0; }

struct SingleValue {
    int block;
    Field field;
    const char* message;
};

const SingleValue kSingleValues[] = {
    {6, &ControllerImage::defaultProgram, "Default programs are different!\n"},
    {12, &ControllerImage::grayCodeSpeedComp, "Gray code speed comp different!\n"},
    {14, &ControllerImage::mapLimit, "Map limit different!\n"},
    {16, &ControllerImage::keyboardQuantity, "Keyboard quantity different!\n"},
    {20, &ControllerImage::analogQuantity, "Analog quantity different!\n"},
    {21, &ControllerImage::resolverType, "Resolver type different!\n"},
    {22, &ControllerImage::programSelectMode, "Program select mode different!\n"},
    {23, &ControllerImage::grayOutputLevel, "Gray code output level different!\n"},
    {24, &ControllerImage::timeBase, "Time base different!\n"},
    {26, &ControllerImage::defaultDisplay, "Default display different!\n"},
    {27, &ControllerImage::rateMultiplier, "Rate multiplier different!\n"},
    {27, &ControllerImage::rateDivisor, "Rate divisor different!\n"},
    {27, &ControllerImage::rateDecimalPoint, "Rate decimal point different!\n"},
    {27, &ControllerImage::rateUnits, "Rate units different!\n"},
    {28, &ControllerImage::toggleRpm, "Toggle rpm different!\n"},
    {29, &ControllerImage::rpmUpdateRate, "Rpm update rate different!\n"},
    {30, &ControllerImage::speedCompMode, "Speed comp mode different!\n"},
    {31, &ControllerImage::groupPositionDisplayMode, "Group position display mode different!\n"},
    {32, &ControllerImage::operatorId, "Operator ID different!\n"},
    {33, &ControllerImage::setupId, "Setup ID different!\n"},
    {34, &ControllerImage::masterId, "Master ID different!\n"},
    {36, &ControllerImage::operatorEnableSetpoints, "Operator enable (setpoints) different!\n"},
    {37, &ControllerImage::operatorEnableDefaultProgram, "Operator enable (default program) different!\n"},
    {38, &ControllerImage::operatorEnableSpeedComp, "Operator enable (speed comp) different!\n"},
    {39, &ControllerImage::operatorEnableTimedOutputs, "Operator enable (timed outputs) different!\n"},
    {40, &ControllerImage::operatorEnableOffsets, "Operator enable (offsets) different!\n"},
    {41, &ControllerImage::operatorEnableMotion, "Operator enable (motion detection) different!\n"},
    {42, &ControllerImage::operatorEnableAnalog, "Operator enable (analog values) different!\n"},
    {45, &ControllerImage::groupQuantity, "Group quantity different!\n"},
    {47, &ControllerImage::enableInputQuantity, "Enable input quantity different!\n"},
    {48, &ControllerImage::groupPositionMode, "Group position different!\n"},
};

// Per-channel blocks over firstChannel..lastChannel; "%d" is the channel
// number as the data file shows it (from 1).
struct ChannelValues {
    int block;
    ArrayField field;
    const char* message;
    int32_t limit;
};

const ChannelValues kChannelValues[] = {
    {7, &ControllerImage::speedCompLeading, "Speed comp (leading) different for chn %d!\n", kMaxChannels},
    {8, &ControllerImage::timedOutputDelay, "Time delay different for chn %d!\n", kMaxChannels},
    {35, &ControllerImage::channelEnable, "Channel enable different for chn %d!\n", kMaxChannels},
    {43, &ControllerImage::motionAnding, "Motion ANDing different for chn %d!\n", kMaxChannels},
    {44, &ControllerImage::outputEnableAnding, "Output enable ANDing different for chn %d!\n", kMaxChannels},
    {50, &ControllerImage::inputEnableAnding, "Input enable ANDing different for chn %d!\n", kInputAndingEntries},
};

std::string number(int64_t value) { return std::to_string(value); }
std::string pair(int32_t a, int32_t b) { return std::to_string(a) + "," + std::to_string(b); }
// A mapping as the file shows it: targets from 1, a pulse mapping's channel
// and pulse too.
std::string mapping(const MappingRecord& m) {
    const int64_t plus = m.type == 2 ? 1 : 0;
    return std::to_string(m.type) + "," + std::to_string(m.register_) + "," + std::to_string(int64_t{m.target} + 1) +
           "," + std::to_string(m.pulseChannel + plus) + "," + std::to_string(m.pulseNumber + plus);
}

class Comparison {
public:
    explicit Comparison(const SentConfiguration& sent) : sent_(sent), was_(sent.image), is_(image) {}

    int differences() const { return differences_; }

    void report(const char* format, int a, int b, const std::string& file, const std::string& controller, int line) {
        conPrintf(format, a, b);
        const std::string where = line > 0 ? " (" + std::string(dataFileName) + ":" + std::to_string(line) + ")" : "";
        conPrintf("    file %s, controller %s%s\n", file.c_str(), controller.c_str(), where.c_str());
        ++differences_;
    }

    // The file's line that set an element; 0 when none did (a factory
    // default, an element the file left out).
    int lineOf(std::vector<int32_t> key) const {
        const auto at = sent_.lineOfKey.find(key);
        return at == sent_.lineOfKey.end() ? 0 : at->second;
    }
    // Blocks with a one-element and an indexed form.
    int lineOfEither(int32_t block, int32_t index) const {
        const int line = lineOf({block, index});
        return line > 0 ? line : lineOf({block});
    }
    static int recordLine(const std::vector<int>& lines, std::size_t index) {
        return index < lines.size() ? lines[index] : 0;
    }

    void compareSingles() {
        for (const SingleValue& row : kSingleValues) {
            if (sent_.sent[row.block] && !sameOnWire(was_.*row.field, is_.*row.field)) {
                // The file shows the default program from 1.
                const int32_t shown = row.block == 6 ? 1 : 0;
                report(row.message, 0, 0, number(int64_t{was_.*row.field} + shown),
                       number(int64_t{is_.*row.field} + shown), lineOf({row.block}));
            }
        }
    }

    void compareChannels() {
        int32_t first = sent_.firstChannel;
        int32_t last = sent_.lastChannel;
        for (const ChannelValues& row : kChannelValues) {
            if (!sent_.sent[row.block]) continue;
            const int32_t from = std::max<int32_t>(first, 0);
            const int32_t to = std::min<int32_t>(last, row.limit - 1);
            for (int32_t ch = from; ch <= to; ++ch) {
                if (!sameOnWire((was_.*row.field)[ch], (is_.*row.field)[ch])) {
                    // Rows of eight channels are keyed by their row.
                    const bool row8 = row.block != 7 && row.block != 8;
                    report(row.message, ch + 1, 0, number((was_.*row.field)[ch]), number((is_.*row.field)[ch]),
                           lineOf({row.block, row8 ? ch / 8 + 1 : ch + 1}));
                }
            }
        }
        if (sent_.sent[7] && sent_.effectiveOptions[kOptionLeadingTrailing] != 0) {
            const int32_t from = std::max<int32_t>(first, 0);
            const int32_t to = std::min<int32_t>(last, kMaxChannels - 1);
            for (int32_t ch = from; ch <= to; ++ch) {
                if (!sameOnWire(was_.speedCompTrailing[ch], is_.speedCompTrailing[ch])) {
                    report("Speed comp (trailing) different for chn %d!\n", ch + 1, 0,
                           number(was_.speedCompTrailing[ch]), number(is_.speedCompTrailing[ch]), lineOf({7, ch + 1}));
                }
            }
        }
    }

    void compareGroupsAndLevels() {
        const int32_t groups = clampCount(was_.groupQuantity, kMaxGroups);
        for (int32_t g = 0; g < groups; ++g) {
            if (sent_.sent[9] && !sameOnWire(was_.groupOffset[g], is_.groupOffset[g])) {
                report("Group offset different for group %d!\n", g + 1, 0, number(was_.groupOffset[g]),
                       number(is_.groupOffset[g]), lineOf({9, g + 1}));
            }
            if (sent_.sent[46] && (!sameOnWire(was_.groupChannelCount[g], is_.groupChannelCount[g]) ||
                                   !sameOnWire(was_.groupMode[g], is_.groupMode[g]))) {
                report("Group configuration different for group %d!\n", g + 1, 0,
                       pair(was_.groupChannelCount[g], was_.groupMode[g]),
                       pair(is_.groupChannelCount[g], is_.groupMode[g]), lineOf({46, g + 1}));
            }
        }
        if (sent_.sent[10]) {
            int32_t outputs = was_.analogQuantity;
            if (oneAnalogOutput(was_.model, sent_.effectiveOptions)) outputs = 1;
            outputs = clampCount(outputs, kMaxAnalogOutputs);
            for (int32_t a = 0; a < outputs; ++a) {
                if (!sameOnWire(was_.analogOffset[a], is_.analogOffset[a]) ||
                    !sameOnWire(was_.analogHighRpm[a], is_.analogHighRpm[a])) {
                    report("Analog output different for analog chn %d!\n", a + 1, 0,
                           pair(was_.analogOffset[a], was_.analogHighRpm[a]),
                           pair(is_.analogOffset[a], is_.analogHighRpm[a]), lineOf({10, a + 1}));
                }
            }
        }
        if (sent_.sent[11]) {
            // Under TVX Standard a firmware with one motion level reads and
            // writes level 1 alone; its level 2 reads back as zero.
            bool twoLevels = !oneMotionLevel(was_.model, sent_.effectiveOptions);
            if (commSettings.protocol == kTvxStandard && is_.motionLowRpm[1] == 0 && is_.motionHighRpm[1] == 0) {
                twoLevels = false;
            }
            for (int level = 0; level < (twoLevels ? 2 : 1); ++level) {
                if (!sameOnWire(was_.motionLowRpm[level], is_.motionLowRpm[level]) ||
                    !sameOnWire(was_.motionHighRpm[level], is_.motionHighRpm[level])) {
                    report("Motion detection different for level %d!\n", level + 1, 0,
                           pair(was_.motionLowRpm[level], was_.motionHighRpm[level]),
                           pair(is_.motionLowRpm[level], is_.motionHighRpm[level]), lineOfEither(11, level + 1));
                }
            }
        }
        if (sent_.sent[25] && (!sameOnWire(was_.terminationResistor[0], is_.terminationResistor[0]) ||
                               !sameOnWire(was_.terminationResistor[1], is_.terminationResistor[1]))) {
            report("Termination resistors different!\n", 0, 0,
                   pair(was_.terminationResistor[0], was_.terminationResistor[1]),
                   pair(is_.terminationResistor[0], is_.terminationResistor[1]), lineOf({25}));
        }
        // Both protocols carry the first resolver's values only.
        for (int r = 0; r < 1; ++r) {
            if (sent_.sent[17] && !sameOnWire(was_.rotationDirection[r], is_.rotationDirection[r])) {
                report("Direction of rotation different for resolver %d!\n", r + 1, 0,
                       number(was_.rotationDirection[r]), number(is_.rotationDirection[r]), lineOfEither(17, r + 1));
            }
            if (sent_.sent[18] && !sameOnWire(was_.scaleFactor[r], is_.scaleFactor[r])) {
                report("Scale factor different for resolver %d!\n", r + 1, 0, number(was_.scaleFactor[r]),
                       number(is_.scaleFactor[r]), lineOfEither(18, r + 1));
            }
            if (sent_.sent[19] && !sameOnWire(was_.shaftOffset[r], is_.shaftOffset[r])) {
                report("Absolute offset different for resolver %d!\n", r + 1, 0, number(was_.shaftOffset[r]),
                       number(is_.shaftOffset[r]), lineOfEither(19, r + 1));
            }
        }
    }

    void compareMappings() {
        if (!sent_.sent[15]) return;
        if (was_.mappingCount != is_.mappingCount) {
            report("Mapping quantity different!\n", 0, 0, number(was_.mappingCount), number(is_.mappingCount), 0);
            return;
        }
        const int32_t count = clampCount(was_.mappingCount, kMaxMappings);
        for (int32_t i = 0; i < count; ++i) {
            const MappingRecord& a = was_.mappings[i];
            const MappingRecord& b = is_.mappings[i];
            if (!sameOnWire(a.type, b.type) || !sameOnWire(a.register_, b.register_) ||
                !sameOnWire(a.target, b.target) || !sameOnWire(a.pulseChannel, b.pulseChannel) ||
                !sameOnWire(a.pulseNumber, b.pulseNumber)) {
                report("Mapping %d different!\n", i + 1, 0, mapping(a), mapping(b),
                       recordLine(sent_.mappingLines, static_cast<std::size_t>(i)));
            }
        }
    }

    // The controller may keep its setpoints in an order of its own, so the
    // two lists are compared as sets.
    void compareSetpoints() {
        if (!sent_.sent[49]) return;
        using Key = std::tuple<int32_t, int32_t, int32_t, int32_t>;
        auto keys = [](const std::vector<SetpointRecord>& records, std::size_t count) {
            std::vector<Key> result;
            for (std::size_t i = 0; i < count && i < records.size(); ++i) {
                const SetpointRecord& r = records[i];
                result.emplace_back(r.program & 0xFFFF, r.channel & 0xFFFF, r.on & 0xFFFF, r.off & 0xFFFF);
            }
            std::sort(result.begin(), result.end());
            return result;
        };
        const std::vector<Key> was = keys(sent_.setpoints, sent_.setpoints.size());
        const std::vector<Key> is = keys(setpoints, static_cast<std::size_t>(std::max<int32_t>(setpointCount, 0)));
        if (was.size() != is.size())
            report("Pulse quantity different!\n", 0, 0, number(static_cast<int32_t>(was.size())),
                   number(static_cast<int32_t>(is.size())), 0);
        std::vector<Key> missing;
        std::set_difference(was.begin(), was.end(), is.begin(), is.end(), std::back_inserter(missing));
        for (const Key& key : missing) {
            // What the controller holds on the same channel of the same program.
            std::string held;
            for (const Key& other : is) {
                if (std::get<0>(other) != std::get<0>(key) || std::get<1>(other) != std::get<1>(key)) continue;
                held += (held.empty() ? "" : " ") + pair(std::get<2>(other), std::get<3>(other));
            }
            // The file's line of the record.
            int line = 0;
            for (std::size_t i = 0; i < sent_.setpoints.size() && line == 0; ++i) {
                const SetpointRecord& r = sent_.setpoints[i];
                if (Key(r.program & 0xFFFF, r.channel & 0xFFFF, r.on & 0xFFFF, r.off & 0xFFFF) == key)
                    line = recordLine(sent_.setpointLines, i);
            }
            report("Pulse different in program %d channel %d!\n", std::get<0>(key) + 1, std::get<1>(key) + 1,
                   pair(std::get<2>(key), std::get<3>(key)), held.empty() ? "none" : held, line);
        }
    }

    // The image holds the file's count minus one; the controller holds the
    // count itself. Entries of 0 are not sent.
    void compareShiftCounts() {
        if (!sent_.sent[51]) return;
        const int32_t to = std::min<int32_t>(sent_.lastChannel, kShiftChannels);
        for (int p = 0; p < kShiftPrograms; ++p) {
            for (int32_t c = std::max<int32_t>(sent_.firstChannel, 0); c < to; ++c) {
                const int32_t value = was_.shiftRegisterCount[p][c];
                if (value != 0 && !sameOnWire(value + 1, is_.shiftRegisterCount[p][c])) {
                    report("Shift register count different in program %d channel %d!\n", p + 1, c + 1,
                           number(int64_t{value} + 1), number(is_.shiftRegisterCount[p][c]),
                           lineOf({51, p + 1, c + 1}));
                }
            }
        }
    }

private:
    const SentConfiguration& sent_;
    const ControllerImage& was_;
    const ControllerImage& is_;
    int differences_ = 0;
};

}  // namespace

std::unique_ptr<SentConfiguration> captureSentConfiguration(const bool sent[kFunctionCount]) {
    auto copy = std::make_unique<SentConfiguration>();
    copy->image = image;
    const std::size_t count = static_cast<std::size_t>(std::max<int32_t>(setpointCount, 0));
    copy->setpoints.assign(setpoints.begin(), setpoints.begin() + std::min(count, setpoints.size()));
    for (int n = 0; n < kFunctionCount; ++n) copy->sent[n] = sent[n];
    for (int i = 0; i < kOptionCount; ++i) copy->effectiveOptions[i] = effectiveOptions[i];
    copy->firstChannel = firstChannel;
    copy->lastChannel = lastChannel;
    return copy;
}

int compareWithSent(const SentConfiguration& sent, const std::vector<int>& unreadable) {
    auto readable = std::make_unique<SentConfiguration>(sent);
    for (int n : unreadable) {
        if (n >= 0 && n < kFunctionCount) readable->sent[n] = false;
    }
    Comparison check(*readable);
    check.compareSingles();
    check.compareChannels();
    check.compareGroupsAndLevels();
    check.compareMappings();
    check.compareSetpoints();
    check.compareShiftCounts();
    if (!unreadable.empty()) conPrintf("Blocks that could not be read back: %s\n", blockList(unreadable).c_str());
    return check.differences() + static_cast<int>(unreadable.size());
}

int verifyDownloadedBlocks(TransferScope& transfer, const SentConfiguration& sent) {
    conPuts("Verifying download...\n");
    progress::phase("verifying");
    resetImage();
    image.model = sent.image.model;
    image.outputQuantity = sent.image.outputQuantity;
    for (int i = 0; i < kOptionCount; ++i) image.options[i] = sent.image.options[i];
    for (int i = 0; i < kOptionCount; ++i) effectiveOptions[i] = sent.effectiveOptions[i];
    firstChannel = sent.firstChannel;
    lastChannel = sent.lastChannel;

    transfer.startLoading();
    bool stopped = false;
    if (sent.sent[49]) {
        readSetpointCount();
        if (setpointCount > 0) allocateSetpoints(setpointCount);
        if (setpointCount > 300) {
            commSettings.functionHandler(1, 0);
            stopped = true;
        }
    }
    // The analog outputs are counted before block 10 is read, as the unit
    // configuration of an upload does.
    image.analogQuantity = sent.image.analogQuantity;
    if (sent.sent[20]) commSettings.functionHandler(0, 20);

    // A block the protocol does not carry sends no request and is not
    // compared; one that was asked for and did not come back is a failure.
    auto readable = std::make_unique<SentConfiguration>(sent);
    std::vector<int> unreadable;
    for (int n = 6; n < kFunctionCount; ++n) {
        if (!sent.sent[n] || blockAbsent[n] == 0) continue;
        progress::block(n, false);
        const int64_t requestsBefore = linewatch::requestsSent();
        const bool done = moveBlock(0, n).done;
        const bool asked = linewatch::requestsSent() != requestsBefore;
        if (!done || (asked && blockAbsent[n] != 0 && n != 49)) {
            unreadable.push_back(n);
        } else if (!asked && n != 49) {
            readable->sent[n] = false;
        }
    }
    progress::endLine();
    transfer.stopLoading();
    if (stopped && !restartController()) conPuts("The controller did not confirm its restart.\n");

    const int differences = compareWithSent(*readable, unreadable);
    releaseSetpoints();
    if (differences != 0) {
        conPrintf("Verification failed: %d difference(s).\n", differences);
        // Blocks that could not be read back make it a failed transfer.
        if (unreadable.empty()) {
            outcome::fail(kExitDifferences, dataFileName,
                          "verification found " + std::to_string(differences) + " difference(s)");
        } else {
            outcome::fail(kExitFailed, lineDeviceName(),
                          "blocks that could not be read back: " + blockList(unreadable));
        }
        return 1;
    }
    conPuts("Verification passed.\n");
    return 0;
}
