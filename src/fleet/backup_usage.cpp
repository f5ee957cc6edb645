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
    "    example: linkora backup plant.inventory --push\n"
    "    exit status 0 all backed up and running, 1 one failed, one stands\n"
    "    stopped (found stopped, restart not confirmed) or the push failed,\n"
    "    2 wrong command line or inventory, 5 DIR locked, not writable or not\n"
    "    the user's own, its git configuration refused, git failed, the report\n"
    "    cannot be written, 128+n ended by signal n\n"
    "    --site SITE: after the run, the plant's page written as linkora site does\n";

const char kSiteUsage[] =
    "The plant's page, plain HTML from DIR's history and the last report (Linux):\n"
    "  linkora site <Inventory> [--into DIR] [--report FILE] --out SITE\n"
    "    SITE/index.html: every controller by attention; SITE/NAME.html: its charts,\n"
    "    last changes and its file; SITE shows every configuration: serve it only\n"
    "    where the backups may be read\n"
    "    exit status 0 written, 2 wrong command line or inventory, 5 SITE is not\n"
    "    linkora's or cannot be written\n";

}  // namespace fleet
