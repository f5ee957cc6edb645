#pragma once
#include <cstdint>
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
};

// Takes a copy of the image as it is being sent; `sent[n]` for every block
// that the download sends.
std::unique_ptr<SentConfiguration> captureSentConfiguration(const bool sent[kFunctionCount]);

// Compares the image read back with what was sent and prints every
// difference. Returns the number of differences; blocks listed in
// `unreadable` count as one each and are reported as not read back.
int compareWithSent(const SentConfiguration& sent, const std::vector<int>& unreadable);

// Reads the sent blocks back and compares them. 0: the controller holds what
// was sent; 1: differences or blocks that could not be read back.
int verifyDownloadedBlocks(const SentConfiguration& sent);
