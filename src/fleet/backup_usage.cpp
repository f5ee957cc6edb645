#include "fleet/backup.h"

namespace fleet {

const char kBackupUsage[] =
    "Backups of every controller of a plant, with their history in git (Linux):\n"
    "  linkora backup <Inventory> [--into DIR] [--jobs N] [--report FILE] [--push]\n"
    "    Inventory: one controller a line,\n"
    "      name port unit baud [protocol] [characterFormat]\n"
    "    example: linkora backup plant.inventory --push\n"
    "    exit status 0 all backed up, 1 one failed or the push failed,\n"
    "    2 wrong command line or inventory, 5 DIR locked or not writable, git failed\n";

}  // namespace fleet
