#include "common/console_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/progress.h"
#include "platform/console.h"

namespace {

// Written to a file or a pipe, the output holds no carriage return.
void write(const char* text, std::size_t length) {
    if (progress::mode() != progress::Mode::Log || std::memchr(text, '\r', length) == nullptr) {
        platform::console().write(text, length);
        return;
    }
    std::string kept;
    kept.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] != '\r') kept += text[i];
    }
    if (!kept.empty()) platform::console().write(kept.data(), kept.size());
}

}  // namespace

void conPrintf(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        va_end(again);
        write(small, static_cast<std::size_t>(needed));
        return;
    }
    std::vector<char> large(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    write(large.data(), static_cast<std::size_t>(needed));
}

void conPuts(const char* text) { write(text, std::strlen(text)); }

void conPutc(int ch) {
    const char c = static_cast<char>(ch);
    write(&c, 1);
}

int getKey() { return platform::console().getKey(); }

int getKeyEcho() {
    const int key = platform::console().getKey();
    // ESC is not echoed: on a terminal a stray ESC would swallow the next
    // character printed after it.
    if (key >= 0 && key < 256 && key != 27) conPutc(key);
    return key;
}

bool keyWaiting() { return platform::console().keyWaiting(); }

void clearScreen() { platform::console().clearScreen(); }

void dropKeyPressed() {
    if (keyWaiting()) getKey();
}

void confirmLineWriteError() {
    conPuts("write error #1 to comm port");
    getKey();
}

void showMessageAndWait(const char* text) {
    conPrintf("%s\n", text);
    conPuts("Hit any key to continue...");
    getKey();
    conPuts("\n");
}

int readLine(char* buffer, int size) {
    int count = 0;
    for (;;) {
        const int key = getKey();
        if (key == platform::kKeyBackspace) {
            if (count > 0) {
                conPuts("\b \b");
                --count;
            }
        } else if (key >= 32 && key <= 127) {
            if (count < size - 1) {
                buffer[count++] = static_cast<char>(key);
                conPrintf("%c", key);
            }
        } else if (key == platform::kKeyEnter || key == platform::kKeyEscape) {
            if (size > 0) buffer[count] = '\0';
            conPuts("\n\r");
            return key == platform::kKeyEnter ? 0 : -1;
        }
    }
}
