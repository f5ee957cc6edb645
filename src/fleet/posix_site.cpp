// linkora site: the plant's page made from the backup folder's history and
// the last report, contacting no controller; written beside SITE and
// swapped in at once, so that a reader sees the old site or the new one.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "chart/cam_chart.h"
#include "fleet/posix_backup_jobs.h"
#include "fleet/posix_folder.h"
#include "fleet/posix_history.h"
#include "fleet/posix_processes.h"
#include "fleet/site.h"
#include "fleet/site_writer.h"
#include "image/field_names.h"
#include "image/image_compare.h"

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace fleet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitCommandLine = 2;
constexpr int kExitFolder = 5;
constexpr int kGitTimeout = 300;
constexpr std::size_t kMaxReportBytes = 64 * 1024 * 1024;
constexpr std::size_t kMaxDataFileBytes = 16 * 1024 * 1024;
constexpr std::size_t kCommitsShown = 20;
constexpr int kCommitsRead = 5000;  // at most this far back
constexpr int kCommitsPage = 100;
constexpr std::size_t kCaptureBytes = 64 * 1024;  // what a git call's output is kept to

// The value of `key` in one line of the report: a string unescaped, or a
// number, true, false as written; empty for null or when it is not there.
// `from` limits the search to what follows it (a nested record).
std::string jsonField(const std::string& line, const std::string& key, std::size_t from = 0) {
    const std::string quoted = "\"" + key + "\":";
    const std::size_t at = line.find(quoted, from);
    if (at == std::string::npos) return {};
    std::size_t i = at + quoted.size();
    if (i >= line.size()) return {};
    if (line[i] != '"') {
        std::size_t end = i;
        while (end < line.size() && line[end] != ',' && line[end] != '}') ++end;
        const std::string raw = line.substr(i, end - i);
        return raw == "null" ? std::string() : raw;
    }
    std::string out;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            out += line[i];
            continue;
        }
        const char e = line[++i];
        if (e == 'n')
            out += '\n';
        else if (e == 't')
            out += '\t';
        else if (e == 'u' && i + 4 < line.size()) {
            const long code = std::strtol(line.substr(i + 1, 4).c_str(), nullptr, 16);
            i += 4;
            if (code < 0x80)
                out += static_cast<char>(code);
            else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        } else
            out += e;
    }
    return out;
}

int number(const std::string& text, int otherwise) {
    if (text.empty()) return otherwise;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && n >= 0 && n < 1000000000 ? static_cast<int>(n) : otherwise;
}

void readReport(const std::string& path, std::map<std::string, SiteController>& byName) {
    std::string text, problem;
    if (!readRegular(path, kMaxReportBytes, text, problem)) {
        if (errno != ENOENT) std::fprintf(stderr, "linkora: site: %s\n", problem.c_str());
        return;
    }
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(from, end - from);
        from = end + 1;
        if (line.rfind("{\"name\":", 0) != 0) continue;
        auto found = byName.find(jsonField(line, "name"));
        if (found == byName.end()) continue;
        SiteController& c = found->second;
        c.result = jsonField(line, "result");
        c.reason = jsonField(line, "reason");
        c.resultValues = number(jsonField(line, "changedValues"), -1);
        if (const std::string model = jsonField(line, "model"); !model.empty()) c.model = model;
        c.stopped = jsonField(line, "stopped") == "true";
        c.stale = jsonField(line, "stale") == "true";
        c.lastBackedUp = jsonField(line, "lastBackedUp");
        if (const std::size_t approved = line.find("\"approved\":{"); approved != std::string::npos) {
            c.approvedDate = jsonField(line, "date", approved);
            c.approvedBy = jsonField(line, "by", approved);
            c.differs = number(jsonField(line, "differs", approved), -1);
        }
    }
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

