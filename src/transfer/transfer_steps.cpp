#include "transfer/transfer_steps.h"

#include "common/console_io.h"
#include "common/settings.h"
#include "image/controller_image.h"
#include "link/exchange_health.h"
#include "transfer/line_watch.h"

int callHandlerWatched(int mode, int functionNumber) {
    const linewatch::SilenceMark mark;
    // Once a request of this block has gone unanswered the rest of the block
    // is not sent: the caller checks whether the controller is still there.
    const FailFastScope failFast;
    commSettings.functionHandler(mode, functionNumber);
    return static_cast<int>(mark.silentRequests());
}

bool controllerAnswers() {
    const int32_t model = image.model;
    const int32_t absent = blockAbsent[2];
    const int silent = callHandlerWatched(0, 2);
    image.model = model;
    blockAbsent[2] = absent;
    return silent == 0;
}

void waitForKeyIfInteractive(int unattended) {
    if (unattended) return;
    conPuts("Hit any key to continue...");
    getKey();
}

std::string blockList(const std::vector<int>& blocks) {
    std::string text;
    for (int block : blocks) {
        if (!text.empty()) text += ", ";
        text += std::to_string(block);
    }
    return text;
}
