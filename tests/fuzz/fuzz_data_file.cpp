// The data file reader, in the order the download uses it: model line,
// setpoint count, the reading pass and the steps after reading; then the
// writer over what was read; the findings of the lines read; the file
// loaded as the offline commands load it, compared with itself, and
// screened as a download screens it. Input: six
// control bytes, then the file.
//   byte 0: the controller's model (index into a table)
//   byte 1: first channel (signed)
//   bytes 2-3: last channel (signed, big-endian)
//   byte 4: effective options: bit i sets option 3 * i
//   byte 5: bit 0 mappingsOnly, bit 1 setDefaults, bit 2 keepOffsets
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/settings.h"
#include "fuzz_support.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_check.h"
#include "image/image_compare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::installQuietConsole();
        return true;
    }();
    (void)ready;
    if (size < 6) return 0;
    static const int32_t kModels[] = {3300, 3343, 3344, 4334, 4344, 4354, 4355, 4356, 4444, 4544, 0, 1234, -4};

    // The file is read through the stdio stream the download opens, from a
    // private file so that rewinding and line reads behave as on disk.
    fuzzing::writeScratch(data + 6, size - 6);
    std::FILE* file = std::fopen(fuzzing::scratchPath().c_str(), "rb");
    if (file == nullptr) std::abort();

    resetImage();
    releaseSetpoints();
    configModel = kModels[data[0] % (sizeof kModels / sizeof kModels[0])];
    image.model = configModel;
    firstChannel = static_cast<int8_t>(data[1]);
    lastChannel = static_cast<int16_t>((data[2] << 8) | data[3]);
    for (int i = 0; i < kOptionCount; ++i) effectiveOptions[i] = (i % 3 == 0) ? (data[4] >> (i / 3)) & 1 : 0;
    transferOptions.mappingsOnly = data[5] & 1;
    transferOptions.setDefaults = data[5] & 2;
    transferOptions.keepOffsets = data[5] & 4;

    dataFile = file;
    if (findModelLine()) {
        const int counted = countSetpointLines();
        if (counted < 0) std::abort();
        if (counted > 0) allocateSetpoints(counted);
        setpointCount = 0;
        readDataFile();
        if (!transferOptions.mappingsOnly) applyAfterReadingSteps();
        for (const Finding& f : readingFindings()) {
            if (f.line < 1 || f.message.empty()) std::abort();
        }
        if (setpointCount < 0 || static_cast<std::size_t>(setpointCount) > setpoints.size()) std::abort();
    }
    std::fclose(file);

    // What was read is written again, as after an upload.
    static std::FILE* sink = std::fopen("/dev/null", "wb");
    if (sink == nullptr) std::abort();
    dataFile = sink;
    writeDataFile();
    std::fflush(sink);
    dataFile = nullptr;

    // The file as linkora check and diff load it: no differences with itself.
    std::unique_ptr<ImageCopy> loaded;
    if (loadDataFile(fuzzing::scratchPath(), loaded) == 0) {
        for (const Finding& f : loaded->findings) {
            if (f.line < 1 || f.message.empty()) std::abort();
        }
        // The screen, which may end its reading early, refuses exactly the
        // files that the whole reading refuses.
        const bool refused = fileRefusal(readingTally()).has_value();
        FileScreen screen;
        if (screenDataFile(fuzzing::scratchPath(), screen) != 0 || screen.refusal.has_value() != refused) std::abort();
        if (!compareImages(*loaded, *loaded, CompareScope::Files).lines.empty()) std::abort();
        if (!compareImages(*loaded, *loaded, CompareScope::Download).lines.empty()) std::abort();
    }
    releaseSetpoints();
    return 0;
}