// The change lines a commit's body gives a controller: its result line and
// the indented or signed lines after it.
std::vector<std::string> bodyLinesOf(const std::vector<std::string>& body, const std::string& name) {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& line : body) {
        if (line.rfind(name + ":", 0) == 0) {
            in = true;
            out.push_back(line);
        } else if (in && !line.empty() && (line[0] == ' ' || line[0] == '-' || line[0] == '+')) {
            out.push_back(line);
        } else {
            in = false;
        }
    }
    return out;
}

// The last commits touching each NAME.DAT, newest first, read a page of
// commits at a time: a git call's output is kept to its last 64 KiB, so a
// page that fills that is read again in smaller pages.
void readHistory(History& history, std::map<std::string, SiteController>& byName) {
    int page = kCommitsPage, skip = 0;
    std::size_t full = 0;  // controllers with all the commits they show
    while (skip < kCommitsRead && full < byName.size()) {
        std::string out, error;
        if (!history.read({"log", "-n", std::to_string(page), "--skip=" + std::to_string(skip), "--no-textconv",
                           "--no-renames", "--format=%x1e%cI%x1f%s%x1f%b%x1d", "--name-only", "--", "*.DAT"},
                          out, error)) {
            // A folder whose history has no commit yet has nothing to show.
            if (skip > 0 || error.find("does not have any commits") == std::string::npos)
                std::fprintf(stderr, "linkora: site: %s\n", error.c_str());
            return;
        }
        if (out.size() >= kCaptureBytes && page > 1) {
            page /= 2;
            continue;
        }
        int records = 0;
        std::size_t from = 0;
        while ((from = out.find('\x1e', from)) != std::string::npos) {
            const std::size_t end = std::min(out.find('\x1e', from + 1), out.size());
            const std::string record = out.substr(from + 1, end - from - 1);
            from = end;
            ++records;
            const std::size_t a = record.find('\x1f'), b = record.find('\x1f', a + 1), c = record.find('\x1d');
            if (a == std::string::npos || b == std::string::npos || c == std::string::npos || c < b) continue;
            SiteCommit commit{record.substr(0, a), record.substr(a + 1, b - a - 1), {}};
            const std::vector<std::string> body = splitLines(record.substr(b + 1, c - b - 1));
            for (const std::string& file : splitLines(record.substr(c + 1))) {
                if (file.size() < 5 || file.compare(file.size() - 4, 4, ".DAT") != 0) continue;
                auto found = byName.find(file.substr(0, file.size() - 4));
                if (found == byName.end() || found->second.commits.size() >= kCommitsShown) continue;
                SiteController& controller = found->second;
                SiteCommit mine = commit;
                mine.lines = bodyLinesOf(body, controller.name);
                if (controller.commits.empty()) {
                    controller.changeDate = commit.date;
                    const std::string head = mine.lines.empty() ? "" : mine.lines.front();
                    const std::size_t at = head.find(": changed, ");
                    if (at != std::string::npos)
                        controller.changeValues = number(head.substr(at + 11, head.find(' ', at + 11) - at - 11), -1);
                }
                controller.commits.push_back(std::move(mine));
                if (controller.commits.size() == kCommitsShown) ++full;
            }
        }
        if (records < page) return;  // the history's end
        skip += page;
    }
}

std::unique_ptr<ImageCopy> loadText(const std::string& text) {
    std::FILE* file = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (file == nullptr) return nullptr;
    std::unique_ptr<ImageCopy> copy;
    const int result = loadDataFile(file, copy);
    std::fclose(file);
    return result == 0 ? std::move(copy) : nullptr;
}

