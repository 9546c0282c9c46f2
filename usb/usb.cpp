#include "usb/usb.h"

#include <cstring>

#include "common/console.h"
#include "di/contract.h"
#include "loader/loader.h"

const di_guid GUID_CLASS_PRINTER = DI_PRINTER_CLASS;

usb_handle husb = USB_INVALID_HANDLE;
epInfo ep_data[USB_EP_COUNT];

static const int CONNECT_ATTEMPTS = 20;
static const uint32_t CONNECT_WAIT_MS = 1000;

// Only the first USB_PATH_MAX characters of a path are opened: the name buffer is zero-filled
// behind them and always terminated.
static void copy_path(char* buf_name, const char* path) {
    size_t i = 0;
    for (; i < USB_PATH_MAX && path[i] != '\0'; i++)
        buf_name[i] = path[i];
    for (; i <= USB_PATH_MAX; i++)
        buf_name[i] = '\0';
}

static bool ep_valid(int ep_num) {
    return ep_num >= 0 && ep_num < USB_EP_COUNT;
}

// Overlapping move towards the front; the destination lies below the source.
static void ep_shift(epInfo* ep, uint32_t from, uint32_t count) {
    memmove(ep->buf, ep->buf + from, count);
    ep->addr = count;
}

int readUSB(void* buf, uint32_t size, int ep_num) {
    if (!ep_valid(ep_num))
        return -1;
    epInfo* ep = &ep_data[ep_num];
    unsigned char* out = static_cast<unsigned char*>(buf);
    uint32_t bret = 0;

    if (ep->addr > 0 && ep->addr >= size) {
        if (size > 0)
            memcpy(out, ep->buf, size);
        ep_shift(ep, size, ep->addr - size);
        return static_cast<int>(size);
    }
    if (ep->addr > 0) {
        memcpy(out, ep->buf, ep->addr);
        bret = ep->addr;
        size -= ep->addr;
        ep->addr = 0;
    }

    // Held bytes already handed over are counted even when the device fails now:
    // they are gone from the read-ahead and must not be lost.
    int fail = bret > 0 ? static_cast<int>(bret) : -1;
    if (!plat_ioctl(husb, pipe_code(ep_num)))
        return fail;
    uint32_t n = 0;
    if (!plat_read(husb, ep->buf, USB_TRANSFER_MAX, &n))
        return fail;
    if (n > USB_TRANSFER_MAX) // a driver claiming more than it was asked for is not believed
        n = USB_TRANSFER_MAX;
    if (n == 0)
        return static_cast<int>(bret);
    if (n <= size) {
        memcpy(out + bret, ep->buf, n);
        ep->addr = 0;
        return static_cast<int>(bret + n);
    }
    if (size > 0)
        memcpy(out + bret, ep->buf, size);
    ep_shift(ep, size, n - size);
    return static_cast<int>(bret + size);
}

int writeUSB(const void* buf, uint32_t size, int ep_num) {
    if (!ep_valid(ep_num))
        return -1;
    if (!plat_ioctl(husb, pipe_code(ep_num)))
        return -1;
    uint32_t n = size > USB_TRANSFER_MAX ? USB_TRANSFER_MAX : size;
    uint32_t count = 0;
    if (!plat_write(husb, buf, n, &count))
        return -1;
    if (count > n)
        count = n;
    return static_cast<int>(count);
}

int openUSB() {
    buf_in_adr = 0;
    memset(buf_in, 0, sizeof(buf_in));

    char found[USB_FOUND_PATH_SIZE];
    if (plat_find_interface(&GUID_CLASS_PRINTER, found, sizeof(found)) != 0) {
        husb = USB_INVALID_HANDLE;
        return -1;
    }
    char buf_name[USB_PATH_SIZE];
    copy_path(buf_name, found);
    husb = plat_open(buf_name);
    return husb == USB_INVALID_HANDLE ? -1 : 0;
}

int connect_ADM_USB() {
    for (int attempt = 0; attempt < CONNECT_ATTEMPTS; attempt++) {
        if (openUSB() == 0) {
            con_puts("Open USB - O'k");
            return 0;
        }
        con_puts("Wait open USB");
        plat_sleep(CONNECT_WAIT_MS);
    }
    return -1;
}
