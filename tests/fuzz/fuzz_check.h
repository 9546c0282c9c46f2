// The fuzz targets' checks. The targets run on the tests' fake platform (tests/fake_platform.h),
// each putting the device it scripts in as a backend, on its virtual clock.
#pragma once

// Stops the run with a message when a property does not hold; libFuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fuzz_fail(__FILE__, __LINE__, #cond, what);                                            \
    } while (0)

[[noreturn]] void fuzz_fail(const char* file, int line, const char* cond, const char* what);
