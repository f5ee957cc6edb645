#include "fleet/backup.h"

namespace fleet {

const char kBackupUsage[] =
    "Backups of every controller of a plant, history in git (Linux):\n"
    "  linkora backup <Inventory> [--into DIR] [--jobs N] [--report FILE] [--push]\n"
    "                                  Inventory lines: name port unit baud [protocol] [characterFormat]\n"
    "                                  example: linkora backup plant.inventory --push\n";

}  // namespace fleet
