#pragma once
#include "link/serial_port.h"

// Back in step after a wait that gave up. The reply it gave up on may still
// come, late, and would be read as the answer to the next request: MODBUS
// ASCII and TVX Standard replies carry no request number. The line and the
// controller keep order, though, so a request whose reply cannot be taken for
// any reply still owed tells where the line stands: everything that arrives
// before its reply is dropped. When its wait gives up too, it is owed as
// well, and the next try takes yet another form.
//
// Each protocol keeps a table of such requests, side-effect free, in order
// of preference (link/modbus.cpp, link/tvx.cpp); a try takes the first whose
// reply form no owed reply may have.
struct ResyncRequests {
    const ReplyForm* forms;  // the reply form of each request of the table
    int count;
    // Sends request `entry` and waits for a reply of its form, dropping
    // every other line; true when it came. Bounded by the reply time-out
    // between characters and a deadline and byte budget of its own.
    bool (*attempt)(int entry);
};

// Tries an exchange makes before it counts the line as lost.
constexpr int kResyncTries = 3;

// At most `tries` requests of the table while replies are owed (none when
// nothing is owed). True when the line is in step.
bool resynchronise(const ResyncRequests& requests, int tries);
