#pragma once
// A scripted controller for the handler tests: it sits behind a
// ScriptedLineDevice, decodes every MODBUS ASCII or TVX Standard request the
// program sends, logs it and answers as the test's script says.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "support/test_support.h"

namespace handlers_test {

struct ModbusRequest {
    int function = 0;
    int reg = 0;  // 1-based
    int count = 0;
    std::vector<int> values;  // written values (code 16), coil state (code 5)
};

struct ModbusReply {
    bool silent = false;
    int exception = 0;      // non-zero: an exception reply with this code
    std::vector<int> data;  // registers for a read; missing ones read 0
};

struct TvxRequest {
    int command = 0;
    std::string data;  // the characters between the command code and the checksum
    // The numeric fields of `data` by a send format ("GB", "PBWW", ...).
    std::vector<int> fields(const std::string& format) const;
};

struct TvxReply {
    bool silent = false;
    std::string payload;  // kind character and data, e.g. "A01" or "N03"
};

// Positive replies: "A" and the values by a receive format.
TvxReply tvxOk(const std::string& format = "", const std::vector<int>& values = {});
TvxReply tvxRefuse(int code = 3);

class FakeController {
public:
    FakeController();
    ~FakeController();

    // Opens serialPort on the scripted device (format 3, 9600 baud).
    void open();

    // MODBUS: the default answers reads from `registers` and stores writes.
    std::function<ModbusReply(const ModbusRequest&)> modbus;
    std::map<int, int> registers;
    std::vector<ModbusRequest> modbusLog;

    // TVX: the default refuses every command with COM_BAD_COMMAND.
    std::function<TvxReply(const TvxRequest&)> tvx;
    std::vector<TvxRequest> tvxLog;

    std::shared_ptr<testing_support::ScriptedLineDevice::State> state;

    // Commands of the TVX log, in order.
    std::vector<int> tvxCommands() const;

private:
    void onSend(testing_support::ScriptedLineDevice::State& s);
    std::size_t consumed_ = 0;
};

// Collects console output; every key read returns 'x'.
class CaptureConsole : public platform::Console {
public:
    CaptureConsole() { platform::setConsole(this); }
    ~CaptureConsole() override { platform::setConsole(nullptr); }
    int getKey() override {
        ++keysRead;
        return 'x';
    }
    bool keyWaiting() override { return false; }
    void write(const char* text, std::size_t length) override { output.append(text, length); }
    void clearScreen() override {}
    std::string output;
    int keysRead = 0;
};

}  // namespace handlers_test
