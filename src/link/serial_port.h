#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/line_device.h"

// Character format codes given to SerialPort::open. 1/6 and 2/3 are the
// controller's historic codes; the twelve named formats of the command line
// have codes of their own. 255 means "the protocol's default" and is turned
// into 6 (MODBUS) or 3 (TVX Standard) by the connection step.
enum CharacterFormat : int {
    kFormat7N2 = 6,          // also 1
    kFormat8N1 = 3,          // also 2
    kFormatNamedFirst = 16,  // 16 + index into kCharacterFormatNames
    kFormatDefault = 255,
};

// "7N1", "7N2", "7E1", "7E2", "7O1", "7O2", "8N1", "8N2", "8E1", "8E2", "8O1", "8O2"
extern const char* const kCharacterFormatNames[12];
// The code for one of the twelve names, or nothing.
std::optional<int> characterFormatFromName(const std::string& name);
// The line settings for a format code, or nothing when the code is not valid.
std::optional<platform::LineSettings> lineSettingsForFormat(int code, int baudRate);

// What tells the reply to one request from the replies to others, in a
// protocol's own terms (MODBUS: the function code and the byte count, or
// the address and value or count that a write's echo repeats; TVX Standard:
// the length of a positive reply's data). A form that `any` marks may look
// like every reply of its protocol.
struct ReplyForm {
    int code = 0;
    int first = 0;
    int second = 0;
    bool any = false;
    bool operator==(const ReplyForm&) const = default;
};

class SerialPort {
public:
    // 0 on success, -1 on any failure (a message has been printed).
    int open(int portIndex, int characterFormat, int baudRate);
    // The same for a device named by its path.
    int openPath(const std::string& path, int characterFormat, int baudRate);
    void close();
    // 0 when handed to the system, 1 after a write error. What the line
    // received before the write and has not been read is dropped first.
    int write(const void* buffer, std::size_t length);
    // Nonzero when a byte was received into `out`.
    int readByte(uint8_t& out);

    int portActive = 0;

    // True once a network line's connection is gone (the server closed or
    // reset it), or once the line was given up because it does not stop
    // sending: every exchange fails at once from then on.
    bool lineLost() const;
    // Why it was lost, in the system's or the server's words, or how much
    // the line sent.
    std::string lostReason() const;
    // True when the line was lost because it does not stop sending.
    bool lineBabbling() const;
    // A good reply (or a refusal) came: the bytes counted against the byte
    // budget start again from here.
    void noteGoodReply();
    // How long ago the last request was written.
    int64_t requestAgeMicros() const;
    // The time every wait on the line is measured by, and a pause on it:
    // the line device's clock (link/line_device.h), the platform's while no
    // line is open.
    int64_t nowMicros() const;
    void pauseMicros(int64_t micros);

    // ---- replies owed
    // A request whose wait gave up may still be answered, late; the line and
    // the controller keep the order of the replies. Until a request whose
    // reply cannot be taken for an owed one is answered, the forms of the
    // owed replies are kept here, the newest kOwedForms of them (a reply
    // comes at most three time-outs late). Opening and closing the line
    // forget them.
    static constexpr int kOwedForms = 3;
    bool repliesOwed() const { return owedCount_ > 0; }
    // True when an owed reply may have the form `form` (a form marked `any`
    // excludes none).
    bool owes(const ReplyForm& form) const;
    bool owesAnyForm() const;
    void noteOwed(const ReplyForm& form);
    // The owed forms marked `any` are forgotten (their reply came, or
    // cannot come any more); the others stay.
    void forgetAnyForms();
    // In step again: nothing is owed.
    void settle() { owedCount_ = 0; }
    // The line could not be brought back in step: it is lost, and no
    // exchange goes out on it any more.
    bool outOfStep() const { return outOfStep_; }
    void noteOutOfStep() { outOfStep_ = true; }

    // While set, closing a network line keeps its connection, and opening
    // the same port again takes it up and only sends the new line format.
    // Clearing it ends a connection kept that way.
    void keepConnectionOnClose(bool keep);

    // After open or openPath failed: the device it tried and why, in the
    // system's words where the system gave any.
    const std::string& failedDevice() const { return failedDevice_; }
    const std::string& failureReason() const { return failureReason_; }
    // ... and whether it failed because the line does not stop sending.
    bool failedBabbling() const { return failedBabbling_; }

    // Tests install a scripted device; nullptr restores the platform's own.
    void setDeviceFactory(platform::LineDeviceFactory factory);
    platform::LineDevice* device() { return activeport.get(); }

private:
    int openDevice(const std::string& path, int characterFormat, int baudRate);
    int fail(const std::string& path, const std::string& reason, const char* fallback);
    void startCounting();
    void checkSending(bool byteArrived);
    std::unique_ptr<platform::LineDevice> activeport;
    std::string activePath_;
    bool keepConnection_ = false;
    std::unique_ptr<platform::LineDevice> kept_;
    std::string keptPath_;
    platform::LineDeviceFactory factory_;
    std::string failedDevice_;
    std::string failureReason_;
    bool failedBabbling_ = false;
    // What the line sent since the last good reply, against the byte budget,
    // and when the last request went out, against the time a reply may take.
    int baudRate_ = 9600;
    uint64_t goodReplyBytes_ = 0;
    int64_t goodReplyMicros_ = 0;
    int64_t requestMicros_ = 0;
    bool babbling_ = false;
    std::string babblingReason_;
    ReplyForm owed_[kOwedForms];
    int owedCount_ = 0;
    bool outOfStep_ = false;
};

extern SerialPort serialPort;

// What the line needs of the console, given by the layer that talks to the
// operator: the link itself calls no console function. Either may be left
// empty.
struct LineConsole {
    // Before each character of a MODBUS reply is awaited (a key pressed
    // meanwhile is taken and dropped).
    void (*whileAwaitingReply)() = nullptr;
    // A write failed on a line that is not lost (it is said, and confirmed
    // with a key).
    void (*writeFailed)() = nullptr;
    // A message of the line's own (a port that cannot be opened, set or
    // closed), said as it stands, with no line end added.
    void (*say)(const char* text) = nullptr;
};
// Says `text` through the line's console, where one is given.
void lineSay(const char* text);
void setLineConsole(const LineConsole& console);
const LineConsole& lineConsole();

// Observes every byte of the line (traffic trace); nullptr for none.
using LineObserver = void (*)(bool sent, const uint8_t* data, std::size_t length);
void setLineObserver(LineObserver observer);
