#pragma once
// A console for in-process tests: keys come from a script, printed text goes
// to a string. It is the program's console while it lives. An exhausted
// script answers ESC, so no loop can wait forever.
#include <cstddef>
#include <deque>
#include <string>

#include "platform/console.h"

namespace testing_support {

class ScriptedConsole : public platform::Console {
public:
    ScriptedConsole() { platform::setConsole(this); }
    ~ScriptedConsole() override { platform::setConsole(nullptr); }

    void type(const std::string& text) {
        for (unsigned char c : text) keys.push_back(c);
    }
    void press(int key) { keys.push_back(key); }

    int getKey() override {
        ++keysRead;
        if (keys.empty()) return platform::kKeyEscape;
        const int key = keys.front();
        keys.pop_front();
        return key;
    }
    bool keyWaiting() override { return !keys.empty(); }
    void write(const char* text, std::size_t length) override { output.append(text, length); }
    void clearScreen() override { output += "<CLS>"; }

    std::deque<int> keys;
    std::string output;  // what was printed; "<CLS>" where the screen was cleared
    int keysRead = 0;
};

}  // namespace testing_support
