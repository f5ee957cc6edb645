// linkora restore: a version of a controller's backup, taken from the
// history, downloaded to the controller the inventory names by the program's
// own unattended download, under the folder's lock; the history then says so.
// linkora approve: a version marked as the one signed off, by a tag and an
// empty commit. Both under the backup folder's lock.
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <regex>

#include "fleet/backup.h"
#include "fleet/inventory.h"
#include "fleet/posix_backup_jobs.h"
#include "fleet/posix_folder.h"
#include "fleet/posix_history.h"
#include "fleet/posix_processes.h"
#include "image/image_compare.h"
#include "platform/files.h"

namespace fleet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitCommandLine = 2;
constexpr int kExitFolder = 5;
constexpr int kGitTimeout = 300;
constexpr int kTransferLimit = 3600;

struct Options {
    std::string inventory, name, at, into;
    bool yes = false, verify = true, setDefaults = false, keepOffsets = false;
};

std::string parseArguments(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            out = args[++i];
            return true;
        };
        if (a == "--at") {
            if (!value(o.at)) return "--at needs a revision or a day (YYYY-MM-DD)";
        } else if (a == "--into") {
            if (!value(o.into)) return "--into needs a folder";
        } else if (a == "--yes") {
            o.yes = true;
        } else if (a == "--no-verify") {
            o.verify = false;
        } else if (a == "--set-defaults") {
            o.setDefaults = true;
        } else if (a == "--keep-offsets") {
            o.keepOffsets = true;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.inventory.empty()) {
            o.inventory = a;
        } else if (o.name.empty()) {
            o.name = a;
        } else {
            return "one controller only (" + o.name + ", " + a + ")";
        }
    }
    if (o.inventory.empty()) return "no inventory given";
    if (o.name.empty()) return "no controller named";
    return {};
}

std::string ownProgram() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string userAtHost() {
    const struct passwd* pw = ::getpwuid(::getuid());
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::snprintf(host, sizeof host, "localhost");
    return std::string(pw != nullptr && pw->pw_name != nullptr ? pw->pw_name : "unknown") + "@" + host;
}

// `text` written as a new regular file in the folder (a planted file of the
// name is removed, never written through).
bool writeNew(const std::string& path, const std::string& text, std::string& problem) {
    platform::removeFile(path);
    const int fd = openRegular(path, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, problem, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::fsync(fd);
    ::close(fd);
    if (!written) problem = path + ": " + std::strerror(errno);
    return written;
}

int loadRegular(const std::string& path, std::unique_ptr<ImageCopy>& out) {
    std::string problem;
    const int fd = openRegular(path, O_RDONLY, problem);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) ::close(fd);
        return 1;
    }
    const int result = loadDataFile(file, out);
    std::fclose(file);
    return result;
}

// The program's own unattended transfer as a child, its outputs passed on.
int transfer(const std::vector<std::string>& argv, const InventoryEntry& e) {
    std::vector<std::string> set;
    if (e.protocol != "auto") set.push_back("LINKORA_PROTOCOL=" + e.protocol);
    std::string out, err;
    const int status = runCaptured(argv, environmentWith({"LINKORA_PROTOCOL"}, set), out, err, kTransferLimit);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(err.c_str(), stderr);
    return status < 0 ? 1 : status;
}

// A revision or a day as the commit it names; false with `error`.
bool resolve(History& history, const std::string& at, std::string& commit, std::string& error) {
    std::string out;
    if (std::regex_match(at, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}"))) {
        if (!history.read({"rev-list", "-1", "--before=" + at + " 23:59:59", "HEAD", "--"}, out, error)) return false;
        if (out.size() < 40) {
            error = "no commit on or before " + at;
            return false;
        }
    } else if (!history.read({"rev-parse", "-q", "--verify", "--end-of-options", at + "^{commit}"}, out, error)) {
        error = at + " is no revision of the history";
        return false;
    }
    commit = out.substr(0, 40);
    return true;
}

