#pragma once
// The real linkora against linkora-sim with faults switched on: the
// simulator and the program as child processes, their files in temporary
// folders.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_process.h"
#include "support/test_support.h"

namespace faults {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using Child = testing_support::ChildProcess;

// linkora-sim on a pseudo-terminal, its files in a folder of its own.
class Sim : public testing_support::SimProcess {
public:
    explicit Sim(std::vector<std::string> options) : SimProcess(std::move(options), Keep::LogAndState) {}
    // Requests the simulator has received so far.
    int requests() const {
        const std::string log = testing_support::readFile(logPath);
        int count = 0;
        for (std::size_t at = log.find(" RX "); at != std::string::npos; at = log.find(" RX ", at + 1)) ++count;
        return count;
    }
    // Waits until `count` requests arrived; false after `timeoutMs`.
    bool waitForRequests(int count, int timeoutMs) const {
        const auto start = Clock::now();
        while (requests() < count) {
            if (secondsSince(start) * 1000 > timeoutMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};

// The names in a folder, "." and ".." left out.
inline std::vector<std::string> folderEntries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The value lines of a data file without their line-number field and
// comment, so that two files of the same configuration compare equal.
inline std::vector<std::string> valueLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] < '0' || line[0] > '9') continue;
        line = line.substr(0, line.find(';'));
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The unattended command line, bounded in time; -1 when it had to be killed.
inline int runLinkora(const std::vector<std::string>& args, const std::string& cwd, std::string& output,
                      int timeoutMs) {
    std::vector<std::string> argv{LINKORA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::runProgram(argv, output, timeoutMs, "", cwd);
}

}  // namespace faults
