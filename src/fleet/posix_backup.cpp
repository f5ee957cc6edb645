// linkora backup: every controller of an inventory uploaded by the
// program's own unattended upload, one process per line at a time, the
// results compared with the backups in the folder and the changes committed.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "common/command_words.h"
#include "common/progress.h"
#include "fleet/backup.h"
#include "fleet/inventory.h"
#include "fleet/posix_backup_jobs.h"
#include "fleet/posix_folder.h"
#include "fleet/posix_history.h"
#include "fleet/posix_processes.h"
#include "fleet/site.h"
#include "image/image_compare.h"
#include "image/field_names.h"
#include "platform/files.h"
#include "platform/interrupts.h"
#include "platform/line_device.h"
#include "platform/process.h"

namespace fleet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitCommandLine = 2;
constexpr int kExitFolder = 5;
constexpr int kMaxJobs = 64;
constexpr int kDefaultJobsLimit = 16;
constexpr int kDefaultGitTimeout = 300;
constexpr long kMaxGitTimeout = 86400;
constexpr std::size_t kReasonCapture = 16 * 1024;
constexpr int kDefaultStaleHours = 48;
constexpr long kMaxStaleHours = 100000;
constexpr int kDefaultRetries = 1;
constexpr long kMaxRetries = 5;
constexpr std::size_t kMaxStateFile = 16 * 1024 * 1024;
struct Options {
    std::string inventory;
    std::string into;
    std::string report;
    std::string site;
    int jobs = 0;
    int gitTimeout = kDefaultGitTimeout;
    int staleHours = kDefaultStaleHours;
    int retries = kDefaultRetries;
    bool push = false;
};

void usage() { std::fputs(kBackupUsage, stderr); }

std::string parseArguments(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) -> bool {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            out = args[++i];
            return true;
        };
        if (a == "--into") {
            if (!value(o.into)) return "--into needs a folder";
        } else if (a == "--report") {
            if (!value(o.report)) return "--report needs a file name";
        } else if (a == "--site") {
            if (!value(o.site)) return "--site needs a folder";
        } else if (a == "--jobs" || a == "--git-timeout" || a == "--stale" || a == "--retries") {
            const bool jobs = a == "--jobs";
            const long least = a == "--stale" || a == "--retries" ? 0 : 1;
            const long most = jobs               ? kMaxJobs
                              : a == "--stale"   ? kMaxStaleHours
                              : a == "--retries" ? kMaxRetries
                                                 : kMaxGitTimeout;
            const std::string range = std::to_string(least) + ".." + std::to_string(most) +
                                      (a == "--git-timeout" ? " seconds"
                                       : a == "--stale"     ? " hours"
                                                            : "");
            std::string n;
            if (!value(n)) return a + " needs a number (" + range + ")";
            char* end = nullptr;
            errno = 0;
            const long number = std::strtol(n.c_str(), &end, 10);
            if (errno != 0 || *end != '\0' || number < least || number > most)
                return a + " takes " + range + ", not " + n;
            (jobs               ? o.jobs
             : a == "--stale"   ? o.staleHours
             : a == "--retries" ? o.retries
                                : o.gitTimeout) = static_cast<int>(number);
        } else if (a == "--push") {
            o.push = true;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.inventory.empty()) {
            o.inventory = a;
        } else {
            return "one inventory only (" + o.inventory + ", " + a + ")";
        }
    }
    if (o.inventory.empty()) return "no inventory given";
    return {};
}

std::string realPathOr(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

// The places a port reaches: its device once COMn and symbolic links are
// resolved, or each address its server's name resolves to (the name as
// written when it does not resolve). Entries that share a place are on one
// port. `resolved` keeps the names looked up already.
std::vector<std::string> portPlaces(const InventoryEntry& e,
                                    std::map<std::string, std::vector<std::string>>& resolved) {
    std::string port = e.port;
    if (e.portKind == PortKind::Com) port = platform::portDeviceName(platform::comPortIndex(e.port));
    platform::NetworkPort where;
    if (!platform::parseNetworkPort(port, where)) return {"dev " + realPathOr(port)};
    const std::string written = "net " + lowerCase(where.host) + " " + where.port;
    const auto [at, fresh] = resolved.emplace(written, std::vector<std::string>{});
    if (fresh) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        if (::getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &list) == 0) {
            for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
                char text[INET6_ADDRSTRLEN] = {0};
                const void* address =
                    a->ai_family == AF_INET
                        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr)
                        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
                if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
                    ::inet_ntop(a->ai_family, address, text, sizeof text) != nullptr) {
                    at->second.push_back("net " + std::string(text) + " " + where.port);
                }
            }
            ::freeaddrinfo(list);
        }
        if (at->second.empty()) at->second.push_back(written);
    }
    return at->second;
}

