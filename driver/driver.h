// Update driver: the run from the command line to the final version query.
#pragma once

#include <cstddef>

// Size of the version query's reply buffer, and of the version text with its terminator.
const size_t REPLY_SIZE = 1024;
const size_t VERSION_SIZE = 32;

// JSON documents for the application firmware on endpoint 1. The terminating zero is
// written with the text, so the lengths written are sizeof() of each: 116 and 117.
extern const char command_ver_main[116];
extern const char command_download_main[117];

// Takes the version out of the first "value" member of `in` into `ver` (VERSION_SIZE bytes,
// always terminated; longer versions are cut). `in` is read up to its terminator or REPLY_SIZE
// characters, whichever comes first. Returns 0 when found, -1 with no key, -2 with no
// quote after the key, -3 with no closing quote.
int scan_version(const char* in, char* ver);

// The whole run; returns the exit status.
int fpflash_main(int argc, char** argv);
