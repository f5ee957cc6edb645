// Program entry: --version, settings, terminal, then the unattended command
// line or the menus.
#include <cstdio>
#include <cstring>

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
    loadSettingsFile();
    platform::initTerminal();
    if (argc > 1) {
        const int status = runCommandLine(argc, argv);
        if (status >= 0) return status;
    }
    return mainMenu();
}
