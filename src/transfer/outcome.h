#pragma once
#include <string>

// How an unattended upload or download ended, for scripts: the exit status
// and, on standard error, one line per failure naming the device or file and
// the reason. The interactive form keeps none of it.

enum ExitStatus : int {
    kExitDone = 0,
    kExitFailed = 1,         // the controller stopped answering, a block failed
    kExitUsage = 2,          // wrong command line
    kExitPort = 3,           // the port cannot be opened
    kExitNoController = 4,   // no controller answered
    kExitDataFile = 5,       // the data file cannot be read or written, or is no data file
    kExitDifferences = 6,    // verification found differences
    kExitLinesChanged = 7,   // downloaded, but lines of the file were ignored or changed
    kExitFoundStopped = 8,   // uploaded, but the controller was found stopped (it may hold an unfinished download)
    kExitNotRestarted = 9,   // uploaded, but the controller's restart was not confirmed
    kExitInterrupted = 128,  // + n: ended by signal n
};

namespace outcome {

// Starts a run; reporting on standard error only when `unattended`.
void begin(bool unattended);
bool unattended();
// Notes the cause of a failure; the first one noted stands.
void fail(int status);
// Notes the cause and prints "linkora: <subject>: <reason>" on standard
// error when the run is unattended.
void fail(int status, const std::string& subject, const std::string& reason);
// Prints the standard-error line only (a warning that changes no status).
void warn(const std::string& subject, const std::string& reason);
// The command line of the run as typed (argv joined), for the trace header;
// empty for the interactive form.
void setCommandLine(int argc, char** argv);
const std::string& commandLine();
// The exit status for a transfer result: 1 becomes the cause noted.
int statusFor(int result);

}  // namespace outcome
