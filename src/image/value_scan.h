#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Reading the values of a data-file line.
//
// The format language is a small subset of scanf's:
//   "%i"  an integer with the C "%i" conventions: optional leading white
//         space, optional sign, then "0x"/"0X" and hexadecimal digits, or a
//         leading "0" and octal digits, or decimal digits;
//   "%s"  a word: optional leading white space, then every character up to
//         the next white space (at least one);
//   " "   any run of white space, including none;
//   other characters must match exactly.
// Matching stops at the first mismatch; everything behind it (comments,
// the line-number field) is ignored.
//
// Numbers too large for the platform's long are read as its limit and then
// cut to the low 32 bits, which is what the C library's "%i" conversion does
// on a 64-bit Linux system: 4294967295 reads as -1, 99999999999999999999 as
// -1 (LONG_MAX cut), -99999999999999999999 as 0 (LONG_MIN cut).

// Reads one "%i" number at text[pos]; on success stores it in `value`,
// advances `pos` behind it and returns true.
bool scanInteger(std::string_view text, size_t& pos, int32_t& value);

// Matches `text` against `format`. The numbers go to values[0..], in order;
// the first "%s" word goes to `word` (when given). Returns how many
// conversions ("%i" and "%s") succeeded. At most `maxValues` numbers are
// stored; further "%i" conversions end the match. `end` (when given)
// receives the position in `text` where the match stopped.
int scanValues(std::string_view text, const char* format, int32_t* values, int maxValues, std::string* word = nullptr,
               size_t* end = nullptr);