std::string ownProgram() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string hostName() {
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    return host;
}

long long now() { return static_cast<long long>(std::time(nullptr)); }

// "2026-12-05 03:00" in local time, or with `format`.
std::string localTime(long long seconds, const char* format = "%Y-%m-%d %H:%M") {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// "3 days ago", "5 hours ago", "12 minutes ago".
std::string ago(long long seconds) {
    auto count = [](long long n, const char* unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s") + " ago";
    };
    if (seconds < 3600) return count(std::max(0LL, seconds / 60), "minute");
    if (seconds < 48 * 3600) return count(seconds / 3600, "hour");
    return count(seconds / 86400, "day");
}

// ---- the state of the folder outside git: for each controller the time
// of its last backup and the hash of the NAME.DAT a run last put there.
struct ControllerState {
    long long lastBackedUp = 0;
    std::string written;
};
using FolderState = std::map<std::string, ControllerState>;

const char kStateHeader[] =
    "# linkora backup: name, last backed up (seconds since 1970, UTC), hash of the file it last wrote\n";

bool readState(const std::string& path, FolderState& state, std::string& problem) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;
    std::string text;
    if (!readRegular(path, kMaxStateFile, text, problem)) return false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, hash;
        long long when = 0;
        if (!(fields >> name >> when)) continue;
        fields >> hash;
        if (!validControllerName(name) || when < 0) continue;
        state[name] = {when, hash == "-" ? std::string() : hash};
    }
    return true;
}

bool writeState(const std::string& path, const FolderState& state, std::string& problem) {
    std::string text = kStateHeader;
    for (const auto& [name, s] : state) {
        text += name + "\t" + std::to_string(s.lastBackedUp) + "\t" + (s.written.empty() ? "-" : s.written) + "\n";
    }
    if (!replaceFile(path, text, problem)) {
        problem = path + ": " + problem;
        return false;
    }
    return true;
}

// ---- signals: the first ends the run after the uploads under way, which
// get it once from here (they lead process groups of their own, so that a
// signal to the whole group does not reach them twice); nothing new starts.
// A git call under way then ends at once. None ends the program itself.
int stopSignal() { return platform::pendingInterrupt(); }

class Run {
public:
    Run(const Options& o, std::vector<InventoryEntry>& entries, std::string dir, History& history)
        : options_(o), entries_(entries), dir_(std::move(dir)), history_(history) {}
    void makeJobs();
    void uploadAll();
    std::string resultLine(const Job& job) const;
    void printResult(const Job& job);
    const std::vector<std::unique_ptr<Job>>& jobs() const { return jobs_; }
    bool interrupted() const { return stopSignal() != 0; }

private:
    bool start(Job& job);
    void finish(Job& job, std::size_t group);
    void showStatus(bool force);
    void clearStatus();

    const Options& options_;
    std::vector<InventoryEntry>& entries_;
    std::string dir_;
    History& history_;
    std::string self_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<std::vector<Job*>> groups_;  // entries on one port, in the order of their first entry
    std::vector<Job*> running_;
    bool terminal_ = platform::stdoutIsTerminal();
    bool statusShown_ = false;
    int done_ = 0;
    std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
};

