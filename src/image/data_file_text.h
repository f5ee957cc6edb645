#pragma once
#include <cstdint>
#include <string>

// Helpers shared by the data file's writer, reader and block transcriber.

// printf into a string of any length.
std::string textf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// lastChannel reduced by an analog output quantity from the image, without
// overflow and never below -1 (no channel).
int32_t lastChannelLess(int32_t channel, int32_t quantity);

// Conditions of the banners before blocks 7 and 8: some channel of the range
// has a value to write.
bool anySpeedComp();
bool anyTimedOutput();
