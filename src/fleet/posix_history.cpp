#include "fleet/posix_history.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "fleet/inventory.h"
#include "fleet/posix_folder.h"
#include "fleet/posix_processes.h"

namespace fleet {

namespace {

constexpr std::size_t kMaxMessageLines = 20;
constexpr std::size_t kMaxExcludeFile = 1024 * 1024;
// The largest backup another host may bring.
constexpr long long kMaxIncomingFile = 16LL * 1024 * 1024;
// The approvals, and where the remote's are fetched to beside them.
const std::string kApprovalTags = "refs/tags/approved/";
const std::string kRemoteApprovals = "refs/linkora/approved/";

// On every call: no hook, no configured program (fsmonitor, editor, pager,
// signing, external diff), no automatic gc, transports that run nothing.
const char* const kHardening[] = {
    "core.hooksPath=/dev/null",  "core.fsmonitor=false",       "core.editor=:",
    "sequence.editor=:",         "commit.gpgSign=false",       "tag.gpgSign=false",
    "push.gpgSign=false",        "log.showSignature=false",    "gc.auto=0",
    "maintenance.auto=false",    "submodule.recurse=false",    "fetch.recurseSubmodules=false",
    "protocol.allow=never",      "protocol.file.allow=always", "protocol.git.allow=always",
    "protocol.ssh.allow=always", "protocol.http.allow=always", "protocol.https.allow=always",
};

// The keys of the folder's own configuration that the backup takes: what
// git init, git clone, git remote add and git push -u write.
const char* const kFormatKeys[] = {
    "core.repositoryformatversion", "core.filemode", "core.logallrefupdates",   "core.ignorecase",
    "core.precomposeunicode",       "core.symlinks", "extensions.objectformat",
};

bool allowedKey(const std::string& key, const std::string& value, const std::string& textconv) {
    if (key == "diff.linkora.textconv") return !textconv.empty() && value == textconv;
    for (const char* k : kFormatKeys) {
        if (key == k) return true;
    }
    if (key == "core.bare") return value == "false" || value == "no" || value == "off" || value == "0";
    const std::size_t first = key.find('.');
    const std::size_t last = key.rfind('.');
    const std::string section = key.substr(0, first);
    if (section == "user") return true;
    if (first == last) return false;
    const std::string name = key.substr(last + 1);
    return (section == "remote" && (name == "url" || name == "fetch")) ||
           (section == "branch" && (name == "remote" || name == "merge"));
}

std::string trimmed(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' ')) --end;
    return text.substr(0, end);
}

// Text from git or a remote, fit for one line of ours.
std::string printable(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            ++i;  // a C1 control character in UTF-8
            continue;
        }
        if (c >= 0x20 && c != 0x7f) out += static_cast<char>(c);
    }
    return out;
}

bool isHex(const std::string& text) {
    if (text.size() != 40 && text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool isAttributes(const std::string& text) { return text == kAttributesText; }

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A push's failure: its headline told to end in `tail`, before git's
// messages.
std::string pushFailure(const std::string& error, const std::string& tail) {
    const std::size_t end = error.find('\n');
    if (end == std::string::npos) return "push failed: " + error + tail;
    return "push failed: " + error.substr(0, end) + tail + error.substr(end);
}

}  // namespace

std::string textconvSetting() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0 || buffer[0] != '/') return {};
    const std::string path(buffer, static_cast<std::size_t>(n));
    for (char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                           c == '.' || c == '_' || c == '+' || c == '-';
        if (!plain) return {};
    }
    return path + " textconv";
}

std::string gitMessages(const std::string& err) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : err + "\n") {
        if (c == '\n' || c == '\r') {
            line = printable(line);
            if (!trimmed(line).empty()) lines.push_back(trimmed(line));
            line.clear();
        } else {
            line += c;
        }
    }
    std::string out;
    const std::size_t from = lines.size() > kMaxMessageLines ? lines.size() - kMaxMessageLines : 0;
    if (from > 0) out += "(" + std::to_string(from) + " earlier lines of git left out)\n";
    for (std::size_t i = from; i < lines.size(); ++i) out += lines[i] + "\n";
    return out;
}

