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

// linkora restore <Inventory> NAME [--at REV] [--into DIR] [--yes]
//                 [--no-verify] [--set-defaults] [--keep-offsets]
// The exit status is the download's; 2 also a wrong command line or
// inventory or no --yes without a terminal, 5 also another model.
int restoreCommand(const std::vector<std::string>& args);
extern const char kRestoreUsage[];

// linkora approve <Inventory> NAME... | --all [--at REV] [--into DIR]
//                 [--by TEXT] [--why TEXT]
int approveCommand(const std::vector<std::string>& args);
extern const char kApproveUsage[];

// linkora diff NAME@approved and NAME@REV: an argument of that form that
// names no file is a version of NAME.DAT in a backup folder's history.
bool isVersionArgument(const std::string& argument);
// Its bytes from the history of `dir` (at most 16 MiB); false with `problem`.
bool versionText(const std::string& dir, const std::string& argument, std::string& text, std::string& problem);

// linkora textconv FILE: the data file without its upload date and
// line-number column, for git's diffs of the backups.
int textconvCommand(const std::vector<std::string>& args);
extern const char kTextconvUsage[];

}  // namespace fleet