// Approved versions: the tags approved/NAME, where there are any.
void readApprovals(History& history, std::map<std::string, SiteController>& byName,
                   const std::map<std::string, std::unique_ptr<ImageCopy>>& files) {
    std::vector<Approval> approvals;
    std::string error;
    if (!history.approvals(approvals, error)) return;
    for (const Approval& a : approvals) {
        auto found = byName.find(a.name);
        if (found == byName.end()) continue;
        SiteController& c = found->second;
        if (c.approvedDate.empty()) c.approvedDate = isoTime(a.date);
        if (c.approvedBy.empty()) c.approvedBy = a.by;
        auto current = files.find(c.name);
        if (current == files.end() || !current->second) continue;
        const Drift drift = driftFrom(history, a, *current->second);
        for (const DifferenceLine& d : drift.lines) {
            const std::string name = fieldNameOf(d);
            c.approvedLines.push_back(std::string(1, d.sign) + d.text + (name.empty() ? "" : "   " + name));
        }
        if (c.differs < 0) c.differs = drift.values;
    }
}

// The cam charts of a file as an element of the page.
std::string chartOf(const ImageCopy& copy, const std::string& name) {
    const ChartLayout layout = layOutCharts(copy, nullptr, std::nullopt);
    SvgHeading heading{name, "", layout.programsWithSetpoints.empty() ? "no setpoints" : ""};
    std::string svg = drawSvg(layout, heading);
    const std::size_t at = svg.find("<svg");
    return at == std::string::npos ? std::string() : svg.substr(at);
}

bool writeFileIn(int folder, const std::string& name, const std::string& text, std::string& problem) {
    const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = name + ": " + std::strerror(errno);
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            problem = name + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return true;
}

// Removes a site folder: its files, never following a link; a folder
// inside (linkora writes none) is left with the folder.
void removeSiteFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        ::unlinkat(fd, name.c_str(), 0);  // a folder is refused here, and stays
    }
    ::closedir(listing);
    ::rmdir(path.c_str());
}

std::string utcNow(long long& now) {
    const std::time_t t = std::time(nullptr);
    now = static_cast<long long>(t);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

struct Options {
    std::string inventory, into, report, out;
};

std::string parseArguments(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string* target = a == "--into" ? &o.into : a == "--report" ? &o.report : a == "--out" ? &o.out : nullptr;
        if (target != nullptr) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return a + " needs a name";
            *target = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else if (o.inventory.empty()) {
            o.inventory = a;
        } else {
            return "one inventory only (" + o.inventory + ", " + a + ")";
        }
    }
    if (o.inventory.empty()) return "no inventory given";
    if (o.out.empty()) return "no site given (--out SITE)";
    return {};
}

}  // namespace

