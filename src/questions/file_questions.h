#pragma once
#include <string>
#include <vector>

// The questions on data files alone, which change nothing: a file checked
// before a download (linkora check), two files compared (linkora diff).
// Each returns its exit status: 0 nothing found, 1 findings or differences,
// 2 trouble.

// A data file to compare: the file at `name`, or (`isText`) the bytes of
// `text` shown by `name`, a version from a history (press-a@approved).
struct DataSource {
    std::string name;
    bool isText = false;
    std::string text;
};

int checkDataFileCommand(const std::string& path);
int diffDataFilesCommand(const DataSource& a, const DataSource& b);

// The words after the program name, "check" or "diff" first: the files they
// name, or the message for a wrong command line.
std::string parseCheckLine(const std::vector<std::string>& args, std::string& path);
// diff takes --into DIR, the backup folder whose history versions come from
// (empty when not given).
std::string parseDiffLine(const std::vector<std::string>& args, std::string& pathA, std::string& pathB,
                          std::string& into);
