#pragma once
#include <cstddef>

// Console helpers shared by every subsystem that talks to the operator.

// printf-style output to the console.
void conPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void conPuts(const char* text);  // no line end added
void conPutc(int ch);

int getKey();       // one key, no echo
int getKeyEcho();   // one key, echoed when it is a character
bool keyWaiting();  // a key is waiting
void clearScreen();

// The console's side of a line at work (the transfer gives them to the
// link): a key pressed while a reply is awaited is taken and dropped; a
// failed write is said ("write error #1 to comm port") and confirmed with a
// key.
void dropKeyPressed();
void confirmLineWriteError();

// Prints the text, "Hit any key to continue...", waits for a key, prints "\n".
void showMessageAndWait(const char* text);

// The line editor for file names: 0 on Enter, -1 on ESC; the buffer holds
// what was typed either way.
int readLine(char* buffer, int size);
