#pragma once
// Shared pieces of the fuzz targets: a console that swallows everything, a
// clock that only moves when the line is idle, and a line device that answers
// every request with the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

// Installs the quiet console once; keys are never waiting, a key read
// returns Enter.
void installQuietConsole();

// Every request written to the line is answered with `reply`; once it is
// used up the line stays silent, and each empty read moves the fuzz clock on
// by one read time-out, so a transaction's 3 s time-out passes in a few dozen
// reads instead of 3 s of real time.
void installReplyDevice();
void setReply(const std::string& reply);
// Bytes the program wrote since the last setReply.
const std::string& sentSinceReply();

// Opens the serial port on the reply device (path "fuzz").
void openReplyPort();

// A private scratch file (in /dev/shm, else /tmp) for the targets that read a named file.
const std::string& scratchPath();
void writeScratch(const uint8_t* data, std::size_t size);

}  // namespace fuzzing

namespace fuzzing {

// The read phase of an upload against a controller whose every reply is the
// one installed with setReply: the unit configuration, the setpoint storage,
// then block `firstBlock` and the blocks after it up to `blockCount` of them,
// each read and written back, and finally the data file written from what
// was read. The installed protocol and handler are used.
void runTransferPhases(int firstBlock, int blockCount);

}  // namespace fuzzing
