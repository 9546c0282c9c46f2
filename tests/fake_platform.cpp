#include "tests/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "common/console.h"

fake_device fake;
std::vector<fake_call> fake_log;
uint64_t fake_clock_ms = 0;
const fake_backend* fake_backend_in_use = nullptr;

static int selected_ep = -1;
static const usb_handle FAKE_HANDLE = 7;
static const uint64_t FAKE_CLOCK_LIMIT_MS = 24ull * 3600 * 1000;

void fake_reset() {
    fake = fake_device();
    fake_log.clear();
    fake_clock_ms = 0;
    fake_backend_in_use = nullptr;
    selected_ep = -1;
}

std::vector<fake_call> fake_calls(fake_op op) {
    std::vector<fake_call> out;
    for (const fake_call& c : fake_log)
        if (c.op == op)
            out.push_back(c);
    return out;
}

static void log_call(fake_op op, uint32_t arg, int ep, bool ok, uint32_t count) {
    fflush(con_out);
    fake_log.push_back({op, arg, ep, ok, count, ftell(con_out)});
}

template <typename T>
static T take(std::deque<T>& q, T otherwise) {
    if (q.empty())
        return otherwise;
    T v = q.front();
    q.pop_front();
    return v;
}

// The functions that answer in the scripted device's place; a null one leaves it the call.
static const fake_backend& backend() {
    static const fake_backend none = {};
    return fake_backend_in_use ? *fake_backend_in_use : none;
}

int plat_find_interface(const di_guid* cls, char* path, size_t size) {
    (void)cls;
    bool ok = backend().present ? backend().present() : take(fake.present, true);
    if (ok && fake.path.size() >= size)
        ok = false;
    if (ok)
        memcpy(path, fake.path.c_str(), fake.path.size() + 1);
    log_call(OP_FIND, 0, -1, ok, 0);
    return ok ? 0 : -1;
}

usb_handle plat_open(const char* path) {
    fake.opened = path;
    bool ok = backend().open ? backend().open() : take(fake.opens, true);
    log_call(OP_OPEN, 0, -1, ok, 0);
    return ok ? FAKE_HANDLE : USB_INVALID_HANDLE;
}

int plat_close(usb_handle h) {
    (void)h;
    if (backend().close)
        backend().close();
    log_call(OP_CLOSE, 0, -1, true, 0);
    return 0;
}

int plat_ioctl(usb_handle h, uint32_t code) {
    (void)h;
    bool ok = backend().ioctl ? backend().ioctl(code) : take(fake.ioctls, true);
    if (ok && (code & 0xFFFFF000u) == 0x950F2000u)
        selected_ep = static_cast<int>((code >> 2) & 0x3FFu);
    log_call(OP_IOCTL, code, -1, ok, 0);
    return ok ? 1 : 0;
}

int plat_read(usb_handle h, void* buf, uint32_t size, uint32_t* count) {
    (void)h;
    *count = 0;
    bool ok = true;
    if (backend().read) {
        ok = backend().read(static_cast<uint8_t*>(buf), size, count);
    } else if (selected_ep >= 0 && selected_ep < 4) {
        fake_read r = take(fake.reads[selected_ep], fake_read{false, {}});
        ok = !r.fail;
        if (ok) {
            uint32_t n = std::min(size, static_cast<uint32_t>(r.data.size()));
            if (n > 0)
                memcpy(buf, r.data.data(), n);
            *count = n;
        }
    }
    log_call(OP_READ, size, selected_ep, ok, *count);
    return ok ? 1 : 0;
}

int plat_write(usb_handle h, const void* buf, uint32_t size, uint32_t* count) {
    (void)h;
    *count = 0;
    bool ok = true;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    if (backend().write) {
        ok = backend().write(p, size, count);
    } else if (selected_ep >= 0 && selected_ep < 4) {
        fake_write w = take(fake.writes[selected_ep], fake_write{false, -1});
        ok = !w.fail;
        if (ok) {
            uint32_t n = w.accept < 0 ? size : static_cast<uint32_t>(w.accept);
            *count = n < size ? n : size;
            fake.written[selected_ep].emplace_back(p, p + *count);
        }
    }
    log_call(OP_WRITE, size, selected_ep, ok, *count);
    return ok ? 1 : 0;
}

void plat_sleep(uint32_t ms) {
    fake_clock_ms += ms;
    // A run that takes the virtual clock past a day is one that would never end.
    if (fake_clock_ms > FAKE_CLOCK_LIMIT_MS) {
        fprintf(stderr, "fake platform: virtual clock past %llu ms, the run never ends\n",
                static_cast<unsigned long long>(FAKE_CLOCK_LIMIT_MS));
        abort();
    }
    log_call(OP_SLEEP, ms, -1, true, 0);
}

// The tests' images are real files that nothing swaps during a run, so a look before the open
// is enough here; the platforms check what they opened.
FILE* plat_open_regular(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    return fopen(path, "rb");
}
