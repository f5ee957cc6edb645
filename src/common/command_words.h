#pragma once
#include <optional>
#include <string>

// The words of the unattended command line as every command reads them.

// A whole word as an integer in the "%i" conventions (0x.. hexadecimal,
// 0.. octal); nothing for a word that is not one whole number.
std::optional<long> wholeNumber(const std::string& word);

// The line speed a word names when the command line takes it (300, 600,
// 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200), else nothing.
std::optional<int> lineSpeed(const std::string& word);
// Those speeds, as messages list them.
extern const char kLineSpeeds[];

// The word in lower case (ASCII letters only).
std::string lowerCase(std::string word);
// The word in upper case (ASCII letters only).
std::string upperCase(std::string word);

// The message for a file name the command line cannot take (empty, or
// longer than a data file name holds), or empty when it is right.
std::string fileNameProblem(const std::string& name);