bool Run::start(Job& job) {
    const InventoryEntry& e = *job.entry;
    job.startedAt = std::chrono::steady_clock::now();
    ++job.tries;
    // A backup that is a link, a FIFO, a device or a folder is never opened.
    if (!(job.reason = leftAlone(job)).empty()) {
        job.result = Outcome::failed;
        return false;
    }
    platform::removeFile(job.temp);
    std::vector<std::string> argv{self_, "u", std::to_string(e.unit), e.port, std::to_string(e.baud), job.temp};
    if (!e.characterFormat.empty()) argv.push_back(e.characterFormat);
    std::vector<std::string> set;
    if (e.protocol != "auto") set.push_back("LINKORA_PROTOCOL=" + e.protocol);
    const std::vector<std::string> env = environmentWith({"LINKORA_PROTOCOL"}, set);
    if (!startProgram(argv, env, false, job.process, true)) {
        job.status = -1;
        job.err = std::string("linkora: cannot start ") + self_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Run::clearStatus() {
    if (!statusShown_) return;
    std::fputs("\r\x1b[K", stdout);
    statusShown_ = false;
}

void Run::showStatus(bool force) {
    if (!terminal_ || (!force && !statusShown_)) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    char took[progress::kDurationSize];
    progress::formatDuration(elapsed, took, sizeof took);
    std::string line = std::to_string(done_) + " of " + std::to_string(jobs_.size()) + " done, " + took;
    if (!running_.empty()) {
        line += "; under way:";
        for (const Job* j : running_) line += " " + j->entry->name;
    }
    if (line.size() > 79) line = line.substr(0, 76) + "...";
    std::printf("\r\x1b[K%s", line.c_str());
    std::fflush(stdout);
    statusShown_ = true;
}

std::string Run::resultLine(const Job& job) const {
    std::string line = job.entry->name + ": ";
    if (job.result == Outcome::changed) {
        line += "changed, " + std::to_string(job.changedValues) + " value" + (job.changedValues == 1 ? "" : "s");
    } else if (job.result == Outcome::failed) {
        line += "failed: " + job.reason;
    } else {
        line += outcomeWord(job.result);
    }
    static const char* const kTries[] = {"", "", "second", "third", "fourth", "fifth", "sixth"};
    if (job.tries >= 2 && job.tries <= 6) line += std::string(" (") + kTries[job.tries] + " try)";
    for (const std::string& note : job.notes) line += "; " + note;
    if (job.approval != nullptr && job.approvedDiffers > 0) {
        const Approval& a = *job.approval;
        line += "; differs from approved (" + std::to_string(job.approvedDiffers) + " value" +
                (job.approvedDiffers == 1 ? "" : "s") + ", approved " + localTime(a.date, "%Y-%m-%d") +
                (a.by.empty() ? "" : " by " + a.by) + ")";
    }
    if (job.result == Outcome::failed) {
        line += job.lastBackedUp > 0
                    ? "; last backed up " + localTime(job.lastBackedUp) + " (" + ago(now() - job.lastBackedUp) + ")"
                    : "; never backed up";
    }
    return line;
}

void Run::printResult(const Job& job) {
    clearStatus();
    std::printf("%s\n", resultLine(job).c_str());
    // The changes since the last backup, or where there are none those
    // since the approved version.
    for (const std::string& line : job.differences.empty() ? job.approvedLines : job.differences)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Run::finish(Job& job, std::size_t group) {
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.startedAt).count();
    if (job.result == Outcome::pending) settle(job);
    // A busy port or a silent controller: once more after the others of its
    // line.
    if (job.result == Outcome::failed && (job.status == 3 || job.status == 4) && job.tries <= options_.retries &&
        !interrupted()) {
        job.result = Outcome::pending;
        job.reason.clear();
        job.err.clear();
        job.status = -1;
        groups_[group].push_back(&job);
        return;
    }
    if (job.uploaded && job.approval != nullptr) {
        const Drift drift = driftFrom(history_, *job.approval, *job.uploaded);
        job.approvedDiffers = drift.values;
        for (const DifferenceLine& d : drift.lines) job.approvedLines.push_back("  " + formatChange(d, ""));
    }
    ++done_;
    printResult(job);
}

void Run::makeJobs() {
    std::map<std::string, std::vector<std::string>> resolved;
    std::map<std::string, std::size_t> jobOfPlace;
    std::vector<std::size_t> leader;  // union-find over the entries: a shared place joins two
    std::function<std::size_t(std::size_t)> root = [&](std::size_t i) {
        while (leader[i] != i) i = leader[i] = leader[leader[i]];
        return i;
    };
    for (const InventoryEntry& e : entries_) {
        auto job = std::make_unique<Job>();
        job->entry = &e;
        job->target = dir_ + "/" + e.name + ".DAT";
        job->temp = dir_ + "/" + kOwnPrefix + "." + e.name + ".upload";
        const std::size_t index = jobs_.size();
        leader.push_back(index);
        for (const std::string& place : portPlaces(e, resolved)) {
            const auto [at, fresh] = jobOfPlace.emplace(place, index);
            if (!fresh) {
                const std::size_t a = root(index), b = root(at->second);
                leader[std::max(a, b)] = std::min(a, b);
            }
        }
        jobs_.push_back(std::move(job));
    }
    std::map<std::size_t, std::size_t> groupOfRoot;
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
        const auto [at, fresh] = groupOfRoot.emplace(root(i), groups_.size());
        if (fresh) groups_.emplace_back();
        groups_[at->second].push_back(jobs_[i].get());
    }
}

void Run::uploadAll() {
    self_ = ownProgram();
    const int limit = options_.jobs > 0 ? options_.jobs : std::min(static_cast<int>(groups_.size()), kDefaultJobsLimit);
    std::vector<std::size_t> nextOf(groups_.size(), 0);
    std::vector<bool> busy(groups_.size(), false);
    std::vector<std::size_t> groupOfRunning;

    for (;;) {
        // Start what may start: one upload per port, at most `limit` at once.
        for (std::size_t g = 0; g < groups_.size() && !interrupted(); ++g) {
            while (!busy[g] && nextOf[g] < groups_[g].size() && static_cast<int>(running_.size()) < limit) {
                Job& job = *groups_[g][nextOf[g]++];
                if (start(job)) {
                    busy[g] = true;
                    running_.push_back(&job);
                    groupOfRunning.push_back(g);
                } else {
                    finish(job, g);
                }
            }
        }
        if (running_.empty()) break;
        showStatus(true);

        std::vector<pollfd> fds;
        for (const Job* j : running_) fds.push_back({j->process.errFd, POLLIN, 0});
        fds.push_back({platform::interruptDescriptor(), POLLIN, 0});
        const int n = ::poll(fds.data(), fds.size(), terminal_ ? 1000 : -1);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if ((fds.back().revents & POLLIN) != 0) {
            char drain[16];
            while (::read(platform::interruptDescriptor(), drain, sizeof drain) > 0) {}
            // The uploads under way end at their next exchange, as an
            // interrupted upload does: the coil off, a controller it stopped
            // restarted, no file. Each is told once.
            for (Job* j : running_) {
                if (!j->signalled) ::kill(j->process.pid, stopSignal());
                j->signalled = true;
            }
        }
        for (std::size_t i = running_.size(); i-- > 0;) {
            Job& job = *running_[i];
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            if (readInto(job.process.errFd, job.err, kReasonCapture)) continue;
            ::close(job.process.errFd);
            job.status = platform::waitProgram(job.process.pid);
            const std::size_t g = groupOfRunning[i];
            busy[g] = false;
            running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
            groupOfRunning.erase(groupOfRunning.begin() + static_cast<std::ptrdiff_t>(i));
            finish(job, g);
        }
    }
    clearStatus();
    // Entries never started after a signal.
    for (auto& job : jobs_) {
        if (job->result == Outcome::pending) {
            job->result = Outcome::failed;
            job->reason = "not started: the backup was interrupted";
            ++done_;
            printResult(*job);
        }
    }
}

// A NAME.DAT in the folder that differs from the last commit and from what
// a run of ours last put there is a hand edit: it is kept beside as
// NAME.DAT.edited-YYYYMMDD-HHMMSS, and NAME.DAT is again the last commit's.
// A file an earlier run wrote and could not commit stays to be committed.
bool setBaseline(Job& job, History& history, const FolderState& state, long long started, std::string& error) {
    const std::string file = job.entry->name + ".DAT";
    struct stat st {};
    const bool present = ::lstat(job.target.c_str(), &st) == 0;
    if (present && !S_ISREG(st.st_mode)) return true;  // left alone at its upload
    if (job.inHead && job.headDiffers && !history.committedText(file, job.committed, error)) return false;
    if (!present || (job.inHead && !job.headDiffers)) return true;
    std::string bytes, problem;
    if (!readRegular(job.target, kMaxStateFile, bytes, problem)) return true;  // said at its upload
    const auto recorded = state.find(job.entry->name);
    if (recorded != state.end() && !recorded->second.written.empty() &&
        recorded->second.written == contentHash(bytes)) {
        return true;
    }
    const std::string kept = file + ".edited-" + localTime(started, "%Y%m%d-%H%M%S");
    const std::string keptPath = job.dir + "/" + kept;
    if (::lstat(keptPath.c_str(), &st) == 0) {
        error = job.target + ": a hand edit cannot be kept as " + kept + ": that name is taken";
        return false;
    }
    if (::rename(job.target.c_str(), keptPath.c_str()) != 0) {
        error = job.target + ": a hand edit cannot be kept as " + kept + ": " + std::strerror(errno);
        return false;
    }
    job.notes.push_back("a hand edit of " + file + " was kept as " + kept);
    if (job.inHead) {
        if (!replaceFile(job.target, job.committed, error)) {
            error = job.target + ": " + error;
            return false;
        }
        job.headDiffers = false;
    }
    return true;
}

// Every NAME.DAT in the folder that no entry names, in the order of names.
std::vector<std::string> unnamedBackups(const std::string& dir, const std::vector<InventoryEntry>& entries) {
    std::set<std::string> named;
    for (const InventoryEntry& e : entries) named.insert(lowerCase(e.name));
    std::vector<std::string> out;
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) return out;
    while (const dirent* d = ::readdir(folder)) {
        const std::string file = d->d_name;
        if (file.size() <= 4 || file.compare(file.size() - 4, 4, ".DAT") != 0) continue;
        const std::string name = file.substr(0, file.size() - 4);
        if (validControllerName(name) && named.count(lowerCase(name)) == 0) out.push_back(name);
    }
    ::closedir(folder);
    std::sort(out.begin(), out.end());
    return out;
}

