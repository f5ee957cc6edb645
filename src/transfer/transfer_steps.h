#pragma once
#include <string>
#include <vector>

#include "handlers/exchange_rules.h"

// Small steps shared by the upload, the download and the verification.

// How one block went, running a block once or again from its start after a
// fault, and the single-coil writes: handlers/exchange_rules.h. The transfer
// scope: transfer_scope.h.

// True when the controller still answers a model request.
bool controllerAnswers();

// Why the controller no longer answers, as the messages say it: the line
// lost (no way back in step after a wait that gave up), or the controller
// that stopped answering.
const char* noLongerAnswering();
// What a lost line means, for the end of a transfer.
constexpr const char* kLineLostText =
    "The line is lost: after a reply that came too late or not at all, three requests to bring it back in step "
    "went unanswered.";

// Stops the controller (block 0, mode 1); the request is repeated while the
// line spoils it. False when the controller did not confirm; `outcome`,
// when given, receives how the request went (for the failure report, so
// that the stop is not sent again only to learn it).
bool stopController(BlockResult* outcome = nullptr);

// Restarts the controller (block 0, mode 0). The restart reboots it, so it
// is never simply sent twice: when its reply is lost or spoiled, waits
// (bounded) until the controller answers again and, under MODBUS, reads the
// run state to learn whether it took effect. False when the restart could
// not be confirmed. `mayWait` false: a controller that stopped answering
// gets the restart once, without the wait.
bool restartController(bool mayWait = true);

// True when a MODBUS controller reports itself stopped (register 340 reads
// 1), as a download that could not finish leaves it. False under TVX
// Standard, which has no such read, and when the read is not answered.
bool controllerFoundStopped();

// Sets the checksum (block 1, mode 1). False when not confirmed.
bool setControllerChecksum();

// "Hit any key to continue..." and a key, in the interactive form only.
void waitForKeyIfInteractive(int unattended);

// "6, 7, 31" for the block numbers given.
std::string blockList(const std::vector<int>& blocks);

// One line naming the values the controller refused, with their blocks and
// elements; nothing when there were none.
void reportRefusedValues();

// A transfer interrupted by a signal: its number, or 0.
int interruption();