int History::git(const std::vector<std::string>& args, std::string& out, std::string& err, bool withIdentity,
                 std::size_t outLimit) {
    // The folder's own repository, whatever repository the caller is in, and
    // never one that git would find above it.
    std::vector<std::string> argv{git_, "-C", dir_, "--git-dir=.git", "--work-tree=.", "--no-pager"};
    for (const char* setting : kHardening) argv.insert(argv.end(), {"-c", setting});
    if (withIdentity) {
        const std::vector<std::string> id = identity();
        argv.insert(argv.end(), id.begin(), id.end());
    }
    argv.insert(argv.end(), args.begin(), args.end());
    // Unattended: git never waits for a password on a terminal nor opens an
    // editor.
    static const std::vector<std::string> env =
        environmentWith({"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY", "GIT_COMMON_DIR",
                         "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_NAMESPACE", "GIT_CEILING_DIRECTORIES"},
                        {"GIT_TERMINAL_PROMPT=0", "LC_ALL=C", "GIT_EDITOR=:", "GIT_SEQUENCE_EDITOR=:"});
    return runCaptured(argv, env, out, err, limit_, stopFd_, outLimit > 0 ? outLimit : kCaptureLimit);
}

bool History::run(const std::string& what, const std::vector<std::string>& args, std::string& out, std::string& error,
                  bool withIdentity, std::size_t outLimit) {
    std::string err;
    const int status = git(args, out, err, withIdentity, outLimit);
    if (status == 0) return true;
    if (status == kNotStarted) {
        error = what + ": git cannot be started (" + git_ + ")";
    } else if (status == kTimedOut) {
        error = what + " did not end within " + std::to_string(limit_) + " s (--git-timeout); it was ended";
    } else {
        error = what + " ended with status " + std::to_string(status);
    }
    const std::string messages = gitMessages(err + out);
    if (!messages.empty()) error += "\n" + messages.substr(0, messages.size() - 1);
    return false;
}

// A repository without a configured identity gets one for the commits of
// this run only: linkora at this host.
std::vector<std::string> History::identity() {
    if (identityKnown_) return identity_;
    identityKnown_ = true;
    auto envSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    std::string out, err;
    const bool hasName = envSet("GIT_AUTHOR_NAME") || git({"config", "user.name"}, out, err) == 0;
    const bool hasEmail = envSet("GIT_AUTHOR_EMAIL") || envSet("EMAIL") || git({"config", "user.email"}, out, err) == 0;
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::snprintf(host, sizeof host, "localhost");
    if (!hasName) identity_.insert(identity_.end(), {"-c", "user.name=linkora"});
    if (!hasEmail) identity_.insert(identity_.end(), {"-c", std::string("user.email=linkora@") + host});
    return identity_;
}

std::string History::configured(const std::string& key) const {
    std::string value;
    for (const auto& [k, v] : config_) {
        if (k == key) value = v;
    }
    return value;
}

bool History::checkConfiguration(std::string& error) {
    // git reads its own file; the keys come lower case where git ignores
    // case, each "key\nvalue" ended by a NUL.
    std::string out;
    if (!run("git config --list", {"config", "--file", ".git/config", "--null", "--list"}, out, error)) {
        return false;
    }
    config_.clear();
    const std::string textconv = textconvSetting();
    std::istringstream entries(out);
    for (std::string entry; std::getline(entries, entry, '\0');) {
        const std::size_t newline = entry.find('\n');
        const std::string key = entry.substr(0, newline);
        const std::string value = newline == std::string::npos ? "true" : entry.substr(newline + 1);
        if (key == "diff.linkora.textconv" && !allowedKey(key, value, textconv)) {
            error = ".git/config sets diff.linkora.textconv to \"" + printable(value) +
                    "\", which the backup does not take: it takes only the value it sets itself (" +
                    (textconv.empty() ? std::string("none here") : "\"" + textconv + "\"") +
                    "), as another could make git run a program (git -C " + dir_ +
                    " config --unset-all diff.linkora.textconv; the next backup sets it)";
            return false;
        }
        if (!allowedKey(key, value, textconv)) {
            error = ".git/config sets " + printable(key) +
                    ", which the backup does not take: a repository's own configuration could make git run a "
                    "program. It takes the repository format keys, remote.*.url and .fetch, branch.*.remote and "
                    ".merge, user.* and the diff.linkora.textconv the backup sets; settings of your own belong in the "
                    "global git configuration (git -C " +
                    dir_ + " config --unset-all " + printable(key) + ")";
            return false;
        }
        config_.emplace_back(key, value);
    }
    return true;
}

