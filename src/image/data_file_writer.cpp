// The data file writer: header, notes, section banners and the value-line
// layout. Lines are built in strings of any length and written verbatim.

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/settings.h"
#include "image/controller_image.h"
#include "image/data_file.h"
#include "image/data_file_text.h"

std::FILE* dataFile = nullptr;
int32_t lineNumber = 1;
const std::time_t* dataFileTimeOverride = nullptr;

std::string textf(const char* format, ...) {
    char small[160];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(length));
    return text;
}

namespace {

constexpr size_t kHeaderWidth = 77;
constexpr size_t kDataColumns = 22;

void writeText(const std::string& text) {
    if (dataFile == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), dataFile);
}

// `text` padded with blanks to the header width, then CR LF.
void writePadded(std::string text) {
    if (text.size() < kHeaderWidth) text.append(kHeaderWidth - text.size(), ' ');
    text += "\r\n";
    writeText(text);
}

// ";" followed by 76 copies of `fill`.
void writeRule(char fill) { writePadded(";" + std::string(kHeaderWidth - 1, fill)); }

std::string indented(size_t blanks, const char* text) {
    std::string line(1, ';');
    line.append(blanks, ' ');
    line += text;
    return line;
}

// The local time in the fixed form "Www Mmm dd hh:mm:ss yyyy\n", spelled
// out here so that no locale can change it.
std::string uploadDate() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = dataFileTimeOverride != nullptr ? *dataFileTimeOverride : std::time(nullptr);
    std::tm local{};
    const std::tm* t = std::localtime(&now);
    if (t != nullptr) local = *t;
    const int day = local.tm_wday >= 0 && local.tm_wday < 7 ? local.tm_wday : 0;
    const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    return textf("%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays[day], kMonths[month], local.tm_mday, local.tm_hour,
                 local.tm_min, local.tm_sec, 1900 + local.tm_year);
}

// ---- section banners

struct SectionBanner {
    int functionNumber;
    const char* title;
    const char* formatLine;  // nullptr: none
    bool (*condition)();
};

bool noCondition() { return true; }
bool groupsCondition() { return modelHasGroups(image.model); }
bool inputAndingCondition() { return modelHasShiftCounts(image.model); }

const std::string kSetpointFormatLine = "; Format: pgm, chn, on, off";
const std::string kInputAndingFormatLine = indented(18, "Format: 0 for no ANDing, 1-8 for channel");

const SectionBanner kSectionBanners[] = {
    {6, "DEFAULT PROGRAM", nullptr, noCondition},
    {7, "SPEED COMP SETTINGS", nullptr, anySpeedComp},
    {8, "TIMED OUTPUT SETTINGS", nullptr, anyTimedOutput},
    {9, "SETUP CONFIGURATION", nullptr, noCondition},
    {32, "USER ENABLE CODES", nullptr, noCondition},
    {35, "OPERATOR ENABLE ACCESS", nullptr, noCondition},
    {43, "MOTION ANDING", nullptr, noCondition},
    {44, "OUTPUT ENABLE ANDING", nullptr, noCondition},
    {45, "GROUP & MODE SETUP", nullptr, groupsCondition},
    {49, "SETPOINTS", kSetpointFormatLine.c_str(), noCondition},
    {50, "INPUT ENABLE ANDING", kInputAndingFormatLine.c_str(), inputAndingCondition},
};

}  // namespace

void writeFileHeader() {
    writePadded(indented(29, "Varimotion Corp."));
    writeText(indented(17, textf("Linkora II Communications Software v%2.2f", kProgramRevision).c_str()) +
              std::string(18, ' ') + "\r\n");
    writeText(indented(19, "Upload Date: ") + uploadDate());
    writeRule(' ');
    writeText("; Comments may be added to any line as long as they start with a \";\" and do\r\n");
    writePadded("; not contain a carriage return.  However, these comments will not be");
    writePadded("; retained when the file is uploaded from a controller.");
    writePadded("; Be careful to save and name files accordingly to archive information.");
    writePadded("; NOTE: Linkora will not report invalid data errors.");
    writePadded("; ALSO: Linkora does not use decimal points in decimal numbers.");
    writePadded(";       Example: rate multiplier of 1000 is actually 1.000");
    writeRule(' ');
    writePadded(";Data                  Line# Comments");
    writeRule('-');
    writePadded(indented(29, "SYSTEM INFORMATION"));
    writeRule('-');
}

void writeModel4444Notes() {
    writeRule('!');
    writePadded("; NOTE: Shift Position must be set manually through keypad");
    writeRule('\xAD');
}

void writeSectionBanner(int functionNumber) {
    for (const auto& b : kSectionBanners) {
        if (b.functionNumber != functionNumber) continue;
        if (!b.condition()) return;
        writeRule('-');
        writePadded(indented(27, b.title));
        if (b.formatLine != nullptr) writePadded(b.formatLine);
        writeRule('-');
        return;
    }
}

std::vector<std::string>* composedDataTexts = nullptr;
std::vector<std::string>* composedComments = nullptr;

void composeLine(const std::string& dataText, const std::string& comment) {
    if (composedDataTexts != nullptr) {
        composedDataTexts->push_back(dataText);
        if (composedComments != nullptr) composedComments->push_back(comment);
        return;
    }
    std::string line = dataText;
    if (line.size() < kDataColumns) line.append(kDataColumns - line.size(), ' ');
    // Four places for the number; from 10000 up its last four digits.
    if (lineNumber >= 0 && lineNumber < 10000) {
        line += textf(";%4d;", static_cast<int>(lineNumber));
    } else {
        line += textf(";%04d;", static_cast<int>(lineNumber < 0 ? -(lineNumber % 10000) : lineNumber % 10000));
    }
    line += comment;
    line += "\r\n";
    writeText(line);
    if (lineNumber < INT32_MAX) ++lineNumber;
}

void writeDataFile() {
    writeFileHeader();
    if (modelHasShiftCounts(image.model)) writeModel4444Notes();
    lineNumber = 1;
    for (int n = 0; n < kFunctionCount; ++n) {
        if (blockAbsent[n] != 0) continue;
        writeSectionBanner(n);
        dataFileBlock(kModeWriteLines, n);
    }
}
