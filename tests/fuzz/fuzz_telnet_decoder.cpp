// The telnet decoder of a network line: any byte stream a server may send,
// cut into reads of the sizes the first byte chooses. Every event goes
// through the option table and the COM port answer check, as the line does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/telnet_codec.h"

namespace tn = platform::telnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4096) return 0;
    const std::size_t cut = 1 + data[0] % 64;
    tn::Decoder decoder;
    tn::OptionTable options(data[0] & 0x80);
    const std::vector<uint8_t> opening = options.opening();
    std::vector<uint8_t> out;
    std::vector<tn::Event> events;
    std::vector<uint8_t> reply;
    for (std::size_t at = 1; at < size; at += cut) {
        events.clear();
        const std::size_t length = size - at < cut ? size - at : cut;
        decoder.feed(data + at, length, out, events);
        for (const tn::Event& event : events) {
            if (event.payload.size() > tn::kMaxSubnegotiation) std::abort();
            options.note(event, reply);
            if (const auto answer = tn::comPortAnswer(event)) {
                if (answer->command < 1 || answer->command > tn::kPurgeData) std::abort();
            }
        }
    }
    // Data never grows, and every command is answered at most once.
    if (out.size() > size) std::abort();
    if (reply.size() > 3 * size + opening.size()) std::abort();
    return 0;
}
