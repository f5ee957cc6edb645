#include "fleet/backup.h"
#include "fleet/site.h"

namespace fleet {

const char kBackupUsage[] =
    "Backups of every controller of a plant, with their history in git (Linux):\n"
    "  linkora backup <Inventory> [--into DIR] [--jobs N] [--report FILE] [--push]\n"
    "                 [--git-timeout SECONDS] [--stale HOURS] [--retries N]\n"
    "                 [--site SITE]\n"
    "    Inventory: one controller a line,\n"
    "      name port unit baud [protocol] [characterFormat]\n"
    "    --report: JSON Lines, the run's record {\"run\": {...}} first, then one\n"
    "      line per controller; written by every run, a refused one too\n"
    "    --git-timeout: every git call ends after SECONDS (default 300)\n"
    "    --stale: a controller not backed up for HOURS is stale (default 48)\n"
    "    --retries: a busy port or a silent controller is tried N more times\n"
    "      after the others on its port (default 1)\n"
    "    a controller approved (linkora approve) whose file differs from its\n"
    "      approved version: \"; differs from approved (N values, approved DATE\n"
    "      by WHO)\" after its result, \"approved\" in the report\n"
    "    example: linkora backup plant.inventory --push\n"
    "    exit status 0 all backed up and running, 1 one failed, one stands\n"
    "    stopped (found stopped, restart not confirmed) or the push failed,\n"
    "    2 wrong command line or inventory, 5 DIR locked, not writable or not\n"
    "    the user's own, its git configuration refused, git failed, the report\n"
    "    cannot be written, 128+n ended by signal n\n"
    "    --site SITE: after the run, the plant's page written as linkora site does\n"
    "    --push: fetch, rebase onto the remote when it moved, push; the approvals\n"
    "      (refs/tags/approved/*) both ways with force, the newer tag winning\n";

const char kSiteUsage[] =
    "The plant's page, plain HTML from DIR's history and the last report (Linux):\n"
    "  linkora site <Inventory> [--into DIR] [--report FILE] --out SITE\n"
    "    SITE/index.html: every controller by attention; SITE/NAME.html: its charts,\n"
    "    last changes and its file; SITE shows every configuration: serve it only\n"
    "    where the backups may be read\n"
    "    exit status 0 written, 2 wrong command line or inventory, 5 SITE is not\n"
    "    linkora's or cannot be written\n";

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
    "    for git: the backup commits DIR/.gitattributes (*.DAT diff=linkora) and\n"
    "    sets diff.linkora.textconv to this program's path and \" textconv\"\n";

}  // namespace fleet
