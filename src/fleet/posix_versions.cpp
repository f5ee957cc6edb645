// linkora diff NAME@REV: a version of a controller's backup read from a
// backup folder's history, for the file questions to compare.
#include <sys/stat.h>

#include "fleet/backup.h"
#include "fleet/inventory.h"
#include "fleet/posix_history.h"
#include "fleet/posix_processes.h"

namespace fleet {

namespace {

constexpr int kGitTimeout = 300;

}  // namespace

bool isVersionArgument(const std::string& argument) {
    const std::size_t at = argument.find('@');
    if (at == std::string::npos || at + 1 >= argument.size() || !validControllerName(argument.substr(0, at))) {
        return false;
    }
    // A file of that name is the file.
    struct stat st {};
    return ::lstat(argument.c_str(), &st) != 0;
}

bool versionText(const std::string& dir, const std::string& argument, std::string& text, std::string& problem) {
    const std::size_t at = argument.find('@');
    const std::string name = argument.substr(0, at);
    const std::string rev = argument.substr(at + 1);
    const std::string git = findOnPath("git");
    if (git.empty()) {
        problem = "git is not on PATH; versions come from the history";
        return false;
    }
    History history(git, dir, kGitTimeout, "");
    if (!history.openToRead(problem)) return false;
    // approved: the version the tag approved/NAME marks; any other word a
    // revision, never an option to git.
    const std::string wanted = rev == "approved" ? "refs/tags/approved/" + name : rev;
    std::string out;
    if (!history.read({"rev-parse", "-q", "--verify", "--end-of-options", wanted + "^{commit}"}, out, problem)) {
        problem = rev == "approved" ? name + " has no approved version in " + dir + " (linkora approve)"
                                    : rev + " is no revision of the history in " + dir;
        return false;
    }
    const std::string commit = out.substr(0, out.find('\n'));
    if (!history.fileAt(commit, name + ".DAT", text, problem)) {
        if (problem.rfind("git cat-file", 0) == 0) problem = name + ".DAT is not in commit " + commit.substr(0, 7);
        return false;
    }
    return true;
}

}  // namespace fleet
