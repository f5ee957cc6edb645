#pragma once
// linkora-sim as a child process serving on a pseudo-terminal: the one way
// the tests start the simulator. Stopped when it goes out of scope; every
// wait for it is bounded.
#include <signal.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace testing_support {

class SimProcess {
public:
    // What the simulator keeps in its folder besides its output NAME.out:
    // nothing but what the options ask for, or its traffic in NAME.log and
    // the first controller's state in NAME-state.dat (--log, --save).
    enum class Keep { Nothing, LogAndState };

    // The simulator's files in `dir`, named after `name`.
    SimProcess(const TempDir& dir, std::vector<std::string> options, const std::string& name = "sim",
               Keep keep = Keep::LogAndState) {
        start(dir.path, name, std::move(options), keep);
    }
    // The simulator's files in a temporary folder of its own.
    explicit SimProcess(std::vector<std::string> options, Keep keep = Keep::Nothing)
        : ownDir_(std::make_unique<TempDir>()) {
        start(ownDir_->path, "sim", std::move(options), keep);
    }
    ~SimProcess() { stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // A file in the simulator's folder.
    std::string file(const std::string& name) const { return folder_ + "/" + name; }
    std::string log() const { return readFile(logPath); }
    std::string state() const { return readFile(statePath); }

    // Sends `signal` (SIGTERM: the simulator saves its state on the way
    // out) and waits at most `waitMs`, killing it after that. The exit
    // status, -1 when it had to be killed; later calls give the same.
    int stop(int signal = SIGTERM, int waitMs = 5000) {
        if (!child_) return status_;
        child_->kill(signal);
        status_ = child_->wait(waitMs);
        child_.reset();
        return status_;
    }

    // The line's device, as the simulator's first line of output names it;
    // empty when it did not come up in time.
    std::string devicePath;
    // Empty unless kept (Keep::LogAndState).
    std::string logPath;
    std::string statePath;

private:
    void start(const std::string& folder, const std::string& name, std::vector<std::string> options, Keep keep) {
        folder_ = folder;
#ifdef LINKORA_SIM_BIN
        std::vector<std::string> argv{LINKORA_SIM_BIN};
        if (keep == Keep::LogAndState) {
            logPath = file(name + ".log");
            statePath = file(name + "-state.dat");
            argv.insert(argv.end(), {"--save", statePath, "--log", logPath});
        }
        // One that outlives its test (a test program killed) stops by itself.
        argv.insert(argv.end(), {"--max-seconds", "240"});
        argv.insert(argv.end(), options.begin(), options.end());
        const std::string outPath = file(name + ".out");
        child_ = std::make_unique<ChildProcess>(argv, outPath);
        devicePath = waitForFirstLine(outPath, 5000);
#else
        (void)name;
        (void)options;
        (void)keep;
#endif
    }

    std::unique_ptr<TempDir> ownDir_;
    std::string folder_;
    std::unique_ptr<ChildProcess> child_;
    int status_ = -1;
};

}  // namespace testing_support
