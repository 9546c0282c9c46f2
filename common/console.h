// Console output and the wait for the user, shared by every subsystem that speaks to the
// technician. Each call flushes, so progress shows up live on a console, a pipe or a file.
#pragma once

#include <cstdio>

// Where messages go and where the key press comes from: stdout and stdin, unless a test
// points them elsewhere.
extern FILE* con_out;
extern FILE* con_in;

// Prints `s` and a line end.
void con_puts(const char* s);

// Prints exactly as formatted, nothing added.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void con_printf(const char* fmt, ...);

// Reads one character and ignores it; returns at once at end of input.
void con_wait_key();
