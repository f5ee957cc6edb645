#pragma once
// A console for in-process tests: keys come from a script, text goes to a
// string. An exhausted script answers ESC, so no loop can wait forever.
#include <deque>
#include <string>

#include "platform/console.h"

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
    void write(const char* text, std::size_t length) override { screen.append(text, length); }
    void clearScreen() override { screen += "<CLS>"; }

    std::deque<int> keys;
    std::string screen;
    int keysRead = 0;
};
