// Program entry: --version, settings, terminal, then the unattended command
// line or the menus.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fleet/backup.h"
#include "common/console_io.h"
#include "platform/console.h"
#include "platform/interrupts.h"
#include "shell/menus.h"
#include "shell/settings_file.h"
#include "transfer/transfer.h"

int main(int argc, char** argv) {
    platform::ignoreBrokenPipes();
    // The version comes from the build (CMakeLists.txt); the banner keeps its revision.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("linkora %s\n", LINKORA_VERSION);
        return 0;
    }
    // The backups of a plant drive the unattended upload as a program of its
    // own, with no settings file and no terminal mode.
    if (argc > 1 && std::strcmp(argv[1], "backup") == 0) {
        return fleet::backupCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (argc > 1 && std::strcmp(argv[1], "restore") == 0) {
        return fleet::restoreCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (argc > 1 && std::strcmp(argv[1], "textconv") == 0) {
        return fleet::textconvCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (argc > 1 && std::strcmp(argv[1], "approve") == 0) {
        return fleet::approveCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    loadSettingsFile();
    platform::initTerminal();
    if (argc > 1) {
        const int status = runCommandLine(argc, argv);
        const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                                        std::strcmp(argv[1], "/?") == 0);
        if (help && status == 0) {
            conPuts(fleet::kBackupUsage);
            conPuts(fleet::kRestoreUsage);
            conPuts(fleet::kApproveUsage);
            conPuts(fleet::kTextconvUsage);
        }
        if (status >= 0) return status;
    }
    return mainMenu();
}
