#pragma once
#include <string>

// linkora c: the controller on the line set in commSettings compared with a
// data file, changing nothing. Returns the exit status: 0 nothing found, 1
// differences, 2 trouble (or 128 + n when signal n interrupted).
int compareControllerCommand(const std::string& path);
