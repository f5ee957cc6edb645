#pragma once

#include "platform/interrupts.h"

// What every transfer starts with and ends with: an empty image, nothing
// reported yet, signals that end the transfer at the next exchange, and the
// line watched (and traced) throughout. The scope owns the open line and the
// loading coil 316, so that every way out of a transfer, a signal's
// included, ends the same way:
//
// - coil 316 goes off again where the transfer switched it on and did not
//   switch it off itself (and, once the transfer stopped the controller for
//   writing, until the controller confirmed its checksum), as a closing
//   request that a pending signal or a controller found gone does not hold
//   back; no coil is written when there was no contact or the transfer was
//   handed over;
// - the line is closed.
class TransferScope {
public:
    TransferScope();
    ~TransferScope();
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;

    // Opens the line and finds a controller on it. False when none answered;
    // the line is closed then.
    bool connect();

    // Releases the line and hands the transfer to the program for another
    // MODBUS map version, which opens the line itself. Returns 1.
    int handOver(int forUpload);

    // Coils 316 and 314 on: the controller takes the transfer's requests.
    void startLoading();
    // Coil 316 on again, for a step after the reset.
    void resumeLoading();
    // Coil 316 off as a step of the procedure. When a pending signal keeps
    // the request off the line, the way out sends it.
    void stopLoading();
    // Coil 316 off as a closing request (let through after a signal or a
    // controller found gone).
    void finishLoading();
    // A way out asks the controller first and writes the coil only when it
    // answers (the unit configuration could not be read).
    void askBeforeCoilOff() { askFirst_ = true; }

    // Stops the controller for the writing (block 0, mode 1). From here
    // until setChecksum() confirmed it, a way out switches coil 316 off even
    // after stopLoading(). False when the stop was not confirmed.
    bool stopForWriting();
    // Sets the checksum (block 1, mode 1). False when not confirmed.
    bool setChecksum();

private:
    platform::InterruptScope interrupts_;
    bool coilOn_ = false;
    bool stoppedForWriting_ = false;
    bool askFirst_ = false;
};
