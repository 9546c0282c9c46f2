#include "tests/fuzz/fuzz_check.h"

#include <cstdio>
#include <cstdlib>

void fuzz_fail(const char* file, int line, const char* cond, const char* what) {
    fprintf(stderr, "%s:%d: %s (%s)\n", file, line, what, cond);
    abort();
}
