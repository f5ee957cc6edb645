// Command line of linkora-sim.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "sim.h"

namespace sim {

SimOptions options;

namespace {

bool parseLong(const char* text, long low, long high, long& out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

bool parseSeconds(const char* text, double& out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0 || value > 1e7) return false;
    out = value;
    return true;
}

// "3,17,40": request numbers from 1 up.
bool parseList(const char* text, std::set<long>& out) {
    if (text == nullptr || *text == '\0') return false;
    std::string item;
    for (const char* p = text;; ++p) {
        if (*p == ',' || *p == '\0') {
            long n = 0;
            if (!parseLong(item.c_str(), 1, 1L << 40, n)) return false;
            out.insert(n);
            item.clear();
            if (*p == '\0') return true;
        } else {
            item += *p;
        }
    }
}

using Setter = bool (*)(const char* value);

// Whether the last controller of options.units has its --unit.
bool unitGiven = false;

// The controller an option is for: the last one. The first --unit is the
// first controller's (with what came before it); each further one starts
// the next controller.
UnitOptions& unitForOption(bool isUnit) {
    if (options.units.empty() || (isUnit && unitGiven)) {
        options.units.emplace_back();
        unitGiven = false;
    }
    if (isUnit) unitGiven = true;
    return options.units.back();
}

bool setInt(const char* value, long low, long high, int& field) {
    long v = 0;
    if (!parseLong(value, low, high, v)) return false;
    field = static_cast<int>(v);
    return true;
}

struct OptionRow {
    const char* name;
    const char* argument;  // nullptr: a flag
    const char* help;
    Setter set;
};

const OptionRow kOptions[] = {
    {"--protocol", "modbus|tvx|both", "protocols answered (default both, chosen by the first character)",
     [](const char* v) {
         if (std::strcmp(v, "modbus") == 0)
             options.protocol = ProtocolChoice::Modbus;
         else if (std::strcmp(v, "tvx") == 0)
             options.protocol = ProtocolChoice::Tvx;
         else if (std::strcmp(v, "both") == 0)
             options.protocol = ProtocolChoice::Both;
         else
             return false;
         return true;
     }},
    {"--unit", "N", "unit address 1..255 (default 1); each further --unit adds a controller",
     [](const char* v) {
         UnitOptions& u = unitForOption(true);
         return setInt(v, 1, 255, u.unit);
     }},
    {"--load", "FILE", "configuration from a data file (default: the built-in controller)",
     [](const char* v) {
         UnitOptions& u = unitForOption(false);
         u.loadPath = v;
         return !u.loadPath.empty();
     }},
    {"--save", "FILE", "write the configuration as a data file after each write sequence and at exit",
     [](const char* v) {
         UnitOptions& u = unitForOption(false);
         u.savePath = v;
         return !u.savePath.empty();
     }},
    {"--model", "N", "model code (overrides the data file's model line)",
     [](const char* v) { return setInt(v, 1, 65535, unitForOption(false).model); }},
    {"--link", "PATH", "make a symbolic link PATH to the line's device",
     [](const char* v) {
         options.linkPath = v;
         return !options.linkPath.empty();
     }},
    {"--log", "FILE", "log every request and reply with monotonic times in microseconds",
     [](const char* v) {
         options.logPath = v;
         return !options.logPath.empty();
     }},
    {"--max-seconds", "S", "stop after S seconds (default: run until SIGINT or SIGTERM)",
     [](const char* v) { return parseSeconds(v, options.maxSeconds); }},
    {"--map-version", "V", "answer register 9999 with V (default: register absent)",
     [](const char* v) { return setInt(v, 0, 65535, options.mapVersion); }},
    {"--forget-default-program", nullptr, "a reboot moves the default program on by one (verification differs)",
     [](const char*) {
         options.forgetDefaultProgram = true;
         return true;
     }},
    {"--dummy-first-read", nullptr, "first setpoint read after register 264 := 1 returns on = off = 0",
     [](const char*) {
         options.dummyFirstRead = true;
         return true;
     }},
    {"--no-pgm-bank", nullptr, "firmware without COM_PGM_BANK (default program as one word)",
     [](const char*) {
         options.noPgmBank = true;
         return true;
     }},
    {"--narrow-setpoints", nullptr, "firmware without COM_GET_SPT_2 and COM_ADD_SPT_2",
     [](const char*) {
         options.narrowSetpoints = true;
         return true;
     }},
    {"--rate-setup-2", nullptr, "firmware with COM_RATE_SETUP_2 instead of COM_RATE_SETUP",
     [](const char*) {
         options.rateSetup2 = true;
         return true;
     }},
    {"--indexed-motion-limits", nullptr, "firmware with COM_LOLIMIT_2/COM_HILIMIT_2 instead of COM_LOLIMIT/COM_HILIMIT",
     [](const char*) {
         options.indexedMotionLimits = true;
         return true;
     }},
    {"--silent-after", "N", "answer nothing after N requests",
     [](const char* v) {
         long n = 0;
         if (!parseLong(v, 0, 1L << 40, n)) return false;
         options.silentAfter = n;
         return true;
     }},
    {"--drop-every", "K", "ignore every K-th request",
     [](const char* v) {
         long n = 0;
         if (!parseLong(v, 1, 1L << 40, n)) return false;
         options.dropEvery = n;
         return true;
     }},
    {"--garbage-every", "K", "corrupt the checksum of every K-th reply",
     [](const char* v) {
         long n = 0;
         if (!parseLong(v, 1, 1L << 40, n)) return false;
         options.garbageEvery = n;
         return true;
     }},
    {"--drop-at", "N,...", "serve request N but lose its reply",
     [](const char* v) { return parseList(v, options.dropAt); }},
    {"--ignore-at", "N,...", "lose request N on the way: no effect, no reply",
     [](const char* v) { return parseList(v, options.ignoreAt); }},
    {"--garbage-at", "N,...", "serve request N and corrupt the checksum of its reply",
     [](const char* v) { return parseList(v, options.garbageAt); }},
    {"--refuse-at", "N,...", "refuse request N without serving it (code from --refuse-code)",
     [](const char* v) { return parseList(v, options.refuseAt); }},
    {"--late-at", "N,...",
     "serve request N and hold its reply back --late-ms past the request; the replies of requests that came "
     "meanwhile follow it, 5 ms apart",
     [](const char* v) { return parseList(v, options.lateAt); }},
    {"--late-ms", "MS", "how long --late-at holds a reply back, in milliseconds (default 3100)",
     [](const char* v) { return setInt(v, 0, 600000, options.lateMs); }},
    {"--refuse-code", "C", "code of a refusal: MODBUS exception or TVX result (default 4)",
     [](const char* v) { return setInt(v, 1, 255, options.refuseCode); }},
    {"--char-delay-ms", "D", "pause D ms between reply characters",
     [](const char* v) { return setInt(v, 0, 10000, options.charDelayMs); }},
    {"--baud", "B", "pace the line as B baud (10 bits per character) both ways",
     [](const char* v) { return setInt(v, 50, 4000000, options.baud); }},
    {"--check-line", nullptr,
     "answer only requests sent at the simulator's baud rate (--baud, else 9600) and stop bits (2 MODBUS, 1 TVX)",
     [](const char*) {
         options.checkLine = true;
         return true;
     }},
    {"--reset-delay", "S", "silence after a reset or restart, in seconds (default 1)",
     [](const char* v) { return parseSeconds(v, options.resetDelay); }},
    {"--help", nullptr, "print this text", nullptr},
    {"--version", nullptr, "print the program name and version", nullptr},
};

int parseEach(int argc, char** argv, std::string& error);

}  // namespace

void printHelp() {
    std::printf(
        "Usage: linkora-sim [options]\n"
        "A controller on a pseudo-terminal. The first line of output is the device\n"
        "path of the line; the controller answers until SIGINT, SIGTERM or --max-seconds.\n\n");
    for (const OptionRow& row : kOptions) {
        char head[64];
        std::snprintf(head, sizeof head, "%s%s%s", row.name, row.argument ? " " : "", row.argument ? row.argument : "");
        std::printf("  %-30s %s\n", head, row.help);
    }
    std::fflush(stdout);
}

int parseOptions(int argc, char** argv, std::string& error) {
    options.units.clear();
    unitGiven = false;
    const int result = parseEach(argc, argv, error);
    if (result != 0) return result;
    if (options.units.empty()) options.units.emplace_back();
    for (size_t i = 0; i < options.units.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (options.units[i].unit == options.units[j].unit) {
                error = "unit " + std::to_string(options.units[i].unit) + " is given twice";
                return 2;
            }
            if (!options.units[i].savePath.empty() && options.units[i].savePath == options.units[j].savePath) {
                error = "two units save to " + options.units[i].savePath;
                return 2;
            }
        }
    }
    const UnitOptions& first = options.units.front();
    options.unit = first.unit;
    options.loadPath = first.loadPath;
    options.savePath = first.savePath;
    options.model = first.model;
    return 0;
}

namespace {

int parseEach(int argc, char** argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* inlineValue = nullptr;
        std::string name = arg;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            inlineValue = arg + eq + 1;
            name.resize(eq);
        }
        const OptionRow* found = nullptr;
        for (const OptionRow& row : kOptions) {
            if (name == row.name) found = &row;
        }
        if (found == nullptr) {
            error = std::string("unknown option ") + arg;
            return 2;
        }
        if (found->set == nullptr) {
            if (name == "--version") {
                std::printf("linkora-sim %s\n", LINKORA_VERSION);
                std::fflush(stdout);
            } else {
                printHelp();
            }
            return 1;
        }
        const char* value = "";
        if (found->argument != nullptr) {
            if (inlineValue != nullptr) {
                value = inlineValue;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = name + " needs a value";
                return 2;
            }
        } else if (inlineValue != nullptr) {
            error = name + " takes no value";
            return 2;
        }
        if (!found->set(value)) {
            error = std::string("bad value for ") + name + ": " + value;
            return 2;
        }
    }
    return 0;
}

}  // namespace

}  // namespace sim
