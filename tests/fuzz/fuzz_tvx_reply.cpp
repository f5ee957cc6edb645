// The TVX Standard reply path: every request is answered with bytes from the
// fuzz input. Input: four control bytes, then the reply.
//   byte 0 % 3: 0 one transaction, reply as given (then CR)
//               1 one transaction, the checksum and CR appended
//               2 unit configuration, block reads and writes, data file
//                 writer, every reply with its checksum
//   byte 1: command, or first block
//   byte 2: send format (index into a table), or number of blocks
//   byte 3: receive format: below 200 an index into a table, from 200 on
//           the next (byte 3 - 200) reply bytes are taken as the format
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/settings.h"
#include "fuzz_support.h"
#include "handlers/function_handlers.h"
#include "link/tvx.h"

namespace {

// The reply text with its checksum (sum of the characters after the first)
// and the CR.
std::string withChecksum(const std::string& text) {
    unsigned sum = 0;
    for (std::size_t i = 1; i < text.size(); ++i) sum += static_cast<uint8_t>(text[i]);
    const unsigned check = (0x100 - (sum & 0xFF)) & 0xFF;
    static const char digits[] = "0123456789ABCDEF";
    std::string reply = text;
    reply += digits[check >> 4];
    reply += digits[check & 15];
    return reply + "\r";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzzing::installQuietConsole();
        fuzzing::installReplyDevice();
        fuzzing::openReplyPort();
        return true;
    }();
    (void)ready;
    if (size < 4 || size > 600) return 0;
    const int kind = data[0] % 3;
    std::string body(reinterpret_cast<const char*>(data + 4), size - 4);

    commSettings.protocol = kTvxStandard;
    commSettings.functionHandler = tvxFunctionHandler;
    commSettings.unitAddress = 1;

    if (kind == 2) {
        fuzzing::setReply(withChecksum(body));
        fuzzing::runTransferPhases(data[1], 1 + data[2] % 4);
        return 0;
    }

    static const char* const kSendFormats[] = {"", "G", "GB", "PB", "PBW", "PBWW", "PBB", "W", "C", "GBB", "X"};
    static const char* const kReceiveFormats[] = {"", "B", "W", "WW", "C", "BBBBBBBB", "BWWC", "WWWWWWWWWWWW", "Q"};
    const char* sendFormat = kSendFormats[data[2] % (sizeof kSendFormats / sizeof kSendFormats[0])];
    std::string receiveFormat;
    if (data[3] < 200) {
        receiveFormat = kReceiveFormats[data[3] % (sizeof kReceiveFormats / sizeof kReceiveFormats[0])];
    } else {
        const std::size_t length = std::min<std::size_t>(data[3] - 200, body.size());
        receiveFormat = body.substr(0, length);
        body.erase(0, length);
        if (receiveFormat.find('\0') != std::string::npos) return 0;
    }
    fuzzing::setReply(kind == 0 ? body + "\r" : withChecksum(body));
    // Room for one value per format letter: the callers' contract.
    int values[256];
    for (int i = 0; i < 256; ++i) values[i] = i * 7919;
    const int command = data[1] < 0xF0 ? data[1] % (COM_CMD_CNT + 1) : data[1];
    const int result = tvxTransaction(command, sendFormat, receiveFormat.c_str(), values).code;
    (void)result;
    printResultName(result);
    printCommandName(command);
    return 0;
}
