#pragma once
#include <string>
#include <vector>

// The questions on data files alone, which change nothing: a file checked
// before a download (linkora check), two files compared (linkora diff).
// Each returns its exit status: 0 nothing found, 1 findings or differences,
// 2 trouble.

int checkDataFileCommand(const std::string& path);
int diffDataFilesCommand(const std::string& pathA, const std::string& pathB);

// The words after the program name, "check" or "diff" first: the files they
// name, or the message for a wrong command line.
std::string parseCheckLine(const std::vector<std::string>& args, std::string& path);
std::string parseDiffLine(const std::vector<std::string>& args, std::string& pathA, std::string& pathB);
