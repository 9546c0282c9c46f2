#include "common/console.h"

#include <cstdarg>

FILE* con_out = stdout;
FILE* con_in = stdin;

void con_puts(const char* s) {
    fputs(s, con_out);
    fputc('\n', con_out);
    fflush(con_out);
}

void con_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(con_out, fmt, ap);
    va_end(ap);
    fflush(con_out);
}

void con_wait_key() {
    (void)fgetc(con_in);
}
