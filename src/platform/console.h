#pragma once
#include <cstddef>

namespace platform {

// Key codes as the original console delivers them.
constexpr int kKeyBackspace = 8;
constexpr int kKeyEnter = 13;
constexpr int kKeyEscape = 27;
// A terminal escape sequence (arrow, function, Home/End keys), consumed whole.
// It is no character: it is never echoed and never stored in an entry.
constexpr int kKeySpecial = 0x100;

// The operator's console: single keys in, text out.
class Console {
public:
    virtual ~Console() = default;
    // Waits for one key and returns its code without echoing it.
    virtual int getKey() = 0;
    // True when a key is waiting, so that getKey() would not block.
    virtual bool keyWaiting() = 0;
    // Writes text to the screen as it stands.
    virtual void write(const char* text, std::size_t length) = 0;
    // Clears the screen and puts the cursor top left.
    virtual void clearScreen() = 0;
};

// The console in use: the platform's own unless a test installed another.
Console& console();
// Installs a console (nullptr restores the platform's own). Tests use it.
void setConsole(Console* replacement);

// Puts the terminal into single-key mode and arranges that it is restored on
// every way out of the process. Called once by the program entry.
void initTerminal();
// Restores the terminal as it was found; safe to call more than once.
void restoreTerminal();
// Puts single-key mode back after restoreTerminal() (for example once a
// program started from here has ended); nothing when initTerminal() never
// took the terminal.
void resumeTerminal();

}  // namespace platform
