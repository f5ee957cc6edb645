// The MODBUS ASCII reply path: every request is answered with bytes from the
// fuzz input. Input: four control bytes, then the reply.
//   byte 0 % 3: 0 one transaction, reply as given (then CR LF)
//               1 one transaction, reply bytes framed with ':' hex LRC CR LF
//               2 unit configuration, block reads and writes, data file
//                 writer, every reply framed
//   byte 1: function code (index into a table) or first block
//   byte 2: count or number of blocks
//   byte 3: register number or unit address
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "common/settings.h"
#include "fuzz_support.h"
#include "handlers/function_handlers.h"
#include "link/modbus.h"
#include "link/modbus_ascii.h"

namespace {

std::string framed(const uint8_t* data, std::size_t size) {
    return modbus_ascii::encode(std::span<const uint8_t>(data, size));
}

// What the codec decodes it encodes again, in upper case; what it encodes
// decodes to the same bytes.
void checkCodec(const std::string& reply, const uint8_t* body, std::size_t bodySize, bool framedBody) {
    const modbus_ascii::Decoded decoded = modbus_ascii::decode(reply);
    if (decoded.fault == modbus_ascii::Fault::None) {
        std::string upper = reply;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (modbus_ascii::encode(decoded.message) != upper) std::abort();
    }
    if (!framedBody || bodySize < 2) return;
    if (decoded.fault != modbus_ascii::Fault::None || decoded.message.unit != body[0] ||
        decoded.message.function != body[1] || decoded.message.data.size() != bodySize - 2 ||
        !std::equal(decoded.message.data.begin(), decoded.message.data.end(), body + 2))
        std::abort();
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
    const uint8_t* body = data + 4;
    const std::size_t bodySize = size - 4;

    commSettings.protocol = kModbus;
    commSettings.modbusStartChar = ':';
    commSettings.functionHandler = modbusFunctionHandler;
    commSettings.unitAddress = 1;

    if (kind == 2) {
        fuzzing::setReply(framed(body, bodySize));
        fuzzing::runTransferPhases(data[1], 1 + data[2] % 4);
        return 0;
    }

    static const int kCodes[] = {1, 2, 3, 5, 6, 15, 16, 4, 0, 128, 255, -1};
    const int code = kCodes[data[1] % (sizeof kCodes / sizeof kCodes[0])];
    const int count = data[2] - 3;  // a few negative counts as well
    commSettings.unitAddress = data[3];
    std::string reply =
        kind == 0 ? std::string(reinterpret_cast<const char*>(body), bodySize) + "\r\n" : framed(body, bodySize);
    checkCodec(reply, body, bodySize, kind == 1);
    fuzzing::setReply(reply);
    int values[256];
    for (int i = 0; i < 256; ++i) values[i] = i * 7919;
    const int result = modbusTransaction(code, 1 + data[3] * 37, count, values).code;
    // 0 success, -1 failure, or an exception code 1..255.
    if (result < -1 || result > 255) std::abort();
    return 0;
}
