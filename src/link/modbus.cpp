#include "link/modbus.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"
#include "link/exchange_health.h"
#include "link/modbus_ascii.h"
#include "link/resync.h"
#include "link/serial_port.h"

namespace {

constexpr int kReplyBufferSize = 256;
// The largest counts whose request fits the request buffer and whose reply
// fits the reply buffer (':' + 2 digits per byte + CR LF within 255 chars).
constexpr int kMaxReadBits = 8 * 122;                             // codes 1, 2: up to 122 data bytes
constexpr int kMaxReadRegisters = 61;                             // code 3: up to 122 data bytes
constexpr int kMaxWriteRegisters = 123;                           // code 16
constexpr int kMaxRequestBytes = 7 + 2 * kMaxWriteRegisters + 1;  // LRC included

// The last request and reply, as text. The reply keeps its content between
// transactions.
std::string requestText;
char replyText[kReplyBufferSize];
// Set when the last exchange ended because the line stayed silent.
bool replyTimedOut = false;

void put16(uint8_t* at, int value) {
    at[0] = static_cast<uint8_t>((value >> 8) & 0xFF);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

// The request bytes before the LRC; 0 when the count cannot be served.
int buildRequest(uint8_t* bytes, int functionCode, int registerNumber, int count, const int* values) {
    bytes[0] = static_cast<uint8_t>(commSettings.unitAddress & 0xFF);
    bytes[1] = static_cast<uint8_t>(functionCode & 0xFF);
    put16(bytes + 2, registerNumber - 1);
    switch (functionCode) {
        case 1:
        case 2:
            if (count < 0 || count > kMaxReadBits) return 0;
            put16(bytes + 4, count);
            return 6;
        case 3:
            if (count < 0 || count > kMaxReadRegisters) return 0;
            put16(bytes + 4, count);
            return 6;
        case 5:
            bytes[4] = (values[0] & 1) ? 0xFF : 0x00;
            bytes[5] = 0x00;
            return 6;
        case 6: put16(bytes + 4, values[0]); return 6;
        case 15:
            put16(bytes + 4, count);
            bytes[6] = 2;
            bytes[7] = static_cast<uint8_t>(values[0] & 0xFF);
            bytes[8] = static_cast<uint8_t>((values[0] >> 8) & 0xFF);
            return 9;
        case 16:
            if (count < 0 || count > kMaxWriteRegisters) return 0;
            put16(bytes + 4, count);
            bytes[6] = static_cast<uint8_t>((2 * count) & 0xFF);
            for (int i = 0; i < count; ++i) put16(bytes + 7 + 2 * i, values[i]);
            return 7 + 2 * count;
        default: return 4;
    }
}

// Receives one reply line into replyText. Its length; -1 on a silence of
// more than the time-out (or once `deadline` has passed, when it is not 0);
// -2 for a line that does not fit the buffer.
int receiveReply(int64_t deadline = 0) {
    int length = 0;
    replyText[0] = '\0';
    for (;;) {
        if (lineConsole().whileAwaitingReply) lineConsole().whileAwaitingReply();
        const int64_t waitStart = serialPort.nowMicros();
        uint8_t byte = 0;
        while (!serialPort.readByte(byte)) {
            const int64_t now = serialPort.nowMicros();
            if ((now - waitStart) / 1000 > kModbusTimeoutMs || (deadline != 0 && now > deadline) ||
                replyAbandoned()) {
                replyText[length] = '\0';
                replyTimedOut = true;
                return -1;
            }
        }
        replyText[length++] = static_cast<char>(byte);
        if (byte == '\n' || byte >= 0x80) break;
        if (length == kReplyBufferSize - 1) {  // no room left for the line end
            replyText[length] = '\0';
            return -2;
        }
    }
    replyText[length] = '\0';
    return length;
}

// The reply received into replyText (`length` characters), checked and
// taken apart.
modbus_ascii::Decoded decodeReply(int length) {
    return modbus_ascii::decode(std::string_view(replyText, static_cast<std::size_t>(length)),
                                commSettings.modbusStartChar);
}

constexpr int kFirstFailureException = 4;

// The form of the reply a request expects.
constexpr ReplyForm formOf(int functionCode, int registerNumber, int count, int value) {
    switch (functionCode) {
        case 1:
        case 2: return {functionCode, (count + 7) / 8, 0};
        case 3: return {functionCode, 2 * count, 0};
        case 5: return {functionCode, registerNumber - 1, (value & 1) ? 0xFF00 : 0};
        case 6: return {functionCode, registerNumber - 1, value & 0xFFFF};
        default: return {functionCode, registerNumber - 1, count};
    }
}

// Builds the request frame into requestText and its bytes (LRC excluded)
// into `request`; their count, or 0 when the count cannot be served.
int buildFrame(uint8_t* request, int functionCode, int registerNumber, int count, const int* values) {
    const int requestLength = buildRequest(request, functionCode, registerNumber, count, values);
    if (requestLength == 0) return 0;
    requestText = modbus_ascii::encode(std::span<const uint8_t>(request, static_cast<std::size_t>(requestLength)),
                                       commSettings.modbusStartChar);
    return requestLength;
}

// Sends the frame in requestText. The frame is handed over in one call: the
// bytes on the line are the same as when written one by one, without a
// system call per character. A write error has been reported by the port;
// the reply is awaited anyway.
void sendFrame() { serialPort.write(requestText.data(), requestText.size()); }

// True when a decoded reply (not an exception) is the answer a request of
// `functionCode` and `count` expects: a read carries exactly the data asked
// for, a write's echo repeats the request's address and value or count.
bool answers(const uint8_t* request, int functionCode, int count, const std::vector<uint8_t>& data) {
    switch (functionCode) {
        case 1:
        case 2: {
            const int dataBytes = (count + 7) / 8;
            return data[0] == dataBytes && data.size() == 1 + static_cast<std::size_t>(dataBytes);
        }
        case 3: return data[0] == 2 * count && data.size() == 1 + 2 * static_cast<std::size_t>(count);
        case 5:
        case 6:
        case 15:
        case 16: return data.size() == 4 && std::memcmp(data.data(), request + 2, 4) == 0;
        default: return true;
    }
}

// A reply for this unit with at least one byte after its function code.
bool forThisUnit(const modbus_ascii::Decoded& reply) {
    return reply.fault == modbus_ascii::Fault::None && !reply.message.data.empty() &&
           reply.message.unit == static_cast<uint8_t>(commSettings.unitAddress & 0xFF);
}

int exchange(int functionCode, int registerNumber, int count, int* values) {
    uint8_t request[kMaxRequestBytes];
    if (buildFrame(request, functionCode, registerNumber, count, values) == 0) return -1;
    sendFrame();
    if (!serialPort.device()) {  // no line: nothing can answer
        replyTimedOut = true;
        return -1;
    }

    const int replyLength = receiveReply();
    if (replyLength < 0) {
        // Given up on: the reply may still come, and is owed.
        if (replyTimedOut) serialPort.noteOwed(formOf(functionCode, registerNumber, count, values[0]));
        return -1;
    }

    const modbus_ascii::Decoded reply = decodeReply(replyLength);
    if (!forThisUnit(reply)) return -1;
    const std::vector<uint8_t>& data = reply.message.data;

    const int requestedCode = functionCode & 0xFF;
    if (reply.message.function == ((requestedCode + 128) & 0xFF) && requestedCode < 128) {
        if (data.size() != 1 || data[0] == 0) return -1;
        return data[0];  // the exception code
    }
    if (reply.message.function != requestedCode) return -1;
    if (!answers(request, functionCode, count, data)) return -1;

    switch (functionCode) {
        case 1:
        case 2:
            for (int i = 0; i < (count + 7) / 8; ++i) values[i] = data[1 + i];
            return 0;
        case 3:
            for (int i = 0; i < count; ++i) values[i] = data[1 + 2 * i] * 256 + data[2 + 2 * i];
            return 0;
        default: return 0;
    }
}

// ---- resynchronising requests
// Plain reads of the model, firmware and output quantity registers, whose
// reply forms (function 3 with 6, 4 and 2 data bytes) differ; a read of
// three registers is never an ordinary request. When an owed reply is itself
// that of a read of one or two registers, the option index register set to
// 1 (its echo compared in full) is the last choice: the option list is read
// from it only right after it is set, and a fault inside that list has the
// list read again from that setting.
struct ResyncRequest {
    int functionCode;
    int registerNumber;
    int count;
    int value;
};

constexpr ResyncRequest kResyncRequests[] = {{3, 300, 3, 0}, {3, 300, 2, 0}, {3, 300, 1, 0}, {16, 303, 1, 1}};
constexpr ReplyForm kResyncForms[] = {
    formOf(3, 300, 3, 0),
    formOf(3, 300, 2, 0),
    formOf(3, 300, 1, 0),
    formOf(16, 303, 1, 1),
};
static_assert(std::size(kResyncForms) == std::size(kResyncRequests));

// What one try may read before it gives up, whatever arrives.
constexpr int64_t kResyncDeadlineMicros = 2LL * kModbusTimeoutMs * 1000;
constexpr int kResyncByteBudget = 16 * kReplyBufferSize;

bool resyncAttempt(int entry) {
    const ResyncRequest& r = kResyncRequests[entry];
    int values[3] = {r.value, 0, 0};
    uint8_t request[kMaxRequestBytes];
    if (buildFrame(request, r.functionCode, r.registerNumber, r.count, values) == 0) return false;
    sendFrame();
    if (!serialPort.device()) return false;
    const int64_t deadline = serialPort.nowMicros() + kResyncDeadlineMicros;
    int received = 0;
    while (received < kResyncByteBudget) {
        const int length = receiveReply(deadline);
        if (length == -1) return false;
        received += length < 0 ? kReplyBufferSize : length;
        if (length < 0) continue;
        const modbus_ascii::Decoded reply = decodeReply(length);
        // Anything else, an exception included (it carries no count), is
        // dropped: it may answer an earlier request.
        if (forThisUnit(reply) && reply.message.function == r.functionCode &&
            answers(request, r.functionCode, r.count, reply.message.data))
            return true;
    }
    return false;
}

constexpr ResyncRequests kResync = {kResyncForms, static_cast<int>(std::size(kResyncForms)), resyncAttempt};

}  // namespace

ExchangeResult modbusTransaction(int functionCode, int registerNumber, int count, int* values) {
    if (lineHalted()) return noteExchange(true, true, -1);
    // After a wait that gave up, the line is brought back in step before
    // this exchange counts; when it cannot be, the line is lost. A closing
    // request (restart, coil off) makes one try and goes out all the same:
    // a controller that recovers is not left standing.
    const bool closing = closingRequests();
    if (!resynchronise(kResync, closing ? 1 : kResyncTries) && !closing) {
        if (!lineHalted()) serialPort.noteOutOfStep();
        return noteExchange(true, true, -1);
    }
    replyTimedOut = false;
    const int result = exchange(functionCode, registerNumber, count, values);
    // Exceptions 1 to 3 are the controller's answer (unknown function or
    // register, refused value); 4 and up report a failure inside the
    // controller and count like a reply the line spoiled.
    const bool failed = result == -1 || result >= kFirstFailureException;
    return noteExchange(failed, replyTimedOut, result, result == 1 || result == 2);
}

ExchangeResult modbusResynchronise(int tries) {
    if (!serialPort.repliesOwed()) return ExchangeResult{};
    if (lineHalted()) return noteExchange(true, true, -1);
    const bool inStep = resynchronise(kResync, tries);
    return noteExchange(!inStep, !inStep, inStep ? 0 : -1);
}
