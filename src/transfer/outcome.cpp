#include "transfer/outcome.h"

#include <cstdio>

namespace outcome {

namespace {
bool reporting = false;
int noted = kExitDone;
std::string typed;
}  // namespace

void begin(bool unattendedRun) {
    reporting = unattendedRun;
    noted = kExitDone;
}

bool unattended() { return reporting; }

void fail(int status) {
    if (noted == kExitDone) noted = status;
}

void fail(int status, const std::string& subject, const std::string& reason) {
    fail(status);
    warn(subject, reason);
}

void warn(const std::string& subject, const std::string& reason) {
    if (!reporting) return;
    std::fprintf(stderr, "linkora: %s: %s\n", subject.c_str(), reason.c_str());
    std::fflush(stderr);
}

void setCommandLine(int argc, char** argv) {
    typed.clear();
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i > 0) typed += ' ';
        const bool quote = arg.empty() || arg.find_first_of(" \t\"'") != std::string::npos;
        typed += quote ? "\"" + arg + "\"" : arg;
    }
}

const std::string& commandLine() { return typed; }

int statusFor(int result) { return result == kExitFailed && noted != kExitDone ? noted : result; }

}  // namespace outcome
