#pragma once
// linkora-sim and linkora as child processes for the end-to-end tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_process.h"
#include "support/test_support.h"

namespace transfer_test {

using testing_support::SimProcess;

// Runs the real linkora with an unattended command line in `cwd`.
inline int runLinkora(const std::vector<std::string>& args, std::string& output, const std::string& cwd,
                      const std::vector<std::string>& extraEnv = {}, int timeoutMs = 90000) {
    std::vector<std::string> argv{LINKORA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::runProgram(argv, output, timeoutMs, "", cwd, extraEnv);
}

// The value lines of a data file, by function number, without line numbers
// and comments; the upload date line is ignored.
inline std::map<int, std::vector<std::string>> valueLines(const std::string& text) {
    std::map<int, std::vector<std::string>> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] < '0' || line[0] > '9') continue;
        // The data text ends where the line-number field (";", four places, ";") begins.
        static const std::regex kField("^(.*?) *;[ 0-9]{4};");
        std::smatch match;
        const std::string data = std::regex_search(line, match, kField) ? match[1].str() : line;
        lines[std::stoi(data)].push_back(data);
    }
    return lines;
}

// The file with its upload date line blanked.
inline std::string maskDate(std::string text) {
    const std::size_t at = text.find("Upload Date: ");
    if (at == std::string::npos) return text;
    const std::size_t end = text.find('\n', at);
    text.replace(at, end - at, "Upload Date: <masked>");
    return text;
}

}  // namespace transfer_test
