#include "image/value_scan.h"

#include <cstdint>
#include <limits>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void skipBlanks(std::string_view text, size_t& pos) {
    while (pos < text.size() && isBlank(text[pos])) ++pos;
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

}  // namespace

bool scanInteger(std::string_view text, size_t& pos, int32_t& value) {
    size_t p = pos;
    skipBlanks(text, p);
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        negative = text[p] == '-';
        ++p;
    }
    if (p >= text.size() || digitValue(text[p]) > 9) return false;

    int base = 10;
    if (text[p] == '0') {
        // "0x" counts as a prefix only when a hexadecimal digit follows;
        // otherwise the number is the 0 alone.
        if (p + 2 < text.size() && (text[p + 1] == 'x' || text[p + 1] == 'X') && digitValue(text[p + 2]) < 16) {
            base = 16;
            p += 2;
        } else {
            base = 8;
        }
    }

    // Accumulate the magnitude, saturating at what a 64-bit long can hold.
    constexpr uint64_t kPositiveLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    constexpr uint64_t kNegativeLimit = kPositiveLimit + 1;
    const uint64_t limit = negative ? kNegativeLimit : kPositiveLimit;
    uint64_t magnitude = 0;
    bool saturated = false;
    while (p < text.size()) {
        int d = digitValue(text[p]);
        if (d >= base) break;
        if (!saturated) {
            if (magnitude > (limit - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
                saturated = true;
                magnitude = limit;
            } else {
                magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            }
        }
        ++p;
    }

    int64_t wide;
    if (negative) {
        wide = magnitude == kNegativeLimit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
    } else {
        wide = static_cast<int64_t>(magnitude);
    }
    value = static_cast<int32_t>(wide);  // the low 32 bits, as the C library keeps them
    pos = p;
    return true;
}

namespace {

int scanValuesFrom(std::string_view text, size_t& pos, const char* format, int32_t* values, int maxValues,
                   std::string* word) {
    int converted = 0;
    int stored = 0;
    bool wordTaken = false;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f == '%' && f[1] == 'i') {
            ++f;
            int32_t v = 0;
            if (stored >= maxValues || !scanInteger(text, pos, v)) return converted;
            values[stored++] = v;
            ++converted;
        } else if (*f == '%' && f[1] == 's') {
            ++f;
            skipBlanks(text, pos);
            size_t start = pos;
            while (pos < text.size() && !isBlank(text[pos])) ++pos;
            if (pos == start) return converted;
            if (word != nullptr && !wordTaken) {
                word->assign(text.substr(start, pos - start));
                wordTaken = true;
            }
            ++converted;
        } else if (isBlank(*f)) {
            skipBlanks(text, pos);
        } else {
            if (pos >= text.size() || text[pos] != *f) return converted;
            ++pos;
        }
    }
    return converted;
}

}  // namespace

int scanValues(std::string_view text, const char* format, int32_t* values, int maxValues, std::string* word,
               size_t* end) {
    size_t pos = 0;
    const int converted = scanValuesFrom(text, pos, format, values, maxValues, word);
    if (end != nullptr) *end = pos;
    return converted;
}
