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