int writeSite(const std::vector<InventoryEntry>& entries, const std::string& dir, const std::string& report,
              const std::string& siteIn, int gitTimeout) {
    std::string site = siteIn;
    while (site.size() > 1 && site.back() == '/') site.pop_back();
    // SITE is linkora's: a folder that holds the marker, or nothing yet.
    struct stat st {};
    const bool exists = ::lstat(site.c_str(), &st) == 0;
    if (exists) {
        std::string problem;
        if (!S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "linkora: site: %s is %s, not a site linkora wrote; nothing written\n", site.c_str(),
                         kindOf(st.st_mode).c_str());
            return kExitFolder;
        }
        struct stat marker {};
        if (::lstat((site + "/" + kSiteMarker).c_str(), &marker) != 0 || !S_ISREG(marker.st_mode)) {
            std::fprintf(stderr,
                         "linkora: site: %s holds no %s, so it is not a site linkora wrote; it is left as it is "
                         "(name a new folder)\n",
                         site.c_str(), kSiteMarker);
            return kExitFolder;
        }
    }

    std::map<std::string, SiteController> byName;
    std::map<std::string, std::unique_ptr<ImageCopy>> files;
    std::map<std::string, std::string> texts;
    for (const InventoryEntry& e : entries) {
        SiteController c;
        c.name = e.name;
        c.port = e.port;
        c.unit = e.unit;
        c.model = "-";
        std::string text, problem;
        if (readRegular(dir + "/" + e.name + ".DAT", kMaxDataFileBytes, text, problem)) {
            std::unique_ptr<ImageCopy> copy = loadText(text);
            if (copy) {
                c.model = std::to_string(copy->image.model);
                c.svg = chartOf(*copy, e.name + ".DAT");
            }
            c.hasFile = true;
            texts[e.name] = std::move(text);
            files[e.name] = std::move(copy);
        }
        byName.emplace(e.name, std::move(c));
    }
    if (!report.empty()) readReport(report, byName);
    struct stat gitDir {};
    if (const std::string git = findOnPath("git");
        !git.empty() && ::lstat((dir + "/.git").c_str(), &gitDir) == 0 && S_ISDIR(gitDir.st_mode)) {
        History history(git, dir, gitTimeout, "");
        readHistory(history, byName);
        readApprovals(history, byName, files);
    }

    std::vector<SiteController> sorted;
    for (auto& [name, c] : byName) sorted.push_back(std::move(c));
    sortByAttention(sorted);
    long long now = 0;
    const std::string made = utcNow(now);

    // The new site beside the old one, then swapped in.
    std::string pattern = folderOf(site) + "/.linkora-site-new.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::fprintf(stderr, "linkora: site: %s: %s\n", folderOf(site).c_str(), std::strerror(errno));
        return kExitFolder;
    }
    const std::string fresh = name.data();
    ::chmod(fresh.c_str(), 0755);
    const int folder = ::open(fresh.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::string problem;
    bool written = folder >= 0;
    if (!written) problem = fresh + ": " + std::strerror(errno);
    written = written && writeFileIn(folder, kSiteMarker,
                                     "This folder is written by linkora site; it is replaced whole.\n", problem);
    written = written && writeFileIn(folder, "site.css", siteStyle(), problem);
    written = written && writeFileIn(folder, "index.html", indexPage(sorted, made, now), problem);
    for (const SiteController& c : sorted) {
        written = written && writeFileIn(folder, c.name + ".html", controllerPage(c, made, now), problem);
        if (c.hasFile) written = written && writeFileIn(folder, c.name + ".DAT", texts[c.name], problem);
        if (!written) break;
    }
    if (folder >= 0) ::close(folder);
    if (written) {
        const int swapped = exists ? static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, fresh.c_str(), AT_FDCWD,
                                                                site.c_str(), RENAME_EXCHANGE))
                                   : ::rename(fresh.c_str(), site.c_str());
        if (swapped != 0) {
            written = false;
            problem = site + ": " + std::strerror(errno);
        }
    }
    removeSiteFolder(fresh);  // the old site after the swap, the new one after a failure
    if (!written) {
        std::fprintf(stderr, "linkora: site: %s; the site is as it was\n", problem.c_str());
        return kExitFolder;
    }
    std::printf("linkora site: %zu controller%s in %s\n", sorted.size(), sorted.size() == 1 ? "" : "s", site.c_str());
    return kExitDone;
}

int siteCommand(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kSiteUsage, stdout);
        return kExitDone;
    }
    Options options;
    const std::string problem = parseArguments(args, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "linkora: site: %s\n", problem.c_str());
        std::fputs(kSiteUsage, stderr);
        return kExitCommandLine;
    }
    std::string text, unread;
    if (!readInventoryFile(options.inventory, text, unread)) {
        std::fprintf(stderr, "linkora: site: %s\n", unread.c_str());
        return kExitCommandLine;
    }
    std::vector<InventoryError> errors;
    const std::vector<InventoryEntry> entries = parseInventory(text, errors);
    for (const InventoryError& e : errors)
        std::fprintf(stderr, "%s:%d: error: %s\n", options.inventory.c_str(), e.line, e.what.c_str());
    if (!errors.empty()) return kExitCommandLine;
    std::string dir = options.into.empty() ? folderOf(options.inventory) : options.into;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return writeSite(entries, dir, options.report, options.out, kGitTimeout);
}

}  // namespace fleet