// The first line of a text.
std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// ---- the phases of a run: prepare the folder, back up, record, report.

// What the phases of one run share.
struct Session {
    Options options;
    RunRecord record;
    std::string dir;
    std::vector<InventoryEntry> entries;
    std::unique_ptr<History> history;
    std::string statePath;
    FolderState state;
};

// Why a phase ended the run: its exit status and the reason its record
// gives.
struct Stop {
    int status;
    std::string reason;
};

// A refusal said on standard error; the record's reason without "backup: ".
Stop refusal(int status, const std::string& reason) {
    std::fprintf(stderr, "linkora: %s\n", reason.c_str());
    return {status, reason.rfind("backup: ", 0) == 0 ? reason.substr(8) : reason};
}

// The run's record, written by every run from here on; a refused run's
// says why, with no controller in it. The exit status.
int finished(Session& s, int status, const std::string& reason, const std::vector<std::unique_ptr<Job>>& jobs) {
    RunRecord& record = s.record;
    record.status = stopSignal() != 0 ? 128 + stopSignal() : status;
    record.reason = stopSignal() != 0 ? std::string("ended by ") + platform::signalName(stopSignal()) : reason;
    status = record.status;
    record.ended = now();
    std::string error;
    if (!s.options.report.empty() && !writeReport(s.options.report, record, jobs, error)) {
        std::fprintf(stderr, "linkora: report: %s\n", error.c_str());
        if (status == kExitDone || status == kExitFailed) status = kExitFolder;
    }
    return status;
}

