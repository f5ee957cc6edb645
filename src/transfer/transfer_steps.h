#pragma once
#include <string>
#include <vector>

// Small steps shared by the upload, the download and the verification.

// How one block went.
struct BlockResult {
    bool done = true;      // every request answered as the block needs
    bool silent = false;   // a request got no answer
    bool spoiled = false;  // replies were spoiled, or refused in the middle of the block
    bool gone = false;     // the controller no longer answers, or the transfer was interrupted
};

// Calls the installed FunctionHandler for one block, once.
BlockResult runBlock(int mode, int functionNumber);

// Reads (mode 0) or writes (mode 1) one block. After a fault the block is
// done again from its start, at most twice more, once a probe has shown
// that the controller still answers.
BlockResult moveBlock(int mode, int functionNumber);

// Calls the installed FunctionHandler for one block; returns the number of
// faults of that call that were not recovered.
int callHandlerWatched(int mode, int functionNumber);

// True when the controller still answers a model request.
bool controllerAnswers();

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
