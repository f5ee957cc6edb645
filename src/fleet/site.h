#pragma once
#include <string>
#include <vector>

#include "fleet/inventory.h"

namespace fleet {

// linkora site <Inventory> [--into DIR] [--report FILE] --out SITE
// Exit status: 0 written, 2 wrong command line or inventory, 5 SITE is not
// linkora's, cannot be written, or DIR's history cannot be read.
int siteCommand(const std::vector<std::string>& args);

// Writes the site for `entries` from the history in `dir` and the report
// `report` (empty: none) into `site`, swapped in at once. 0, or 5 after a
// line on standard error.
int writeSite(const std::vector<InventoryEntry>& entries, const std::string& dir, const std::string& report,
              const std::string& site, int gitTimeout);

extern const char kSiteUsage[];

}  // namespace fleet