// The report's folder, before anything else: a run whose report cannot be
// written would leave the last one standing.
bool reportFolderWritable(const Options& options) {
    if (options.report.empty()) return true;
    const std::string folder = folderOf(options.report);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(folder.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "linkora: report: %s: %s; nothing backed up\n", folder.c_str(),
                     errno != 0 && S_ISDIR(st.st_mode) ? std::strerror(errno) : "not a folder that can be written");
        return false;
    }
    return true;
}

std::optional<Stop> loadInventory(Session& s) {
    const std::string& inventory = s.options.inventory;
    std::string text, unread;
    if (!readInventoryFile(inventory, text, unread)) {
        std::fprintf(stderr, "linkora: %s\nlinkora: backup: nothing backed up\n", unread.c_str());
        return Stop{kExitCommandLine, unread};
    }
    std::vector<InventoryError> errors;
    s.entries = parseInventory(text, errors);
    if (errors.empty()) return std::nullopt;
    for (const InventoryError& e : errors) {
        if (e.line > 0) {
            std::fprintf(stderr, "%s:%d: error: %s\n", inventory.c_str(), e.line, e.what.c_str());
        } else {
            std::fprintf(stderr, "%s: error: %s\n", inventory.c_str(), e.what.c_str());
        }
    }
    std::fprintf(stderr, "linkora: backup: nothing backed up\n");
    const InventoryError& first = errors.front();
    return Stop{kExitCommandLine,
                inventory + (first.line > 0 ? ":" + std::to_string(first.line) : std::string()) + ": " + first.what +
                    (errors.size() > 1 ? " (and " + std::to_string(errors.size() - 1) + " more)" : "")};
}

