#include "tests/fuzz/fuzz_seam.h"

#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "usb/platform.h"

const fuzz_device* fuzz_dev = nullptr;
uint64_t fuzz_slept_ms = 0;

static const usb_handle FUZZ_HANDLE = 7;

int plat_find_interface(const usb_guid* cls, char* buf_name) {
    (void)cls;
    (void)buf_name;
    return -1;
}

usb_handle plat_open(const char* path) {
    (void)path;
    return fuzz_dev ? FUZZ_HANDLE : USB_INVALID_HANDLE;
}

int plat_close(usb_handle h) {
    (void)h;
    return 0;
}

int plat_ioctl(usb_handle h, uint32_t code) {
    (void)h;
    return fuzz_dev ? fuzz_dev->ioctl(code) : 0;
}

int plat_read(usb_handle h, void* buf, uint32_t size, uint32_t* count) {
    (void)h;
    *count = 0;
    return fuzz_dev ? fuzz_dev->read(buf, size, count) : 0;
}

// No target writes; a write that slips through is refused like a missing device.
int plat_write(usb_handle h, const void* buf, uint32_t size, uint32_t* count) {
    (void)h;
    (void)buf;
    (void)size;
    *count = 0;
    return 0;
}

// The only files opened are the targets' own memory files.
FILE* plat_open_regular(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    return fopen(path, "rb");
}

void plat_sleep(uint32_t ms) {
    fuzz_slept_ms += ms;
}

void fuzz_fail(const char* file, int line, const char* cond, const char* what) {
    fprintf(stderr, "%s:%d: %s (%s)\n", file, line, what, cond);
    abort();
}
