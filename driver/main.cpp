#include <cstdio>

#include "driver/driver.h"

#ifdef _WIN32
// cmd.exe hands wild cards to the program as typed; the runtime expands them before main.
extern "C" {
int _dowildcard = -1;
}
#endif

int main(int argc, char** argv) {
    // A technician watches progress on a console, a test reads it through a pipe: neither may
    // wait for a buffer to fill.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return fpflash_main(argc, argv);
}
