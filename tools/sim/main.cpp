// linkora-sim: a cam controller on a pseudo-terminal, for tests, rehearsals
// and benchmarks of linkora.
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "sim.h"

namespace {

// The image helpers report progress on the console; the simulator's standard
// output carries only the line's path.
class QuietConsole : public platform::Console {
public:
    int getKey() override { return platform::kKeyEscape; }
    bool keyWaiting() override { return false; }
    void write(const char*, std::size_t) override {}
    void clearScreen() override {}
};

QuietConsole quietConsole;

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const int parsed = sim::parseOptions(argc, argv, error);
    if (parsed == 1) return 0;
    if (parsed != 0) {
        std::fprintf(stderr, "linkora-sim: %s (see --help)\n", error.c_str());
        return 2;
    }
    platform::setConsole(&quietConsole);
    if (!sim::loadControllers(error)) {
        std::fprintf(stderr, "linkora-sim: %s\n", error.c_str());
        return 2;
    }
    return sim::runServer();
}