bool History::open(std::vector<std::string>& notes, std::string& error) {
    const std::string gitDir = dir_ + "/.git";
    struct stat st {};
    std::string out;
    if (::lstat(gitDir.c_str(), &st) != 0) {
        if (!run("git init", {"init", "-q", "--template="}, out, error)) return false;
    }
    if (!checkRepository(error)) return false;

    std::vector<std::string> removed;
    removeStaleGitLocks(gitDir, removed);
    for (const std::string& name : removed) {
        notes.push_back("removed .git/" + printable(name) + ", left behind by a git that was stopped");
    }
    return finishStoppedPush(notes, error);
}

bool History::openToRead(std::string& error) {
    if (!exists(dir_ + "/.git")) {
        error = dir_ + " has no history (no .git; --into names the backup folder)";
        return false;
    }
    return checkRepository(error);
}

bool History::checkRepository(std::string& error) {
    const std::string gitDir = dir_ + "/.git";
    struct stat st {};
    if (::lstat(gitDir.c_str(), &st) != 0) {
        error = gitDir + ": not made";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = gitDir + " is " + kindOf(st.st_mode) +
                ", not a folder: the history is kept only in a repository of the folder's own";
        return false;
    }
    if (!(error = ownershipProblem(gitDir, st)).empty()) return false;
    const std::string config = gitDir + "/config";
    if (::lstat(config.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = config + (exists(config) ? " is " + kindOf(st.st_mode) + ", not a file" : " is missing");
        return false;
    }
    if (!(error = ownershipProblem(config, st)).empty()) return false;
    if (exists(gitDir + "/info/attributes")) {
        error = gitDir +
                "/info/attributes is not taken: attributes could make git run a program (a filter, a diff or "
                "merge driver); remove it";
        return false;
    }
    const std::string attributes = dir_ + "/" + kAttributesFile;
    if (exists(attributes)) {
        std::string text, problem;
        if (!readRegular(attributes, 4096, text, problem) || !isAttributes(text)) {
            error = (problem.empty() ? attributes + " holds other than \"*.DAT diff=linkora\"" : problem) +
                    ": attributes could make git run a program (a filter, a diff or merge driver); the backup takes "
                    "only its own; remove it, the next backup writes it again";
            return false;
        }
    }
    if (exists(gitDir + "/commondir")) {
        error = gitDir + "/commondir is not taken: it places the repository elsewhere; remove it";
        return false;
    }
    return checkConfiguration(error);
}

// A push that was stopped during its rebase: the rebase aborted and the
// branch put back at the commit recorded before the push.
bool History::finishStoppedPush(std::vector<std::string>& notes, std::string& error) {
    std::string record, problem, out;
    const bool recorded = readRegular(pushRecord_, 4096, record, problem);
    record = trimmed(record);
    if (exists(dir_ + "/.git/rebase-merge") || exists(dir_ + "/.git/rebase-apply")) {
        if (!run("git rebase --abort", {"rebase", "--abort"}, out, error)) return false;
        std::string note = "a rebase left half done by a stopped run was aborted";
        if (recorded && isHex(record)) {
            if (!run("git reset", {"reset", "-q", "--hard", "--no-recurse-submodules", record}, out, error)) {
                return false;
            }
            note += "; the branch is back at " + record.substr(0, 12);
        }
        notes.push_back(note);
    }
    ::unlink(pushRecord_.c_str());
    return true;
}

bool History::prepare(const std::vector<std::string>& excluded, std::string& error) {
    const std::string infoDir = dir_ + "/.git/info";
    struct stat st {};
    if (::lstat(infoDir.c_str(), &st) != 0) ::mkdir(infoDir.c_str(), 0755);
    if (::lstat(infoDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = infoDir + (exists(infoDir) ? " is " + kindOf(st.st_mode) + ", not a folder" : ": cannot be made");
        return false;
    }
    const std::string exclude = infoDir + "/exclude";
    std::string present;
    if (exists(exclude) && !readRegular(exclude, kMaxExcludeFile, present, error)) return false;
    std::string missing;
    for (const std::string& pattern : excluded) {
        if (("\n" + present).find("\n" + pattern + "\n") == std::string::npos) missing += pattern + "\n";
    }
    if (missing.empty()) return true;
    std::string text = !present.empty() && present.back() != '\n' ? "\n" : "";
    text += "# the lock and the temporary files of linkora backup\n" + missing;
    const int fd = openRegular(exclude, O_WRONLY | O_APPEND | O_CREAT, error);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written) {
        error = exclude + ": cannot be written";
        return false;
    }
    return true;
}

bool History::readableDiffs(std::string& note, std::string& error) {
    note.clear();
    const std::string attributes = dir_ + "/" + kAttributesFile;
    if (!exists(attributes)) {
        const int fd = openRegular(attributes, O_WRONLY | O_CREAT | O_EXCL, error, 0644);
        if (fd < 0) return false;
        const std::size_t size = sizeof kAttributesText - 1;
        const bool written = ::write(fd, kAttributesText, size) == static_cast<ssize_t>(size);
        ::close(fd);
        if (!written) {
            error = attributes + ": cannot be written";
            return false;
        }
    }
    const std::string textconv = textconvSetting();
    if (textconv.empty()) {
        note =
            "diff.linkora.textconv is not set: this program's path holds characters other than letters, digits "
            "and /._+-";
        return true;
    }
    if (configured("diff.linkora.textconv") == textconv) return true;
    std::string out;
    if (!run("git config", {"config", "--file", ".git/config", "diff.linkora.textconv", textconv}, out, error)) {
        return false;
    }
    config_.emplace_back("diff.linkora.textconv", textconv);
    return true;
}

bool History::stage(const std::vector<std::string>& files, std::vector<std::string>& changed, std::string& error) {
    changed.clear();
    if (files.empty()) return true;
    std::string out, err;
    // Also where a global ignore file would leave *.DAT out.
    std::vector<std::string> add{"add", "--force", "--"};
    add.insert(add.end(), files.begin(), files.end());
    if (!run("git add", add, out, error)) return false;
    // Only these files, whatever else may be staged.
    std::vector<std::string> staged{"diff",          "--cached",      "--name-only", "--no-renames",
                                    "--no-ext-diff", "--no-textconv", "HEAD",        "--"};
    if (git({"rev-parse", "-q", "--verify", "HEAD"}, out, err) != 0) staged.erase(staged.end() - 2);
    staged.insert(staged.end(), files.begin(), files.end());
    if (!run("git diff", staged, out, error)) return false;
    std::istringstream names(out);
    for (std::string name; std::getline(names, name);) {
        if (!trimmed(name).empty()) changed.push_back(trimmed(name));
    }
    return true;
}

bool History::commit(const std::vector<std::string>& files, const std::string& subject, const std::string& body,
                     std::string& error) {
    std::string out;
    std::vector<std::string> commit{"commit", "-q", "--no-verify", "--no-gpg-sign", "-m", subject};
    if (!body.empty()) commit.insert(commit.end(), {"-m", body});
    // No files: an empty commit, whatever is staged.
    if (files.empty()) commit.insert(commit.end(), {"--allow-empty", "--only"});
    commit.push_back("--");
    commit.insert(commit.end(), files.begin(), files.end());
    return run("git commit", commit, out, error, true);
}

bool History::committedNames(std::vector<std::string>& names, std::vector<std::string>& differing, std::string& error) {
    names.clear();
    differing.clear();
    if (head().empty()) return true;
    auto split = [](const std::string& text, std::vector<std::string>& into) {
        std::istringstream entries(text);
        for (std::string entry; std::getline(entries, entry, '\0');) {
            if (!entry.empty()) into.push_back(entry);
        }
    };
    std::string out;
    if (!run("git ls-tree", {"ls-tree", "-z", "--name-only", "--full-tree", "HEAD"}, out, error, false,
             kMaxIncomingFile)) {
        return false;
    }
    split(out, names);
    // The files themselves against the commit; a link is taken as a link.
    if (!run("git diff", {"diff", "--name-only", "-z", "--no-renames", "--no-ext-diff", "--no-textconv", "HEAD", "--"},
             out, error, false, kMaxIncomingFile)) {
        return false;
    }
    split(out, differing);
    return true;
}

bool History::committedText(const std::string& name, std::string& text, std::string& error) {
    return fileAt("HEAD", name, text, error);
}

bool History::fileAt(const std::string& commit, const std::string& name, std::string& text, std::string& error) {
    const std::string object = commit + ":" + name;
    const std::string shown = name + " at " + (isHex(commit) ? commit.substr(0, 7) : commit);
    std::string out;
    if (!run("git cat-file", {"cat-file", "-s", object}, out, error)) return false;
    const long long size = std::strtoll(out.c_str(), nullptr, 10);
    if (size > kMaxIncomingFile) {
        error = shown + " is larger than 16 MiB (" + trimmed(out) + " bytes); it is not read";
        return false;
    }
    if (!run("git cat-file", {"cat-file", "blob", object}, text, error, false, static_cast<std::size_t>(size) + 1)) {
        return false;
    }
    if (static_cast<long long>(text.size()) != size) {
        error = "git cat-file: " + shown + " is not the " + trimmed(out) + " bytes git named";
        return false;
    }
    return true;
}

bool History::tag(const std::string& name, const std::string& commit, const std::string& message, std::string& error) {
    std::string out;
    return run("git tag", {"tag", "-f", "-a", "--no-sign", "-m", message, name, commit}, out, error, true);
}

std::string History::head() {
    std::string out, err;
    if (git({"rev-parse", "-q", "--verify", "HEAD"}, out, err) != 0) return {};
    return trimmed(out);
}

// Every commit that a rebase onto the upstream would bring: each entry of
// its tree a regular, not executable NAME.DAT at the top, of at most 16 MiB,
// or the backup's own .gitattributes, byte for byte.
bool History::inspectIncoming(const std::string& remote, std::string& error) {
    std::string out;
    if (!run("git rev-list", {"rev-list", "HEAD..@{upstream}"}, out, error)) return false;
    std::istringstream commits(out);
    for (std::string commit; std::getline(commits, commit);) {
        if (!isHex(commit)) continue;
        std::string tree;
        if (!run("git ls-tree", {"ls-tree", "-l", "-z", "--full-tree", commit}, tree, error)) return false;
        std::istringstream entries(tree);
        for (std::string entry; std::getline(entries, entry, '\0');) {
            // "<mode> <type> <object> <size>\t<path>"
            const std::size_t tab = entry.find('\t');
            if (tab == std::string::npos) continue;
            const std::string path = entry.substr(tab + 1);
            std::istringstream meta(entry.substr(0, tab));
            std::string mode, type, object, size;
            meta >> mode >> type >> object >> size;
            std::string wrong;
            const std::string name = path.size() > 4 ? path.substr(0, path.size() - 4) : std::string();
            if (mode == "120000") {
                wrong = "a symbolic link";
            } else if (mode == "160000") {
                wrong = "a submodule";
            } else if (type == "tree") {
                wrong = "a folder";
            } else if (mode == "100755") {
                wrong = "an executable file";
            } else if (mode != "100644" || type != "blob") {
                wrong = "not a plain file (mode " + mode + ")";
            } else if (path == kAttributesFile) {
                std::string text;
                if (size != std::to_string(sizeof kAttributesText - 1) || !isHex(object) ||
                    !run("git cat-file", {"cat-file", "blob", object}, text, error) || !isAttributes(text)) {
                    wrong = "not the backup's own attributes (*.DAT diff=linkora)";
                }
            } else if (path.compare(path.size() < 4 ? 0 : path.size() - 4, 4, ".DAT") != 0 ||
                       !validControllerName(name)) {
                wrong = "not a backup (NAME.DAT)";
            } else if (std::strtoll(size.c_str(), nullptr, 10) > kMaxIncomingFile) {
                wrong = "larger than 16 MiB";
            }
            if (!wrong.empty()) {
                error = "push refused: commit " + commit.substr(0, 12) + " from " + remote + " holds " +
                        printable(path) + ", " + wrong +
                        "; only NAME.DAT files and the backup's own .gitattributes are taken from there. Nothing was "
                        "checked out, the local "
                        "history stays";
                return false;
            }
        }
    }
    return true;
}

bool History::push(std::string& done, std::string& error) {
    done.clear();
    std::string out, err;
    if (git({"symbolic-ref", "-q", "--short", "HEAD"}, out, err) != 0) {
        error = "push failed: not on a branch";
        return false;
    }
    const std::string branch = trimmed(out);
    const std::string remote = configured("branch." + branch + ".remote");
    const std::string merge = configured("branch." + branch + ".merge");
    if (remote.empty() || merge.empty()) {
        error =
            "push failed: branch " + branch + " has no upstream (git -C " + dir_ + " push -u <remote> " + branch + ")";
        return false;
    }
    // Never an option to git, nor a place that is not a configured remote.
    if (remote[0] == '-' || configured("remote." + remote + ".url").empty() || merge.rfind("refs/", 0) != 0) {
        error = "push failed: branch " + branch + " names remote \"" + printable(remote) + "\" and \"" +
                printable(merge) + "\"; it needs a configured remote and a refs/ name";
        return false;
    }
    // The remote's branches as its configuration maps them, and its
    // approvals beside ours: no other tag, so that a moved approval never
    // stops the fetch.
    std::vector<std::string> fetch{"fetch", "-q", "--no-tags", "--no-recurse-submodules", remote};
    for (const auto& [key, value] : config_) {
        if (key != "remote." + remote + ".fetch") continue;
        if (value.empty() || value[0] == '-') {
            error = "push failed: remote." + printable(remote) + ".fetch is \"" + printable(value) +
                    "\", which is no refspec";
            return false;
        }
        fetch.push_back(value);
    }
    if (fetch.size() == 5) {
        error = "push failed: remote." + printable(remote) + ".fetch is not set (git remote add sets it)";
        return false;
    }
    fetch.push_back(std::string("+") + kApprovalTags + "*:" + kRemoteApprovals + "*");
    const std::string tail = "; the local history is as it was";
    if (!run("git fetch " + remote, fetch, out, error)) {
        error = pushFailure(error, tail);
        return false;
    }
    std::vector<std::string> approvals;
    int taken = 0;
    if (!syncApprovals(approvals, taken, error)) {
        error = "push failed: " + error;
        return false;
    }
    long ahead = 0, behind = 0;
    if (git({"rev-parse", "-q", "--verify", "@{upstream}"}, out, err) != 0) {
        // The remote does not have the branch yet: all of it goes there.
        if (!run("git rev-list", {"rev-list", "--count", "HEAD"}, out, error)) {
            error = "push failed: " + error;
            return false;
        }
        ahead = std::strtol(out.c_str(), nullptr, 10);
    } else {
        if (!run("git rev-list", {"rev-list", "--left-right", "--count", "HEAD...@{upstream}"}, out, error)) {
            error = "push failed: " + error;
            return false;
        }
        if (std::sscanf(out.c_str(), "%ld %ld", &ahead, &behind) != 2) {
            error = "push failed: git rev-list: unexpected answer";
            return false;
        }
    }
    if (ahead == 0 && approvals.empty()) return true;
    const std::string before = head();
    auto putBack = [&] {
        std::string o2, e2;
        git({"rebase", "--abort"}, o2, e2);
        git({"reset", "-q", "--hard", "--no-recurse-submodules", before}, o2, e2);
        ::unlink(pushRecord_.c_str());
    };
    // Only approvals to push: the branch stays where it is.
    if (ahead == 0) behind = 0;
    if (behind > 0) {
        if (!inspectIncoming(remote, error)) {
            if (error.rfind("push refused", 0) != 0) error = "push failed: " + error;
            return false;
        }
        // Should this run be stopped during the rebase, the next one puts the
        // branch back here.
        std::string problem;
        const int fd = openRegular(pushRecord_, O_WRONLY | O_CREAT | O_TRUNC, problem);
        const std::string line = before + "\n";
        const bool recorded =
            fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
        if (!recorded) {
            error = "push failed: " + (problem.empty() ? pushRecord_ + ": cannot be written" : problem);
            return false;
        }
        if (!run("git rebase onto " + remote,
                 {"rebase", "-q", "--no-verify", "--no-autostash", "--no-gpg-sign", "@{upstream}"}, out, error, true)) {
            putBack();
            error = pushFailure(error, tail);
            return false;
        }
    }
    // Approvals move: each pushed with force, where ours is the newer.
    std::vector<std::string> push{"push", "-q", "--no-verify", "--no-signed", remote};
    if (ahead > 0) push.push_back("HEAD:" + merge);
    for (const std::string& name : approvals) {
        push.push_back(std::string("+") + kApprovalTags + name + ":" + kApprovalTags + name);
    }
    if (!run("git push " + remote, push, out, error)) {
        if (behind > 0) putBack();
        error = pushFailure(error, tail);
        return false;
    }
    ::unlink(pushRecord_.c_str());
    const std::size_t n = approvals.size();
    const std::string commits = std::to_string(ahead) + " commit" + (ahead == 1 ? "" : "s");
    const std::string tags = std::to_string(n) + " approval" + (n == 1 ? "" : "s");
    done = "pushed " +
           (ahead == 0 ? tags
            : n == 0   ? commits
                       : commits + " and " + tags) +
           " to " + remote + (behind > 0 ? " after a rebase onto " + std::to_string(behind) + " new there" : "");
    if (taken > 0) done += "; " + std::to_string(taken) + " approval" + (taken == 1 ? "" : "s") + " taken from there";
    return true;
}

// Each approval as the newer of ours and the remote's, by the date of its
// tag: the remote's newer ones become ours, ours that are newer (or that the
// remote has not) are `toPush`.
bool History::syncApprovals(std::vector<std::string>& toPush, int& taken, std::string& error) {
    toPush.clear();
    taken = 0;
    std::string out;
    if (!run("git for-each-ref",
             {"for-each-ref", "--format=%(refname)%09%(objectname)%09%(taggerdate:unix)", kApprovalTags,
              kRemoteApprovals},
             out, error, false, kMaxIncomingFile)) {
        return false;
    }
    struct Approval {
        std::string object;
        long long date = 0;
    };
    std::map<std::string, Approval> ours, theirs;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string ref, object, date;
        std::getline(fields, ref, '\t');
        std::getline(fields, object, '\t');
        std::getline(fields, date);
        const bool mine = ref.rfind(kApprovalTags, 0) == 0;
        const std::string name = ref.substr(std::string(mine ? kApprovalTags : kRemoteApprovals).size());
        if (!isHex(object) || !validControllerName(name)) continue;
        (mine ? ours : theirs)[name] = {object, std::strtoll(date.c_str(), nullptr, 10)};
    }
    for (const auto& [name, their] : theirs) {
        const auto mine = ours.find(name);
        if (mine != ours.end() && (mine->second.object == their.object || mine->second.date >= their.date)) continue;
        if (!run("git update-ref", {"update-ref", kApprovalTags + name, their.object}, out, error)) return false;
        ours[name] = their;
        ++taken;
    }
    for (const auto& [name, mine] : ours) {
        const auto their = theirs.find(name);
        if (their == theirs.end() || their->second.object != mine.object) toPush.push_back(name);
    }
    return true;
}

