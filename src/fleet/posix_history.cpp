#include "fleet/posix_history.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fleet/posix_processes.h"

namespace fleet {

namespace {

std::string trimmed(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' ')) --end;
    return text.substr(0, end);
}

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

int History::git(const std::vector<std::string>& args, std::string& out, std::string& err, bool withIdentity) {
    std::vector<std::string> argv{git_, "-C", dir_};
    if (withIdentity) {
        const std::vector<std::string> id = identity();
        argv.insert(argv.end(), id.begin(), id.end());
    }
    argv.insert(argv.end(), args.begin(), args.end());
    // Unattended: git never waits for a password on a terminal.
    // The folder's own repository, whatever repository the caller is in.
    static const std::vector<std::string> env =
        environmentWith({"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY", "GIT_COMMON_DIR"},
                        {"GIT_TERMINAL_PROMPT=0", "LC_ALL=C"});
    return runCaptured(argv, env, out, err);
}

std::string History::lastLine(const std::string& err, const std::string& fallback) {
    std::istringstream lines(err);
    std::string line, last;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (!line.empty() && line.rfind("hint:", 0) != 0) last = line;
    }
    return last.empty() ? fallback : last;
}

// A repository without a configured identity gets one for the commits of
// this run only: linkora at this host.
std::vector<std::string> History::identity() {
    if (identityKnown_) return identity_;
    identityKnown_ = true;
    std::string out, err;
    const bool hasName = envSet("GIT_AUTHOR_NAME") || git({"config", "user.name"}, out, err) == 0;
    const bool hasEmail = envSet("GIT_AUTHOR_EMAIL") || envSet("EMAIL") || git({"config", "user.email"}, out, err) == 0;
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::snprintf(host, sizeof host, "localhost");
    if (!hasName) identity_.insert(identity_.end(), {"-c", "user.name=linkora"});
    if (!hasEmail) identity_.insert(identity_.end(), {"-c", std::string("user.email=linkora@") + host});
    return identity_;
}

bool History::prepare(const std::vector<std::string>& excluded, std::string& error) {
    std::string out, err;
    // The folder must be the top of its own repository: a folder inside
    // another one's work tree gets a repository of its own.
    const int top = git({"rev-parse", "--show-toplevel"}, out, err);
    if (top < 0) {
        error = "cannot start git";
        return false;
    }
    if (top != 0 || realPath(trimmed(out)) != realPath(dir_)) {
        if (git({"init", "-q"}, out, err) != 0) {
            error = "git init: " + lastLine(err, "failed");
            return false;
        }
    }
    if (git({"rev-parse", "--git-path", "info/exclude"}, out, err) != 0) {
        error = "git rev-parse: " + lastLine(err, "failed");
        return false;
    }
    std::string exclude = trimmed(out);
    if (exclude.empty() || exclude[0] != '/') exclude = dir_ + "/" + exclude;
    std::string present;
    {
        std::ifstream in(exclude);
        std::ostringstream all;
        all << in.rdbuf();
        present = all.str();
    }
    std::string missing;
    for (const std::string& pattern : excluded) {
        if (("\n" + present).find("\n" + pattern + "\n") == std::string::npos) missing += pattern + "\n";
    }
    if (missing.empty()) return true;
    const std::string infoDir = exclude.substr(0, exclude.rfind('/'));
    ::mkdir(infoDir.c_str(), 0777);
    std::ofstream file(exclude, std::ios::app);
    if (!present.empty() && present.back() != '\n') file << "\n";
    file << "# the lock and the temporary files of linkora backup\n" << missing;
    file.close();
    if (!file) {
        error = exclude + ": cannot be written";
        return false;
    }
    return true;
}

