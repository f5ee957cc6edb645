#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// linkora show: a data file's programs drawn as timing charts, in the
// terminal or as an SVG file; nothing is sent to a controller.

struct ShowRequest {
    std::string file;
    std::optional<int64_t> program;  // 1-based; only this program
    std::string against;             // empty: no comparison
    std::string svg;                 // empty: the terminal; "-": SVG on standard output
};

// Exit status: 0 drawn (also for a file without any setpoint), 2 trouble (a
// file that cannot be read or has no model line, a program asked for that
// holds no setpoint, an SVG that cannot be written or would be taller than
// one SVG holds), with a line on standard error naming the file.
int showCommand(const ShowRequest& request);

// The words after the program name, "show" first:
//   show <Filename> [--program N] [--against OtherFile] [--svg OUT]
// with the options in any order. The message for a wrong command line, or
// empty.
std::string parseShowLine(const std::vector<std::string>& args, ShowRequest& out);
