// Program entry: --version, settings, terminal, then the unattended command
// line or the menus.
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/interrupts.h"
#include "shell/command_line.h"
#include "shell/menus.h"
#include "shell/settings_file.h"

int main(int argc, char** argv) {
    platform::ignoreBrokenPipes();
    // The version comes from the build (CMakeLists.txt); the banner keeps its revision.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("linkora %s\n", LINKORA_VERSION);
        return 0;
    }
    // The backups of a plant drive the unattended upload as a program of its
    // own, with no settings file and no terminal mode.
    if (argc > 1 && runsOnItsOwn(argv[1])) return runCommandLine(argc, argv);
    loadSettingsFile();
    platform::initTerminal();
    if (argc > 1) {
        const int status = runCommandLine(argc, argv);
        if (status >= 0) return status;
    }
    return mainMenu();
}
