#include "link/resync.h"

#include "link/exchange_health.h"

bool resynchronise(const ResyncRequests& requests, int tries) {
    int made = 0;
    while (serialPort.repliesOwed()) {
        if (made == tries || lineHalted()) return false;
        int entry = 0;
        while (entry < requests.count && serialPort.owes(requests.forms[entry])) ++entry;
        if (entry == requests.count) return false;  // no form left that tells the replies apart
        ++made;
        const ReplyForm& form = requests.forms[entry];
        if (!requests.attempt(entry)) {
            serialPort.noteOwed(form);
            continue;
        }
        if (serialPort.owesAnyForm()) {
            // A reply owed may have had any form, so what came may have been
            // it: the tries sent after it, this one included, may still be
            // answered. One more try settles it; this one did not give up.
            serialPort.forgetAnyForms();
            serialPort.noteOwed(form);
            --made;
            continue;
        }
        serialPort.settle();
    }
    return true;
}