// The folder made or checked, locked for this run, its history opened and
// its state read.
std::optional<Stop> prepareFolder(Session& s) {
    const std::string& dir = s.dir;
    const std::string git = findOnPath("git");
    if (git.empty()) return refusal(kExitFolder, "backup: git is not on PATH; the history needs it (apt install git)");

    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) != 0) {
        return refusal(kExitFolder, dir + ": " + std::strerror(errno));
    }
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(dir.c_str(), W_OK | X_OK) != 0) {
        return refusal(kExitFolder, dir + ": " + (S_ISDIR(st.st_mode) ? std::strerror(errno) : "not a folder"));
    }
    // The folder is this user's alone, as ssh wants its own folder: whoever
    // else could write it could plant what git or the backup would follow.
    if (const std::string owner = ownershipProblem(dir, st); !owner.empty()) {
        return refusal(kExitFolder, "backup: " + owner);
    }

    // One run at a time on a folder. The lock is inherited by the uploads and
    // git, so that it lasts until the last child of a killed run has ended;
    // it is held to the end of the program.
    const std::string lockPath = dir + "/" + kOwnPrefix + ".lock";
    std::string error;
    const int lock = openRegular(lockPath, O_RDWR | O_CREAT, error, 0644);
    if (lock < 0) return refusal(kExitFolder, error);
    ::fcntl(lock, F_SETFD, 0);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock);
        return refusal(kExitFolder, "backup: " + dir + " is locked by another backup run");
    }

    s.history = std::make_unique<History>(git, dir, s.options.gitTimeout, dir + "/" + kOwnPrefix + ".push");
    History& history = *s.history;
    history.endOn(platform::interruptDescriptor());
    std::vector<std::string> notes;
    const bool opened = history.open(notes, error);
    for (const std::string& note : notes) std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), note.c_str());
    if (!opened || !history.prepare({std::string("/") + kOwnPrefix + "*", "/.linkora.*", "/*.DAT.edited-*"}, error)) {
        return refusal(kExitFolder, dir + ": " + error);
    }
    std::string diffNote;
    if (!history.readableDiffs(diffNote, error)) return refusal(kExitFolder, dir + ": " + error);
    if (!diffNote.empty()) std::fprintf(stderr, "linkora: %s: %s\n", dir.c_str(), diffNote.c_str());
    s.statePath = dir + "/" + kOwnPrefix + ".state";
    if (!readState(s.statePath, s.state, error)) return refusal(kExitFolder, error);
    return std::nullopt;
}

// Every controller uploaded and set against its last backup and its
// approved version.
std::optional<Stop> backUp(Session& s, Run& run, std::vector<Approval>& approvals) {
    History& history = *s.history;
    std::string error;
    run.makeJobs();
    if (!history.approvals(approvals, error)) return refusal(kExitFolder, s.dir + ": " + error);

    // The last backups: what the last commit holds, and hand edits kept aside.
    std::vector<std::string> headNames, differingNames;
    if (!history.committedNames(headNames, differingNames, error)) return refusal(kExitFolder, s.dir + ": " + error);
    const std::set<std::string> inHead(headNames.begin(), headNames.end());
    const std::set<std::string> differing(differingNames.begin(), differingNames.end());
    for (const auto& job : run.jobs()) {
        const std::string file = job->entry->name + ".DAT";
        job->dir = s.dir;
        job->inHead = inHead.count(file) > 0;
        job->headDiffers = job->inHead && differing.count(file) > 0;
        const auto recorded = s.state.find(job->entry->name);
        if (recorded != s.state.end()) job->lastBackedUp = recorded->second.lastBackedUp;
        for (const Approval& a : approvals) {
            if (a.name == job->entry->name) job->approval = &a;
        }
        if (!setBaseline(*job, history, s.state, s.record.started, error)) return refusal(kExitFolder, error);
    }
    run.uploadAll();
    return std::nullopt;
}

// What the record phase leaves for the report.
struct Recorded {
    int status = kExitDone;
    std::string reason;
    std::string commitId;
    std::string pushed;
    std::vector<std::string> stale;
};

