#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "image/controller_image.h"

// Verification after a download: the blocks that were sent are read back
// from the controller into the image and compared with what was sent.

struct SentConfiguration {
    ControllerImage image{};
    std::vector<SetpointRecord> setpoints;
    bool sent[kFunctionCount] = {};
    int32_t effectiveOptions[kOptionCount] = {};
    int32_t firstChannel = 0;
    int32_t lastChannel = -1;
    // The data file's line that set each element (keyed as lineKey keys
    // it) and each setpoint and mapping record, for the differences shown.
    std::map<std::vector<int32_t>, int> lineOfKey;
    std::vector<int> setpointLines;
    std::vector<int> mappingLines;
};

// Takes a copy of the image as it is being sent; `sent[n]` for every block
// that the download sends.
std::unique_ptr<SentConfiguration> captureSentConfiguration(const bool sent[kFunctionCount]);

// Compares the image read back with what was sent and prints every
// difference, each followed by a line with the file's value, the
// controller's value and the line of the file that set it. Returns the number of differences; blocks listed in
// `unreadable` count as one each and are reported as not read back.
int compareWithSent(const SentConfiguration& sent, const std::vector<int>& unreadable);

class TransferScope;

// Reads the sent blocks back and compares them, with the loading coil of
// `transfer` on. 0: the controller holds what was sent; 1: differences or
// blocks that could not be read back.
int verifyDownloadedBlocks(TransferScope& transfer, const SentConfiguration& sent);
