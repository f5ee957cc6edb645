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

}  // namespace fleet
