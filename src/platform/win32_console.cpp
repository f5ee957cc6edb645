// The operator's console on Windows: the runtime's _getch/_kbhit for keys,
// standard output for text. When standard input is no console (a pipe or a
// file), keys are read from it byte by byte instead, and its end reads as ESC.
#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace platform {

namespace {

constexpr int kExtendedPrefixNull = 0x00;
constexpr int kExtendedPrefix = 0xE0;

HANDLE inputHandle() { return GetStdHandle(STD_INPUT_HANDLE); }

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

DWORD savedInputMode = 0;
DWORD savedOutputMode = 0;
bool inputModeSaved = false;
bool outputModeSaved = false;

BOOL WINAPI restoreOnControl(DWORD) {
    restoreTerminal();
    return FALSE;  // the default handling (ending the process) follows
}

class Win32Console : public Console {
public:
    int getKey() override {
        if (!interactive()) return streamKey();
        const int key = _getch();
        // An arrow, function or Home/End key arrives as a prefix and a code;
        // the runtime holds the code already, so the pair is read as one key,
        // which is no character. A 0xE0 without a code behind it is a typed
        // character of the code page.
        if (key == kExtendedPrefixNull || (key == kExtendedPrefix && _kbhit())) {
            _getch();
            return kKeySpecial;
        }
        return key;
    }

    bool keyWaiting() override { return interactive() ? _kbhit() != 0 : streamKeyWaiting(); }

    void write(const char* text, std::size_t length) override {
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    }

    void clearScreen() override {
        std::fflush(stdout);
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (output == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(output, &info)) {
            // Not a console: the terminal's own sequence, for whatever shows it.
            static const char kClear[] = "\x1b[2J\x1b[H";
            write(kClear, sizeof kClear - 1);
            return;
        }
        const COORD home{0, 0};
        const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
        DWORD done = 0;
        FillConsoleOutputCharacterA(output, ' ', cells, home, &done);
        FillConsoleOutputAttribute(output, info.wAttributes, cells, home, &done);
        SetConsoleCursorPosition(output, home);
    }

private:
    bool interactive() {
        if (interactive_ < 0) interactive_ = isConsole(inputHandle()) ? 1 : 0;
        return interactive_ == 1;
    }

    // One byte of a redirected standard input: 1 stored, 0 end or error.
    int readStreamByte(unsigned char& byte) {
        DWORD got = 0;
        if (!ReadFile(inputHandle(), &byte, 1, &got, nullptr) || got != 1) return 0;
        return 1;
    }

    // Lines of a redirected input end in CR LF or LF; either is one Enter.
    int streamKey() {
        for (;;) {
            if (atEnd_) return kKeyEscape;
            unsigned char byte = 0;
            if (readStreamByte(byte) == 0) {
                atEnd_ = true;
                return kKeyEscape;
            }
            const bool afterCr = afterCr_;
            afterCr_ = byte == '\r';
            if (byte == '\n' && afterCr) continue;
            if (byte == '\n' || byte == '\r') return kKeyEnter;
            return byte;
        }
    }

    // Never true for input that is not there yet: a caller that trusted a
    // wrong answer would block on the read.
    bool streamKeyWaiting() {
        if (atEnd_) return true;
        const HANDLE input = inputHandle();
        switch (GetFileType(input)) {
            case FILE_TYPE_PIPE: {
                DWORD available = 0;
                if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return available > 0;
                // A pipe whose writer is gone reads as its end at once.
                return GetLastError() == ERROR_BROKEN_PIPE;
            }
            case FILE_TYPE_DISK: return true;  // a file answers at once, with data or its end
            default:
                return input == nullptr || input == INVALID_HANDLE_VALUE ||
                       WaitForSingleObject(input, 0) == WAIT_OBJECT_0;
        }
    }

    int interactive_ = -1;
    bool atEnd_ = false;
    bool afterCr_ = false;
};

Win32Console& platformConsole() {
    static Win32Console instance;
    return instance;
}

Console* installed = nullptr;

}  // namespace

Console& console() { return installed != nullptr ? *installed : platformConsole(); }

void setConsole(Console* replacement) { installed = replacement; }

// _getch already reads single keys without echo, so the console's modes stay
// as found; they are saved and put back on the way out in case a program
// started from here changed them.
void initTerminal() {
    if (inputModeSaved || outputModeSaved) return;
    inputModeSaved = GetConsoleMode(inputHandle(), &savedInputMode) != 0;
    outputModeSaved = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &savedOutputMode) != 0;
    if (!inputModeSaved && !outputModeSaved) return;
    std::atexit(restoreTerminal);
    SetConsoleCtrlHandler(restoreOnControl, TRUE);
}

void restoreTerminal() {
    if (inputModeSaved) SetConsoleMode(inputHandle(), savedInputMode);
    if (outputModeSaved) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), savedOutputMode);
}

// _getch needs no mode of its own: nothing to take back.
void resumeTerminal() {}

}  // namespace platform
