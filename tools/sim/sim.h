#pragma once
// linkora-sim: a controller on a pseudo-terminal. The configuration it serves
// is the project's ControllerImage (the global `image`, `setpoints`,
// `setpointCount`); what only a controller has (mapping slots, index cursors,
// the stopped flag, the reboot silence) is kept in SimState.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "image/controller_image.h"

namespace sim {

enum class ProtocolChoice { Modbus, Tvx, Both };

// One controller on the line: its address and where its configuration
// comes from and goes to.
struct UnitOptions {
    int unit = 1;
    std::string loadPath;
    std::string savePath;
    int model = 0;  // 0: from the data file, or the built-in controller's
};

struct SimOptions {
    ProtocolChoice protocol = ProtocolChoice::Both;
    // The controller being served: a copy of its entry in `units`.
    int unit = 1;
    std::string loadPath;
    std::string savePath;
    std::string linkPath;
    std::string logPath;
    int model = 0;          // 0: from the data file, or the built-in controller's
    double maxSeconds = 0;  // 0: serve until a signal
    int mapVersion = -1;    // -1: register 9999 does not exist
    bool dummyFirstRead = false;
    // Firmware variants.
    bool noPgmBank = false;
    bool narrowSetpoints = false;
    bool rateSetup2 = false;
    bool indexedMotionLimits = false;
    // Faults.
    long silentAfter = -1;  // -1: never; 0: from the start
    long dropEvery = 0;
    long garbageEvery = 0;
    // Single faults, by request number (1 is the first request served).
    std::set<long> dropAt;              // served, but the reply is lost
    std::set<long> ignoreAt;            // lost on the way: not served, no reply
    std::set<long> garbageAt;           // served, the reply's checksum spoiled
    std::set<long> refuseAt;            // not served; refused with refuseCode
    std::set<long> lateAt;              // served, the reply held back lateMs past its request
    int lateMs = 3100;
    int refuseCode = 4;                 // MODBUS exception code, or TVX result code
    bool forgetDefaultProgram = false;  // a reboot moves the default program on by one
    int charDelayMs = 0;
    int baud = 0;            // 0: no wire pacing
    bool checkLine = false;  // requests at another baud rate or stop bits go unanswered
    double resetDelay = 1.0;
    // Every controller on the line, in command-line order (at least one): a
    // --unit after --unit, --load, --save or --model starts the next one.
    std::vector<UnitOptions> units;
};

extern SimOptions options;

// Parses the command line into `options`. Returns 0 to go on, 1 after --help
// or --version (printed), 2 on an error (message in `error`).
int parseOptions(int argc, char** argv, std::string& error);
void printHelp();

// ---- the controller's own state
constexpr int kIndexedBlockCount = 11;

struct SimState {
    MappingRecord slots[kMaxMappings];  // slot k+1 of the controller is slots[k]; type 0 = empty
    MappingRecord staging;              // registers 1..5, the record window
    int selectedSlot = 0;               // register 299; 0 = none
    int cursors[kIndexedBlockCount] = {};
    int setpointReadCursor = 0;
    bool dummyPending = false;
    bool stagedSetpoint = false;  // registers 264-265 written, waiting for 269-270
    int32_t stagedProgram = 0;
    int32_t stagedChannel = 0;
    bool loading = false;  // coil 302
    bool coil314 = false;
    bool coil316 = false;
    bool stopped = false;
    // Set by a request; the server acts on them after the reply went out.
    bool rebootRequested = false;
    bool saveRequested = false;
};

extern SimState state;

// The built-in controller: model 4344 (or `model`), 16 outputs.
void loadDefaultController(int model);
// Loads a data file; `model` 0 takes the model from the file's "2:" line.
bool loadControllerFile(const std::string& path, int model, std::string& error);
// Writes the state as a data file, atomically.
bool saveControllerFile(const std::string& path, std::string& error);
// The mapping slots from image.mappings, and back.
void slotsFromImage();
void imageFromSlots();
// Working values for the image helpers (channel range, effective options).
void setWorkingValues();
// Number of output channels the controller has, bounded by the image.
int channelCount();
// The value answered for "set checksum".
int32_t imageChecksum();
// Forgets the index cursors and sequences, as a reboot does.
void resetSequences();
// Largest number of setpoints the controller stores.
constexpr int32_t kMaxSetpoints = 65535;
bool appendSetpoint(const SetpointRecord& record);
void clearSetpoints();

// ---- protocols: each takes one complete request line (terminator included)
// and returns the reply line, or nothing when the controller stays silent.
std::optional<std::string> serveModbus(const std::string& line);
std::optional<std::string> serveTvx(const std::string& line);
// Corrupts a reply so that its check fails (the checksum is off by one).
std::string corruptReply(const std::string& reply);
// The refusal of a request with `code`: a MODBUS exception reply, or a TVX
// negative reply.
std::string modbusRefusal(const std::string& line, int code);
std::string tvxRefusal(int code);

// ---- several controllers on one line (a multi-drop line)
// Loads every controller of options.units; the first is then the one served.
bool loadControllers(std::string& error);
int controllerCount();
// The index of the controller at `unit`, or -1.
int controllerAt(int unit);
// Makes controller `index` the one served (the global image, setpoints and
// state are its own), keeping the one served before.
void selectController(int index);

// ---- the pseudo-terminal server
int runServer();

}  // namespace sim