// The backup folder of `inventory` (or `into`), locked and its history
// opened; -1 with the reason printed.
int openFolder(const std::string& inventory, const std::string& into, const char* command,
               std::unique_ptr<History>& history, std::string& dir) {
    const std::string git = findOnPath("git");
    dir = into.empty() ? folderOf(inventory) : into;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st {};
    if (git.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "linkora: %s: %s\n", command,
                     git.empty() ? "git is not on PATH" : (dir + " is no backup folder").c_str());
        return -1;
    }
    if (const std::string owner = ownershipProblem(dir, st); !owner.empty()) {
        std::fprintf(stderr, "linkora: %s: %s\n", command, owner.c_str());
        return -1;
    }
    // The backup's lock: no backup runs meanwhile.
    std::string error;
    const int lock = openRegular(dir + "/" + kOwnPrefix + ".lock", O_RDWR | O_CREAT, error, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "linkora: %s: %s\n", command,
                     lock < 0 ? error.c_str() : (dir + " is locked by a backup run").c_str());
        if (lock >= 0) ::close(lock);
        return -1;
    }
    ::fcntl(lock, F_SETFD, 0);
    history = std::make_unique<History>(git, dir, kGitTimeout, dir + "/" + kOwnPrefix + ".push");
    std::vector<std::string> notes;
    const bool opened = history->open(notes, error);
    for (const std::string& note : notes) std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), note.c_str());
    if (!opened || !history->prepare({std::string("/") + kOwnPrefix + "*", "/.linkora.*"}, error)) {
        std::fprintf(stderr, "linkora: %s: %s\n", command, error.c_str());
        ::close(lock);
        return -1;
    }
    return lock;
}

// The entries of an inventory file; false with the errors printed.
bool inventoryEntries(const std::string& path, std::vector<InventoryEntry>& entries) {
    std::string text, problem;
    if (!readInventoryFile(path, text, problem)) {
        std::fprintf(stderr, "linkora: %s\n", problem.c_str());
        return false;
    }
    std::vector<InventoryError> errors;
    entries = parseInventory(text, errors);
    for (const InventoryError& e : errors)
        std::fprintf(stderr, "%s:%d: error: %s\n", path.c_str(), e.line, e.what.c_str());
    return errors.empty();
}

// A name git takes in a tag name: no "..", no trailing "." or ".lock".
bool tagNameProblem(const std::string& name) {
    return name.find("..") != std::string::npos || name.back() == '.' ||
           (name.size() >= 5 && name.compare(name.size() - 5, 5, ".lock") == 0);
}

}  // namespace

int approveCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kApproveUsage, stdout);
        return kExitDone;
    }
    std::string inventory, at = "HEAD", into, by, why;
    std::vector<std::string> names;
    bool all = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string* value = a == "--at"     ? &at
                             : a == "--into" ? &into
                             : a == "--by"   ? &by
                             : a == "--why"  ? &why
                                             : nullptr;
        if (value != nullptr) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                std::fprintf(stderr, "linkora: approve: %s needs a value\n%s", a.c_str(), kApproveUsage);
                return kExitCommandLine;
            }
            *value = args[++i];
        } else if (a == "--all") {
            all = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "linkora: approve: unknown option %s\n%s", a.c_str(), kApproveUsage);
            return kExitCommandLine;
        } else if (inventory.empty()) {
            inventory = a;
        } else {
            names.push_back(a);
        }
    }
    if (inventory.empty() || (names.empty() != all)) {
        std::fprintf(stderr, "linkora: approve: an inventory and either NAME... or --all\n%s", kApproveUsage);
        return kExitCommandLine;
    }
    std::vector<InventoryEntry> entries;
    if (!inventoryEntries(inventory, entries)) return kExitCommandLine;
    bool wrong = false;
    for (const InventoryEntry& e : entries) {
        if (tagNameProblem(e.name)) {
            std::fprintf(stderr,
                         "%s:%d: error: %s cannot name an approval (no \"..\", no trailing \".\" or \".lock\")\n",
                         inventory.c_str(), e.line, e.name.c_str());
            wrong = true;
        }
        if (all) names.push_back(e.name);
    }
    for (const std::string& name : names) {
        bool listed = false;
        for (const InventoryEntry& e : entries) listed = listed || e.name == name;
        if (!listed) {
            std::fprintf(stderr, "linkora: approve: %s is not in %s\n", name.c_str(), inventory.c_str());
            wrong = true;
        }
    }
    if (wrong) return kExitCommandLine;

    std::unique_ptr<History> history;
    std::string dir, commit, error, out;
    const int lock = openFolder(inventory, into, "approve", history, dir);
    if (lock < 0) return kExitFolder;
    if (!resolve(*history, at, commit, error)) {
        std::fprintf(stderr, "linkora: approve: %s\n", error.c_str());
        ::close(lock);
        return kExitFolder;
    }
    if (by.empty()) by = userAtHost();
    const std::string shown = commit.substr(0, 7);
    int status = kExitDone;
    for (const std::string& name : names) {
        const std::string message = "approved by " + by + (why.empty() ? "" : "\n\n" + why);
        const std::string subject = "linkora approve: " + name + " at " + shown + " by " + by;
        if (!history->read({"cat-file", "-e", commit + ":" + name + ".DAT"}, out, error)) {
            std::fprintf(stderr, "linkora: approve: %s: no %s.DAT at %s\n", name.c_str(), name.c_str(), shown.c_str());
            status = kExitFolder;
            continue;
        }
        // Unsigned whatever the configuration says; moved when given again.
        if (!history->tag("approved/" + name, commit, message, error) || !history->commit({}, subject, why, error)) {
            std::fprintf(stderr, "linkora: approve: %s\n", error.c_str());
            status = kExitFolder;
            continue;
        }
        std::printf("%s: approved at %s by %s\n", name.c_str(), shown.c_str(), by.c_str());
    }
    ::close(lock);
    return status;
}

int restoreCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kRestoreUsage, stdout);
        return kExitDone;
    }
    Options o;
    if (const std::string problem = parseArguments(args, o); !problem.empty()) {
        std::fprintf(stderr, "linkora: restore: %s\n", problem.c_str());
        std::fputs(kRestoreUsage, stderr);
        return kExitCommandLine;
    }
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    if (!o.yes && !terminal) {
        std::fprintf(stderr, "linkora: restore: without a terminal to ask, a restore needs --yes; nothing sent\n");
        return kExitCommandLine;
    }
    std::vector<InventoryEntry> entries;
    if (!inventoryEntries(o.inventory, entries)) return kExitCommandLine;
    const InventoryEntry* entry = nullptr;
    for (const InventoryEntry& e : entries) {
        if (e.name == o.name) entry = &e;
    }
    if (entry == nullptr) {
        std::fprintf(stderr, "linkora: restore: %s is not in %s\n", o.name.c_str(), o.inventory.c_str());
        return kExitCommandLine;
    }

    std::unique_ptr<History> folder;
    std::string dir, error;
    if (openFolder(o.inventory, o.into, "restore", folder, dir) < 0) return kExitFolder;
    History& history = *folder;
    std::string commit;
    const std::string file = o.name + ".DAT";
    std::string version, when;
    const std::string restored = dir + "/" + kOwnPrefix + "-restore.DAT";
    const std::string now = dir + "/" + kOwnPrefix + "-restore-now.DAT";
    if (!resolve(history, o.at.empty() ? "HEAD" : o.at, commit, error) ||
        !history.fileAt(commit, file, version, error) ||
        !history.read({"log", "-1", "--format=%cd", "--date=format-local:%Y-%m-%d %H:%M", commit, "--"}, when, error) ||
        !writeNew(restored, version, error)) {
        std::fprintf(stderr, "linkora: restore: %s\n", error.c_str());
        return kExitFolder;
    }
    if (!when.empty() && when.back() == '\n') when.pop_back();
    struct Cleanup {
        std::string a, b;
        ~Cleanup() {
            platform::removeFile(a);
            platform::removeFile(b);
        }
    } cleanup{restored, now};

    // What the controller holds now, read by an upload: its model and the
    // values the restore changes. Nothing is written to it.
    const std::string self = ownProgram();
    std::vector<std::string> base{std::to_string(entry->unit), entry->port, std::to_string(entry->baud)};
    std::vector<std::string> up{self, "u"};
    up.insert(up.end(), base.begin(), base.end());
    up.push_back(now);
    if (!entry->characterFormat.empty()) up.push_back(entry->characterFormat);
    platform::removeFile(now);
    const int read = transfer(up, *entry);
    if (read != 0 && read != 8 && read != 9) {
        std::fprintf(stderr, "linkora: restore: %s could not be read; nothing sent\n", o.name.c_str());
        return read;
    }
    std::unique_ptr<ImageCopy> held, wanted;
    if (loadRegular(now, held) != 0 || loadRegular(restored, wanted) != 0) {
        std::fprintf(stderr, "linkora: restore: %s at %s is no data file; nothing sent\n", file.c_str(),
                     commit.substr(0, 7).c_str());
        return kExitFolder;
    }
    if (held->image.model != wanted->image.model) {
        std::fprintf(stderr,
                     "linkora: restore: %s at %s is for model %d; the controller %s is model %d; nothing sent\n",
                     file.c_str(), commit.substr(0, 7).c_str(), static_cast<int>(wanted->image.model), o.name.c_str(),
                     static_cast<int>(held->image.model));
        return kExitFolder;
    }
    const int differ = countChanges(compareImages(*held, *wanted, CompareScope::Files).lines);
    const std::string shown = commit.substr(0, 7);
    std::printf(
        "Restore %s as of %s (%s, model %d, %zu setpoints, %d value%s differ%s from the controller) to unit %d "
        "on %s?",
        o.name.c_str(), when.c_str(), shown.c_str(), static_cast<int>(wanted->image.model), wanted->setpoints.size(),
        differ, differ == 1 ? "" : "s", differ == 1 ? "s" : "", entry->unit, entry->port.c_str());
    if (!o.yes) {
        std::printf(" (Y/N) ");
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "Y" && answer != "y")) {
            std::printf("linkora: restore: not restored\n");
            return kExitCommandLine;
        }
    } else {
        std::printf(" --yes\n");
    }
    std::fflush(stdout);

    std::vector<std::string> down{self, "d"};
    down.insert(down.end(), base.begin(), base.end());
    down.insert(down.end(), {restored, o.setDefaults ? "Y" : "N", o.keepOffsets ? "Y" : "N", o.verify ? "Y" : "N"});
    if (!entry->characterFormat.empty()) down.push_back(entry->characterFormat);
    const int status = transfer(down, *entry);
    const bool done = status == 0 || status == 7 || status == 8 || status == 9;
    if (!done) return status;

    // The controller holds the restored version: verified, it is that
    // version; unverified, what it holds is read back.
    const std::string target = dir + "/" + file;
    if (!o.verify) {
        std::vector<std::string> back = up;
        back[up.size() - (entry->characterFormat.empty() ? 1 : 2)] = restored;
        const int again = transfer(back, *entry);
        if (again != 0 && again != 8 && again != 9) {
            std::fprintf(stderr, "linkora: restore: downloaded, but %s could not be backed up\n", o.name.c_str());
            return again;
        }
    }
    if (!notRegular(target, file).empty() || ::rename(restored.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "linkora: restore: %s cannot be replaced\n", target.c_str());
        return kExitFolder;
    }
    std::vector<std::string> changed;
    const std::string subject = "linkora restore: " + o.name + " as of " + shown;
    const std::string body = "by " + userAtHost() + (o.verify ? "" : "\nnot verified: the file is read back");
    if (!history.stage({file}, changed, error) || !history.commit(changed, subject, body, error)) {
        std::fprintf(stderr, "linkora: restore: %s\n", error.c_str());
        return kExitFolder;
    }
    std::printf("linkora restore: %s as of %s committed in %s\n", o.name.c_str(), shown.c_str(), dir.c_str());
    return status;
}

}  // namespace fleet
