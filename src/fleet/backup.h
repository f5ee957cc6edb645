#pragma once
#include <string>
#include <vector>

namespace fleet {

// linkora backup <Inventory> [--into DIR] [--jobs N] [--report FILE] [--push]
//                [--git-timeout SECONDS] [--stale HOURS] [--retries N]
// `args` are the words after "backup". Returns the exit status: 0 every
// controller backed up and running, 1 one failed, one stands stopped or the
// push failed, 2 wrong command line or inventory, 5 the folder or the
// report's folder cannot be written, the folder is locked, is not the user's
// own, its git configuration is refused, or git failed, 128 + n ended by
// signal n.
int backupCommand(const std::vector<std::string>& args);

// The usage lines of backup, for the program's --help.
extern const char kBackupUsage[];

}  // namespace fleet
