// The platform seam as the fuzz targets drive it: a target installs the device it scripts,
// everything else answers "no device" and sleeping only adds to a counter.
#pragma once

#include <cstdint>

struct fuzz_device {
    // Pipe-select; non-zero when the pipe was selected.
    int (*ioctl)(uint32_t code);
    // One device read into `buf` of `size` bytes; the count it claims goes to *count.
    int (*read)(void* buf, uint32_t size, uint32_t* count);
};

// Null: every ioctl and read fails.
extern const fuzz_device* fuzz_dev;

// Milliseconds slept so far; targets reset it.
extern uint64_t fuzz_slept_ms;

// Stops the run with a message when a property does not hold; libFuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fuzz_fail(__FILE__, __LINE__, #cond, what);                                            \
    } while (0)

[[noreturn]] void fuzz_fail(const char* file, int line, const char* cond, const char* what);
