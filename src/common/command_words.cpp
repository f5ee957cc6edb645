#include "common/command_words.h"

#include <cerrno>
#include <cstdlib>

#include "common/settings.h"

std::optional<long> wholeNumber(const std::string& word) {
    if (word.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

namespace {

const int kSpeeds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

}  // namespace

const char kLineSpeeds[] = "300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";

std::optional<int> lineSpeed(const std::string& word) {
    const std::optional<long> value = wholeNumber(word);
    for (int speed : kSpeeds) {
        if (value && *value == speed) return speed;
    }
    return std::nullopt;
}

std::string lowerCase(std::string word) {
    for (char& c : word) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return word;
}

std::string upperCase(std::string word) {
    for (char& c : word) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return word;
}

std::string fileNameProblem(const std::string& name) {
    if (name.empty() || name.size() >= static_cast<std::size_t>(kDataFileNameSize))
        return "Filename must have 1 to 4095 characters!";
    return {};
}
