#pragma once

// The operator's menus. Each returns the process exit status when the
// program is to end (0 on Exit, 3 when the settings file cannot be
// rewritten), or -1 to go on.

// The main menu loop; returns only when the program is to end.
int mainMenu();
// The Communication Menu with its submenus; saves the settings file on the
// way out when a choice was made. Returns -1, or 3 when saving failed.
int communicationMenu();
// The unit address entry; stores a valid address and reports whether it did.
bool enterUnitAddress();
// Prints the banner at the top of both menus.
void printBanner();
