#pragma once

// How one block went: what a protocol handler hands back after moving it.
struct BlockResult {
    bool done = true;       // every request answered as the block needs
    bool silent = false;    // a request got no answer
    bool spoiled = false;   // replies were spoiled, or refused in the middle of the block
    bool gone = false;      // the controller no longer answers, or the transfer was interrupted
    bool lineFault = false; // the line lost or spoiled a request (a refusal is an answer)
};
