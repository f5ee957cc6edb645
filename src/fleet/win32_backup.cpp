// Backups of a plant run on a Linux host: through device servers it reaches
// lines anywhere on the plant network.
#include <cstdio>

#include "fleet/backup.h"
#include "fleet/site.h"

namespace fleet {

int backupCommand(const std::vector<std::string>&) {
    std::fprintf(stderr,
                 "linkora: backup needs Linux: run it on a Linux host, which reaches the lines of the "
                 "whole plant through device servers\n");
    return 2;
}

int siteCommand(const std::vector<std::string>& args) { return backupCommand(args); }
int restoreCommand(const std::vector<std::string>&) {
    std::fprintf(stderr, "linkora: restore needs Linux: run it on the host that keeps the backups\n");
    return 2;
}

int approveCommand(const std::vector<std::string>&) {
    std::fprintf(stderr, "linkora: approve needs Linux: run it on the host that keeps the backups\n");
    return 2;
}

// Versions from a history are read on the host that keeps the backups; here
// every argument of diff is a file.
bool isVersionArgument(const std::string&) { return false; }

bool versionText(const std::string&, const std::string&, std::string&, std::string& problem) {
    problem = "versions from a history need Linux";
    return false;
}

}  // namespace fleet
