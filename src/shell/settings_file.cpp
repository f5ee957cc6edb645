#include "shell/settings_file.h"

#include <cstdio>

#include "platform/line_device.h"

const char* const kSettingsFileName = "LINKORA.CFG";

void loadSettingsFile(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;
    char line[32] = {};
    const bool gotLine = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!gotLine) return;

    // Fields are taken from the left until the first one that does not parse.
    const CommunicationSettings initial;
    int values[3] = {};
    const int parsed = std::sscanf(line, "%d %d %d", &values[0], &values[1], &values[2]);
    if (parsed >= 1) commSettings.comPort = (values[0] >= 0 && values[0] <= 3) ? values[0] : initial.comPort;
    // Any rate the line can be set to is kept, not only the menu's four.
    if (parsed >= 2) commSettings.baudRate = platform::baudRateSupported(values[1]) ? values[1] : initial.baudRate;
    if (parsed >= 3) commSettings.unitAddress = values[2];
}

std::FILE* openSettingsFileForUpdate(const char* path) { return std::fopen(path, "wb"); }

bool writeSettingsFile(std::FILE* file) {
    if (file == nullptr) return false;
    const bool written =
        std::fprintf(file, "%d %d %d\n", commSettings.comPort, commSettings.baudRate, commSettings.unitAddress) > 0;
    // Closing flushes the line: a full disk shows up here.
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

bool saveSettingsFile(const char* path) { return writeSettingsFile(openSettingsFileForUpdate(path)); }
