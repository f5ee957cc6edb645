// The settings file: whatever it holds, the port comes out as a menu choice
// and the baud rate as one the line can be set to, and what is saved reads
// back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "platform/line_device.h"
#include "shell/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::installQuietConsole();
        return true;
    }();
    (void)ready;
    commSettings = CommunicationSettings{};
    fuzzing::writeScratch(data, size);
    loadSettingsFile(fuzzing::scratchPath().c_str());

    if (commSettings.comPort < 0 || commSettings.comPort > 3) std::abort();
    const int baud = commSettings.baudRate;
    // Any rate the line can be set to is kept; anything else falls back.
    if (!platform::baudRateSupported(baud)) std::abort();
    if (std::strcmp(comPortName(commSettings.comPort), "?") == 0) std::abort();

    const CommunicationSettings loaded = commSettings;
    if (!saveSettingsFile(fuzzing::scratchPath().c_str())) std::abort();
    commSettings = CommunicationSettings{};
    loadSettingsFile(fuzzing::scratchPath().c_str());
    if (commSettings.comPort != loaded.comPort || commSettings.baudRate != loaded.baudRate ||
        commSettings.unitAddress != loaded.unitAddress) {
        std::abort();
    }
    return 0;
}
