#include "fleet/backup.h"

namespace fleet {

const char kBackupUsage[] =
    "Backups of every controller of a plant, with their history in git (Linux):\n"
    "  linkora backup <Inventory> [--into DIR] [--jobs N] [--report FILE] [--push]\n"
    "                 [--git-timeout SECONDS]\n"
    "    Inventory: one controller a line,\n"
    "      name port unit baud [protocol] [characterFormat]\n"
    "    --git-timeout: every git call ends after SECONDS (default 300)\n"
    "    example: linkora backup plant.inventory --push\n"
    "    exit status 0 all backed up, 1 one failed or the push failed,\n"
    "    2 wrong command line or inventory, 5 DIR locked, not writable or not\n"
    "    the user's own, its git configuration refused, git failed\n";

const char kRestoreUsage[] =
    "A version from the history back into its controller (Linux):\n"
    "  linkora restore <Inventory> NAME [--at REV] [--into DIR] [--yes]\n"
    "                  [--no-verify] [--set-defaults] [--keep-offsets]\n"
    "    downloads NAME.DAT as committed at REV (a git revision, or a day\n"
    "    YYYY-MM-DD: the last commit on or before it; default the last commit)\n"
    "    to the controller the inventory names, verified unless --no-verify;\n"
    "    refused when the controller's model is not the file's; asks first on a\n"
    "    terminal, needs --yes without one; then commits NAME.DAT as restored\n"
    "    example: linkora restore plant.inventory press-a --at 2026-11-30\n"
    "    exit status as the download's; 2 also wrong command line or inventory,\n"
    "    or no --yes without a terminal; 5 also another model, DIR locked, git\n"
    "    failed\n";

const char kApproveUsage[] =
    "A version marked as signed off (Linux):\n"
    "  linkora approve <Inventory> NAME... | --all [--at REV] [--into DIR]\n"
    "                  [--by TEXT] [--why TEXT]\n"
    "    tags the version at REV (default the last commit) approved/NAME, moved\n"
    "    when approved again, and records an empty commit naming who and why\n"
    "    example: linkora approve plant.inventory press-a --by maintenance\n"
    "    exit status 0 approved, 2 wrong command line or inventory, 5 DIR\n"
    "    locked, no NAME.DAT at REV, git failed\n";

const char kTextconvUsage[] =
    "  linkora textconv FILE\n"
    "    prints a data file without its upload date and line-number column,\n"
    "    for git: *.DAT diff=linkora and diff.linkora.textconv \"linkora textconv\"\n";

}  // namespace fleet