// The counts, the state, the commit and the push.
Recorded record(Session& s, Run& run) {
    Recorded r;
    History& history = *s.history;
    int* counts = s.record.counts;  // unchanged, changed, new, failed, stopped
    std::vector<std::string> files;
    const long long ended = now();
    for (const auto& job : run.jobs()) {
        static const Outcome kCounted[] = {Outcome::unchanged, Outcome::changed, Outcome::added, Outcome::failed};
        for (int i = 0; i < 4; ++i) counts[i] += job->result == kCounted[i] ? 1 : 0;
        counts[4] += job->stopped ? 1 : 0;
        ControllerState& state = s.state[job->entry->name];
        if (job->result != Outcome::failed) state.lastBackedUp = job->lastBackedUp = ended;
        if (!job->written.empty()) state.written = job->written;
        job->stale = job->result == Outcome::failed &&
                     (job->lastBackedUp == 0 || ended - job->lastBackedUp >= 3600LL * s.options.staleHours);
        if (job->stale) r.stale.push_back(job->entry->name);
        // Every backup of the inventory that differs from the last commit
        // goes in, also one that an earlier run replaced and could not commit.
        struct stat file {};
        if (::lstat(job->target.c_str(), &file) == 0 && S_ISREG(file.st_mode))
            files.push_back(job->entry->name + ".DAT");
    }
    for (const std::string& name : unnamedBackups(s.dir, s.entries)) {
        std::printf("%s: not in the inventory; its backup is kept\n", name.c_str());
    }
    r.status = counts[3] > 0 || counts[4] > 0 ? kExitFailed : kExitDone;
    std::string error;
    // Recorded before the commit: a file that cannot be committed now is
    // known as ours next time.
    if (!writeState(s.statePath, s.state, error)) {
        std::fprintf(stderr, "linkora: %s\n", error.c_str());
        r.status = kExitFolder;
        r.reason = error;
    }
    std::vector<std::string> committed;
    // The attributes go in with a commit of backups (the first, or the next
    // after they were removed); alone they make none, nor stay staged.
    std::vector<std::string> attributes;
    if (r.status != kExitFolder && (!history.stage(files, committed, error) ||
                                    (!committed.empty() && !history.stage({kAttributesFile}, attributes, error)))) {
        std::fprintf(stderr, "linkora: %s: %s\n", s.dir.c_str(), error.c_str());
        r.status = kExitFolder;
        r.reason = firstLine(error);
    } else if (!committed.empty()) {
        committed.insert(committed.end(), attributes.begin(), attributes.end());
        // The subject counts what the commit holds; the body names the host,
        // the inventory and each controller in it as its line was printed.
        int changedFiles = 0, newFiles = 0;
        std::string body = "host: " + s.record.host + "\ninventory: " + s.options.inventory + "\n";
        for (const auto& job : run.jobs()) {
            const std::string file = job->entry->name + ".DAT";
            if (std::find(committed.begin(), committed.end(), file) == committed.end()) continue;
            (job->inHead ? changedFiles : newFiles) += 1;
            if (job->result == Outcome::changed || job->result == Outcome::added) {
                body += "\n" + run.resultLine(*job);
                for (const std::string& line : job->differences) body += "\n" + line;
            } else {
                body += "\n" + job->entry->name + ": replaced by an earlier run that could not commit it";
            }
        }
        if (std::find(committed.begin(), committed.end(), kAttributesFile) != committed.end())
            body += std::string("\n") + kAttributesFile + ": data files shown in diffs through linkora textconv";
        const std::string subject = "linkora backup: " + std::to_string(changedFiles) + " changed, " +
                                    std::to_string(newFiles) + " new, " + std::to_string(counts[3]) + " failed";
        if (!history.commit(committed, subject, body, error)) {
            std::fprintf(stderr, "linkora: %s: %s\n", s.dir.c_str(), error.c_str());
            r.status = kExitFolder;
            r.reason = firstLine(error);
            committed.clear();
        } else {
            r.commitId = history.head();
        }
    }

    if (s.options.push && r.status != kExitFolder && !run.interrupted()) {
        if (!history.push(r.pushed, error)) {
            std::fprintf(stderr, "linkora: %s: %s\n", s.dir.c_str(), error.c_str());
            if (r.status == kExitDone) r.status = kExitFailed;
            s.record.push = "failed: " + firstLine(error);
        } else {
            s.record.push = r.pushed.empty() ? "up to date" : "pushed";
            if (!r.commitId.empty()) r.commitId = history.head();  // a rebase gives the commit a new id
        }
    } else if (s.options.push) {
        s.record.push =
            run.interrupted() ? "failed: not tried: the run was interrupted" : "failed: not tried: the commit failed";
    }
    for (const auto& job : run.jobs()) {
        const std::string file = job->entry->name + ".DAT";
        if (!r.commitId.empty() && std::find(committed.begin(), committed.end(), file) != committed.end()) {
            job->commit = r.commitId;
        }
    }
    return r;
}

