#pragma once
#include <string>
#include <vector>

#include "transfer/transfer_steps.h"

// Steps shared by upload and download: the unit configuration query, the
// MODBUS map-version check and the hand-over to the sibling program that
// serves another map version.

// Reads model, firmware revision, output quantity, options and scale factor
// (blocks 2, 3, 4, 5, 18) and the setpoint count, then derives
// effectiveOptions, firstChannel, lastChannel and configModel. forDownload:
// 0 for the upload (which also reads the analog quantity of large models),
// 1 for the download.
struct UnitConfigurationResult {
    std::vector<int> failed;  // blocks that could not be read; -1 for the setpoint count
    BlockResult block;        // how the failed ones went
};
UnitConfigurationResult queryUnitConfiguration(int forDownload);

// Reads the number of setpoints the controller holds into setpointCount
// (0 when the read fails). False when the line spoiled the read.
bool readSetpointCount();

// 1 when the controller reports a MODBUS map version other than 100.
int checkMapVersion();
// The map version found by the last checkMapVersion (100 when none).
extern int mapVersion;

// The sibling's command line as printed: "LKRA%3d " and the transfer
// arguments. forUpload: 1 upload form, 0 download form.
void buildSiblingCommand(std::string& command, int forUpload);
// The same command as a program name and its separate arguments.
std::vector<std::string> buildSiblingArguments(int forUpload);

// Prints "Executing different version of program...", the command, and runs
// the sibling with its arguments (no command interpreter in between). Returns
// 1, the transfer's result after a hand-over.
int handOverToSibling(int forUpload);
// The status of the last hand-over, for an unattended run to end with: the
// sibling's own exit status (128 + n when signal n ended it), 1 when it could
// not be started; -1 when there was none.
extern int handOverStatus;
