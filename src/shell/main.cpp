// Program entry: settings, terminal, then the unattended command line or the
// menus.
#include "platform/console.h"
#include "platform/interrupts.h"
#include "shell/menus.h"
#include "shell/settings_file.h"
#include "transfer/transfer.h"

int main(int argc, char** argv) {
    platform::ignoreBrokenPipes();
    loadSettingsFile();
    platform::initTerminal();
    if (argc > 1) {
        const int status = runCommandLine(argc, argv);
        if (status >= 0) return status;
    }
    return mainMenu();
}
