#pragma once
#include <string>

// The commands that answer questions without changing anything: a data file
// checked before a download, two data files compared, a controller compared
// with a data file. Each returns its exit status: 0 nothing found, 1
// findings or differences, 2 trouble (or 128 + n when signal n interrupted).

int checkDataFileCommand(const std::string& path);
int diffDataFilesCommand(const std::string& pathA, const std::string& pathB);
// The controller on the line set in commSettings against the file.
int compareControllerCommand(const std::string& path);
