// The seam served by the in-process printer, with nothing logged and no time spent waiting.
#include <sys/stat.h>

#include "sim/inproc.h"
#include "usb/platform.h"

uint64_t sim_inproc_clock_ms = 0;

static const usb_handle SIM_HANDLE = 7;
static const char SIM_PATH[] = "simulated-printer";

int plat_find_interface(const usb_guid* cls, char* buf_name) {
    (void)cls;
    if (!sim_inproc_find())
        return -1;
    usb_copy_path(buf_name, SIM_PATH);
    return 0;
}

usb_handle plat_open(const char* path) {
    (void)path;
    return sim_inproc_open() ? SIM_HANDLE : USB_INVALID_HANDLE;
}

int plat_close(usb_handle h) {
    (void)h;
    sim_inproc_close();
    return 0;
}

int plat_ioctl(usb_handle h, uint32_t code) {
    (void)h;
    return sim_inproc_ioctl(code) ? 1 : 0;
}

int plat_read(usb_handle h, void* buf, uint32_t size, uint32_t* count) {
    (void)h;
    return sim_inproc_read(static_cast<uint8_t*>(buf), size, count) ? 1 : 0;
}

int plat_write(usb_handle h, const void* buf, uint32_t size, uint32_t* count) {
    (void)h;
    return sim_inproc_write(static_cast<const uint8_t*>(buf), size, count) ? 1 : 0;
}

void plat_sleep(uint32_t ms) {
    sim_inproc_clock_ms += ms;
}

// Only the bench's own image files come here.
FILE* plat_open_regular(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    return fopen(path, "rb");
}