bool History::approvals(std::vector<Approval>& found, std::string& error) {
    found.clear();
    // The tags may have come from another host: names and messages are
    // input, kept to what a line can show.
    constexpr std::size_t kMaxBy = 200;
    constexpr std::size_t kMaxListing = 16 * 1024 * 1024;
    std::string out;
    if (!run("git for-each-ref",
             {"for-each-ref",
              "--format=%(refname:strip=3)%1f%(objecttype)%1f%(*objectname)%1f%(taggerdate:unix)%1f%(contents:subject)",
              "refs/tags/approved/"},
             out, error, false, kMaxListing + 1))
        return false;
    if (out.size() > kMaxListing) {
        error = "git for-each-ref: the approvals are more than 16 MiB";
        return false;
    }
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        for (std::size_t from = 0;;) {
            const std::size_t end = line.find('\x1f', from);
            fields.push_back(line.substr(from, end == std::string::npos ? std::string::npos : end - from));
            if (end == std::string::npos) break;
            from = end + 1;
        }
        if (fields.size() != 5 || fields[1] != "tag" || !validControllerName(fields[0]) || fields[2].empty()) continue;
        Approval a;
        a.name = fields[0];
        a.commit = fields[2];
        a.date = std::strtoll(fields[3].c_str(), nullptr, 10);
        std::string by = fields[4].rfind("approved by ", 0) == 0 ? fields[4].substr(12) : fields[4];
        for (char c : by) {
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && a.by.size() < kMaxBy) a.by += c;
        }
        found.push_back(std::move(a));
    }
    return true;
}

}  // namespace fleet
