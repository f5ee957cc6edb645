#pragma once
#include <string>
#include <vector>

// Small steps shared by the upload, the download and the verification.

// Calls the installed FunctionHandler for one block; returns the number of
// requests of that call that got no usable answer. After the first time-out
// the rest of the block is not sent.
int callHandlerWatched(int mode, int functionNumber);

// True when the controller still answers: reads the model into a scratch
// place (the image keeps its model and block 2 its flag).
bool controllerAnswers();

// "Hit any key to continue..." and a key, in the interactive form only.
void waitForKeyIfInteractive(int unattended);

// "6, 7, 31" for the block numbers given.
std::string blockList(const std::vector<int>& blocks);