// The summary lines after the controllers' own; the run's reason when it
// has none yet.
void report(Session& s, const Run& run, Recorded& r, double took) {
    const int* counts = s.record.counts;
    char duration[progress::kDurationSize];
    progress::formatDuration(took, duration, sizeof duration);
    std::printf("linkora backup: %zu controller%s, %d unchanged, %d changed, %d new, %d failed, %d stopped, %s\n",
                run.jobs().size(), run.jobs().size() == 1 ? "" : "s", counts[0], counts[1], counts[2], counts[3],
                counts[4], duration);
    if (!r.stale.empty()) {
        std::string names;
        for (const std::string& name : r.stale) names += (names.empty() ? "" : ", ") + name;
        std::printf("linkora backup: stale, not backed up %s: %s\n",
                    s.options.staleHours == 0 ? "by this run"
                                              : ("for " + std::to_string(s.options.staleHours) + " hours").c_str(),
                    names.c_str());
    }
    if (!r.commitId.empty())
        std::printf("linkora backup: commit %s in %s\n", r.commitId.substr(0, 12).c_str(), s.dir.c_str());
    if (!r.pushed.empty()) std::printf("linkora backup: %s\n", r.pushed.c_str());
    std::fflush(stdout);

    if (r.reason.empty() && r.status == kExitFailed) {
        if (counts[3] > 0) r.reason = std::to_string(counts[3]) + " failed";
        if (counts[4] > 0)
            r.reason += (r.reason.empty() ? "" : ", ") + std::to_string(counts[4]) + " found stopped or not restarted";
        if (s.record.push.rfind("failed", 0) == 0)
            r.reason += (r.reason.empty() ? "" : ", ") + std::string("push failed");
    }
}

}  // namespace

int backupCommand(const std::vector<std::string>& args) {
    Session s;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kBackupUsage, stdout);
        return kExitDone;
    }
    const std::string problem = parseArguments(args, s.options);
    if (!problem.empty()) {
        std::fprintf(stderr, "linkora: backup: %s\n", problem.c_str());
        usage();
        return kExitCommandLine;
    }

    // From here on a signal ends the run with its record written.
    const platform::InterruptScope signals(platform::SecondSignal::recorded);
    s.record.started = now();
    s.record.host = hostName();
    s.record.inventory = s.options.inventory;
    s.dir = s.options.into.empty() ? folderOf(s.options.inventory) : s.options.into;
    while (s.dir.size() > 1 && s.dir.back() == '/') s.dir.pop_back();
    s.record.dir = s.dir;
    if (s.options.push) s.record.push = "failed: not tried";
    const std::vector<std::unique_ptr<Job>> none;

    if (!reportFolderWritable(s.options)) return kExitFolder;
    if (const auto stop = loadInventory(s)) return finished(s, stop->status, stop->reason, none);
    if (const auto stop = prepareFolder(s)) return finished(s, stop->status, stop->reason, none);

    const auto began = std::chrono::steady_clock::now();
    Run run(s.options, s.entries, s.dir, *s.history);
    std::vector<Approval> approvals;  // the jobs point into it
    if (const auto stop = backUp(s, run, approvals)) return finished(s, stop->status, stop->reason, none);
    Recorded recorded = record(s, run);
    report(s, run, recorded, std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());

    int status = finished(s, recorded.status, recorded.reason, run.jobs());
    // The plant's page reads the report just written.
    if (stopSignal() == 0 && !s.options.site.empty() &&
        writeSite(s.entries, s.dir, s.options.report, s.options.site, s.options.gitTimeout) != kExitDone &&
        status == kExitDone)
        status = kExitFolder;
    return status;
}

}  // namespace fleet
