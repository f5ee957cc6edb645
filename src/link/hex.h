#pragma once

// Writes exactly `width` upper-case hex digits of `value` (low 4*width bits)
// and a NUL; returns the position of the NUL.
char* formatHex(char* buffer, unsigned value, int width);

// Reads `length` characters (at most 5) as a hex number, leniently.
int parseHex(const char* text, int length);
