#pragma once
#include <cstdio>

#include "common/settings.h"

// Settings file LINKORA.CFG in the current folder.
extern const char* const kSettingsFileName;
// Loads the settings file; missing or short files keep the initial values.
void loadSettingsFile(const char* path = kSettingsFileName);
// Opens the settings file for rewriting, its old content dropped; nullptr
// when it cannot be opened.
std::FILE* openSettingsFileForUpdate(const char* path = kSettingsFileName);
// Writes the settings line into a file from openSettingsFileForUpdate() and
// closes it; false when writing or closing failed.
bool writeSettingsFile(std::FILE* file);
// Both steps at once; false when either failed.
bool saveSettingsFile(const char* path = kSettingsFileName);