bool History::stage(const std::vector<std::string>& files, std::vector<std::string>& changed, std::string& error) {
    changed.clear();
    if (files.empty()) return true;
    std::string out, err;
    // Also where a global ignore file would leave *.DAT out.
    std::vector<std::string> add{"add", "--force", "--"};
    add.insert(add.end(), files.begin(), files.end());
    if (git(add, out, err) != 0) {
        error = "git add: " + lastLine(err, "failed");
        return false;
    }
    // Only these files, whatever else may be staged.
    std::vector<std::string> staged{"diff", "--cached", "--name-only", "--no-renames", "HEAD", "--"};
    if (git({"rev-parse", "-q", "--verify", "HEAD"}, out, err) != 0) staged = {"diff", "--cached", "--name-only", "--"};
    staged.insert(staged.end(), files.begin(), files.end());
    if (git(staged, out, err) != 0) {
        error = "git diff: " + lastLine(err, "failed");
        return false;
    }
    std::istringstream names(out);
    for (std::string name; std::getline(names, name);) {
        if (!trimmed(name).empty()) changed.push_back(trimmed(name));
    }
    return true;
}

bool History::commit(const std::vector<std::string>& files, const std::string& subject, const std::string& body,
                     std::string& error) {
    std::string out, err;
    std::vector<std::string> commit{"commit", "-q", "-m", subject};
    if (!body.empty()) commit.insert(commit.end(), {"-m", body});
    commit.push_back("--");
    commit.insert(commit.end(), files.begin(), files.end());
    if (git(commit, out, err, true) != 0) {
        error = "git commit: " + lastLine(err, "failed");
        return false;
    }
    return true;
}

std::string History::head() {
    std::string out, err;
    if (git({"rev-parse", "-q", "--verify", "HEAD"}, out, err) != 0) return {};
    return trimmed(out);
}

bool History::push(std::string& done, std::string& error) {
    done.clear();
    std::string out, err;
    if (git({"symbolic-ref", "-q", "--short", "HEAD"}, out, err) != 0) {
        error = "not on a branch";
        return false;
    }
    const std::string branch = trimmed(out);
    std::string remote, merge;
    if (git({"config", "branch." + branch + ".remote"}, out, err) == 0) remote = trimmed(out);
    if (git({"config", "branch." + branch + ".merge"}, out, err) == 0) merge = trimmed(out);
    if (remote.empty() || merge.empty()) {
        error = "branch " + branch + " has no upstream (git -C " + dir_ + " push -u <remote> " + branch + ")";
        return false;
    }
    if (git({"fetch", "-q", remote}, out, err) != 0) {
        error = "git fetch " + remote + ": " + lastLine(err, "failed");
        return false;
    }
    long ahead = 0, behind = 0;
    if (git({"rev-parse", "-q", "--verify", "@{upstream}"}, out, err) != 0) {
        // The remote does not have the branch yet: all of it goes there.
        if (git({"rev-list", "--count", "HEAD"}, out, err) != 0) {
            error = "git rev-list: " + lastLine(err, "failed");
            return false;
        }
        ahead = std::strtol(out.c_str(), nullptr, 10);
    } else {
        if (git({"rev-list", "--left-right", "--count", "HEAD...@{upstream}"}, out, err) != 0) {
            error = "git rev-list: " + lastLine(err, "failed");
            return false;
        }
        if (std::sscanf(out.c_str(), "%ld %ld", &ahead, &behind) != 2) {
            error = "git rev-list: unexpected answer";
            return false;
        }
    }
    if (ahead == 0) return true;
    const std::string before = head();
    if (behind > 0) {
        if (git({"rebase", "-q", "@{upstream}"}, out, err, true) != 0) {
            const std::string why = lastLine(err + out, "failed");
            std::string o2, e2;
            git({"rebase", "--abort"}, o2, e2);
            git({"reset", "-q", "--hard", before}, o2, e2);
            error = "git rebase onto " + remote + ": " + why + "; the local history is as it was";
            return false;
        }
    }
    std::string target = merge;
    if (git({"push", "-q", remote, "HEAD:" + target}, out, err) != 0) {
        const std::string why = lastLine(err, "failed");
        if (behind > 0) {
            std::string o2, e2;
            git({"reset", "-q", "--hard", before}, o2, e2);
        }
        error = "git push " + remote + ": " + why + "; the local history is as it was";
        return false;
    }
    done = "pushed " + std::to_string(ahead) + " commit" + (ahead == 1 ? "" : "s") + " to " + remote +
           (behind > 0 ? " after a rebase onto " + std::to_string(behind) + " new there" : "");
    return true;
}

}  // namespace fleet
