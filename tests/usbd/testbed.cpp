// fpusb-testbed: the simulated printer as a USB device on a bus that umockdev emulates, with
// the real fpusbd serving it through the real libusb. It takes fpsim's command line, so a
// scenario that runs fpflash against fpsim runs the same way through the whole USB path.
//
// fpusbd runs as our child under umockdev's preload: its sysfs, its udev events and its
// /dev/bus/usb are the testbed's, and every usbdevfs ioctl it makes on a printer comes here,
// to a handler on umockdev's worker thread that plays the USB device from the model in sim/.
// The model's switch to the loader and back is played as an unplug and a new device with
// another product ID at the same port, with their uevents.
//
// A USB device never sees its host close a handle. What it sees is the host giving up its
// reads: fpusbd keeps reads pending while a client holds the printer and takes them all back
// when the client lets go, though it keeps the interface claimed. That is the model's close;
// the next request opens the model again.
//
// libusb waits for a usbdevfs descriptor to become writable before it reaps, and a file
// always is. So each device node is a FIFO that we keep full: it turns writable exactly
// while some URB is waiting to be reaped, and fpusbd sleeps in poll the rest of the time.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include "sim/driver.h"
#include "sim/sim.h"
#include "tests/rude_client.h"
#include "di/kit.h"

#ifndef FPUSBD_PATH
#error "FPUSBD_PATH names the fpusbd that the testbed runs"
#endif

static const char INTRO[] =
    "Usage: fpusb-testbed [OPTION]...\n"
    "The simulated fiscal printer as a USB device on a bus emulated by umockdev, served\n"
    "by the real fpusbd through the real libusb and published by it as a device\n"
    "interface, until a signal or the scenario stops it. Takes fpsim's options with\n"
    "their meaning; the printer is on USB port 1-1 and is named by it unless --name is\n"
    "given. Exits with 77 where umockdev cannot run.\n";

static const int EXIT_SKIP = 77;
static const char PRELOAD[] = "libumockdev-preload.so.0";
static const uint16_t VID = 0x1209; // pid.codes' test IDs: no real product answers to them
static const uint16_t PID_APP = 0x0001;
static const uint16_t PID_LOADER = 0x0002;
static const uint16_t PID_SECOND = 0x0001;
static const uint32_t BLOCK_BYTES = 528;
static const uint32_t PACKET = 512; // every bulk endpoint's wMaxPacketSize
static const int LOADER_EP = 3;
static const size_t PAGE = 4096;
static const int START_MS = 15000;
static const int STOP_MS = 5000;
static const int SHORT_TIMEOUT_MS = 1000;

// ---- the command line beyond fpsim's --------------------------------------------------------

static sim_config cfg;
static std::string fpusbd_path = FPUSBD_PATH;
static bool second_printer = false;
static bool second_client = false;
static bool rude_client = false;
static long stall_at = -1;
static long short_at = -1;
static int bus_poll_ms = 0;
static bool named = false; // --name was given
static const char* ids_given = "both";
static bool rebinding_driver = false;
static bool other_holder = false;
static long access_denied_ms = 0;
static long slow_bus_ms = 0;

static bool parse_ms(const char* a, long* out) {
    return di_parse_long(a, 10, 1, 600000, out);
}

static bool parse_index(const char* a, long* out) {
    return di_parse_long(a, 10, 0, 0xFFFF, out);
}

// clang-format off
static const std::vector<di_option> extra_options = {
    {"fpusbd", "PATH", SIM_GROUP_DRIVER, "the fpusbd to run (default: the one built with this)",
     [](const char* a) { fpusbd_path = a; return di_usable(*a != '\0'); }},
    {"bus-poll", "MS", SIM_GROUP_DRIVER, "fpusbd lists the bus every MS instead of taking uevents",
     [](const char* a) {
         long v = 0;
         bool ok = parse_index(a, &v) && v >= 10;
         if (ok)
             bus_poll_ms = static_cast<int>(v);
         return di_usable(ok);
     }},
    {"second-printer", nullptr, SIM_GROUP_PRINTER,
     "another printer on USB port 1-2, plugged in first and named\n"
     "after this one; the log says if anything claims it",
     [](const char*) { second_printer = true; return DI_TAKEN; }},
    {"second-client", nullptr, SIM_GROUP_PRINTER,
     "another client opens the printer once fpusbd has published\nit at the start, and holds it",
     [](const char*) { second_client = true; return DI_TAKEN; }},
    {"rude-client", nullptr, SIM_GROUP_DRIVER,
     "before anyone else, a client sends fpusbd every kind of\n"
     "malformed request and checks that each fails",
     [](const char*) { rude_client = true; return DI_TAKEN; }},
    {"stall-at", "I", SIM_GROUP_PRINTER,
     "the first write of block I stalls the loader's OUT endpoint\ninstead of reaching the loader",
     [](const char* a) { return di_usable(parse_index(a, &stall_at)); }},
    {"short-at", "I", SIM_GROUP_PRINTER,
     "the first write of block I is taken only in half and never\n"
     "finished; fpusbd's write timeout (1000 ms here) ends it",
     [](const char* a) { return di_usable(parse_index(a, &short_at)); }},
    {"fpusbd-ids", "WHICH", SIM_GROUP_DRIVER,
     "what fpusbd is told to serve: 'both' IDs (the default),\n"
     "'firmware' (only the ID --list shows before an update) or\n"
     "'vendor' (--device VID)",
     [](const char* a) {
         ids_given = a;
         return di_usable(strcmp(a, "both") == 0 || strcmp(a, "firmware") == 0 ||
                          strcmp(a, "vendor") == 0);
     }},
    {"rebinding-driver", nullptr, SIM_GROUP_PRINTER,
     "the printer's kernel driver binds to its interface again\n"
     "whenever the interface is released",
     [](const char*) { rebinding_driver = true; return DI_TAKEN; }},
    {"other-holder", nullptr, SIM_GROUP_PRINTER,
     "another program has claimed the printer's interface, and\nkeeps it",
     [](const char*) { other_holder = true; return DI_TAKEN; }},
    {"access-denied", "MS", SIM_GROUP_PRINTER,
     "each device node of the printer refuses access for MS after\n"
     "it appears, until udev would have set its mode",
     [](const char* a) { return di_usable(parse_ms(a, &access_denied_ms)); }},
    {"slow-bus", "MS", SIM_GROUP_DRIVER,
     "once the update is done (--stop-when-done), every request\n"
     "is answered MS late and the device node polls ready, as a\n"
     "plain file's does; fpusbd is stopped while it waits",
     [](const char* a) { return di_usable(parse_ms(a, &slow_bus_ms)); }},
};
// clang-format on

// ---- the log ------------------------------------------------------------------------------

// ---- emulated devices ---------------------------------------------------------------------

// Everything below is shared by the main thread and umockdev's worker thread, under `lock`.
static std::mutex lock;

struct urb_slot {
    UMockdevIoctlData* urb; // the client's struct usbdevfs_urb, resolved
    UMockdevIoctlData* buf; // and its buffer
    gulong addr;            // where the client keeps it, as DISCARDURB names it
};

struct bed_device;

// One open file of a device node: URBs are reaped on the descriptor that submitted them.
struct bed_client {
    UMockdevIoctlClient* ioctl;
    bed_device* dev;
    bool claimed = false;
    int con = 0; // the model's connection while claimed
    bool after_exit = false;
    std::vector<urb_slot> pending;
    std::deque<urb_slot> done;
    bool connected = true;
};

struct bed_device {
    bool model; // served by the printer model; the second printer only takes and records
    std::string port;
    std::string syspath;
    std::string devnode;
    uint16_t pid;
    UMockdevIoctlBase* handler = nullptr;
    int fifo = -1;
    bool writable = false; // a page of the FIFO let out: libusb may reap
    bool gone = false;     // unplugged: requests fail with ENODEV
    bool removed = false;  // its uevent sent and its files gone
    bool driver_bound = true;
    bool other_holder = false;   // another program's claim on the interface
    bool always_ready = false;   // the node polls ready, as a plain file's does
    long long denied_until = -1; // the node refuses access until then (main thread's)
    unsigned halted = 0;         // OUT endpoints stalled, bit N for number N
    std::vector<bed_client*> clients;
};

static UMockdevTestbed* testbed = nullptr;
static std::string root_dir;
static std::vector<bed_device*> devices; // kept to the end: fpusbd may still hold their files
static bed_device* main_dev = nullptr;   // the printer model's device while it is plugged in
static int next_devnum = 2;
static int wake_fd = -1;  // the worker tells the main thread that something happened
static bool done = false; // the updated firmware was opened and closed
static bool stall_done = false;
static bool short_done = false;
static bool slow = false;         // the update is done and --slow-bus is on
static int held_requests = 0;     // requests the slow bus is sitting on
static bool bus_released = false; // fpusbd ended: the slow bus answers what it holds
static std::condition_variable slow_wait;

static void wake_main() {
    uint64_t one = 1;
    if (write(wake_fd, &one, sizeof(one)) < 0 && errno != EAGAIN)
        di_complain("cannot wake the main thread: %s", strerror(errno));
}

// The FIFO is full, and so not writable, unless some URB waits to be reaped.
static void update_fifo(bed_device* d) {
    bool want = d->always_ready;
    for (const bed_client* c : d->clients)
        want = want || !c->done.empty();
    if (want == d->writable || d->fifo < 0)
        return;
    char page[PAGE];
    memset(page, 0, sizeof(page));
    ssize_t n = want ? read(d->fifo, page, sizeof(page)) : write(d->fifo, page, sizeof(page));
    if (n != static_cast<ssize_t>(sizeof(page)))
        di_complain("%s: cannot %s a page of its FIFO", d->port.c_str(),
                    want ? "take" : "put back");
    d->writable = want;
}

static usbdevfs_urb* urb_of(const urb_slot& s) {
    return reinterpret_cast<usbdevfs_urb*>(s.urb->data);
}

static void finish(bed_client* c, size_t k, int status, int actual) {
    urb_slot s = c->pending[k];
    c->pending.erase(c->pending.begin() + static_cast<long>(k));
    urb_of(s)->status = status;
    urb_of(s)->actual_length = actual;
    c->done.push_back(s);
}

static bool is_in(const urb_slot& s) {
    return (urb_of(s)->endpoint & 0x80) != 0;
}

// Hands the model's pending bytes to the IN URBs waiting for them, oldest first.
static void feed_in(bed_client* c) {
    if (!c->dev->model || !c->claimed)
        return;
    for (size_t k = 0; k < c->pending.size();) {
        const urb_slot& s = c->pending[k];
        int ep = urb_of(s)->endpoint & 0x0F;
        uint32_t count = 0;
        uint32_t want = static_cast<uint32_t>(urb_of(s)->buffer_length);
        if (!is_in(s) || !sim_ioctl(c->con, DI_PIPE_SELECT | static_cast<uint32_t>(ep) << 2) ||
            !sim_read(c->con, s.buf->data, want, &count) || count == 0) {
            k++;
            continue;
        }
        finish(c, k, 0, static_cast<int>(count));
    }
}

// The model let go of the printer: it is unplugged at once, and the main thread tidies up.
static void unplug(bed_device* d) {
    d->gone = true;
    for (bed_client* c : d->clients) {
        while (!c->pending.empty())
            finish(c, 0, -ESHUTDOWN, 0);
        c->claimed = false;
    }
    update_fifo(d);
    if (d == main_dev)
        main_dev = nullptr;
    wake_main();
}

static void follow_model(bed_device* d) {
    sim_log_notes();
    if (d->model && !d->gone && !sim_is_present())
        unplug(d);
}

static bool block_due(const bed_client* c, int ep, long index, uint32_t len) {
    return index >= 0 && ep == LOADER_EP && len == BLOCK_BYTES &&
           sim_current_mode() == SIM_LOADER && c->claimed &&
           sim_rec.image.size() / BLOCK_BYTES == static_cast<size_t>(index);
}

// A bulk OUT URB: what the printer takes, unless a fault stops it on the way.
static void serve_out(bed_client* c, size_t k) {
    bed_device* d = c->dev;
    const urb_slot& s = c->pending[k];
    int ep = urb_of(s)->endpoint & 0x0F;
    uint32_t len = static_cast<uint32_t>(urb_of(s)->buffer_length);
    if (!d->model) {
        di_log("second printer: %u bytes written to 0x%02X", len, urb_of(s)->endpoint);
        finish(c, k, 0, static_cast<int>(len));
        return;
    }
    if ((d->halted >> ep) & 1u) {
        finish(c, k, -EPIPE, 0);
        return;
    }
    if (!stall_done && block_due(c, ep, stall_at, len)) {
        stall_done = true;
        d->halted |= 1u << ep;
        di_log("usb: block %ld stalls OUT 0x%02X", stall_at, urb_of(s)->endpoint);
        finish(c, k, -EPIPE, 0);
        return;
    }
    if ((urb_of(s)->flags & USBDEVFS_URB_ZERO_PACKET) != 0 && len > 0 && len % PACKET == 0)
        di_log("usb: OUT 0x%02X: %u bytes, then a zero-length packet", urb_of(s)->endpoint, len);
    uint32_t count = 0;
    bool select = sim_ioctl(c->con, DI_PIPE_SELECT | static_cast<uint32_t>(ep) << 2);
    if (!short_done && block_due(c, ep, short_at, len)) {
        // Half goes in, then the endpoint NAKs until the host gives up and discards the URB.
        short_done = true;
        uint32_t half = len / 2;
        if (select && sim_write(c->con, s.buf->data, half, &count))
            urb_of(s)->actual_length = static_cast<int>(count);
        di_log("usb: block %ld: %u of %u bytes taken, the rest never", short_at, count, len);
        return;
    }
    bool ok = select && sim_write(c->con, s.buf->data, len, &count);
    // A printer that went away in the middle fails as an unplugged device does.
    finish(c, k, ok ? 0 : sim_is_present() ? -EPROTO : -ESHUTDOWN, static_cast<int>(count));
}

static bed_client* client_of(bed_device* d, UMockdevIoctlClient* ioctl) {
    for (bed_client* c : d->clients)
        if (c->ioctl == ioctl && c->connected)
            return c;
    return nullptr;
}

// The model's open: the host claims the printer, or takes it up again after it let go.
static bool begin_session(bed_client* c) {
    int con = sim_open();
    sim_log_notes();
    if (con < 0)
        return false;
    c->con = con;
    c->after_exit = sim_current_mode() == SIM_APP && sim_rec.left_loader;
    return true;
}

// The model's close: the host let go of the printer.
static void end_session(bed_client* c) {
    if (c->con == 0)
        return;
    sim_close(c->con);
    c->con = 0;
    if (c->after_exit && cfg.run.stop_when_done) {
        done = true;
        if (slow_bus_ms > 0) {
            slow = true;
            for (bed_device* d : devices) {
                d->always_ready = true;
                update_fifo(d);
            }
        }
        wake_main();
    }
    follow_model(c->dev);
}

// The interface is let go: by RELEASEINTERFACE, or by the descriptor's closing.
static void release(bed_client* c) {
    if (!c->claimed)
        return;
    c->claimed = false;
    bed_device* d = c->dev;
    if (rebinding_driver && !d->driver_bound && !d->gone) {
        d->driver_bound = true;
        di_log("usb: %s: kernel driver bound again", d->port.c_str());
    }
    if (!d->model) {
        di_log("second printer: released");
        return;
    }
    di_log("usb: interface 0 of %s released", d->port.c_str());
    end_session(c);
}

static int claim(bed_client* c) {
    bed_device* d = c->dev;
    if (c->claimed)
        return 0;
    for (const bed_client* o : d->clients)
        if (o->claimed)
            return EBUSY;
    if (d->driver_bound || d->other_holder)
        return EBUSY;
    if (!d->model) {
        c->claimed = true;
        di_log("second printer: claimed");
        return 0;
    }
    if (!begin_session(c)) {
        di_log("usb: interface 0 of %s: busy", d->port.c_str());
        return EBUSY;
    }
    c->claimed = true;
    di_log("usb: interface 0 of %s claimed", d->port.c_str());
    // Bytes the printer held from before are there for the first IN URB.
    feed_in(c);
    return 0;
}

static const uint32_t CAPABILITIES = USBDEVFS_CAP_BULK_CONTINUATION |
                                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;

// Resolves the argument the request's size names; nullptr when the client's memory can't be
// read.
static UMockdevIoctlData* argument(UMockdevIoctlClient* client, size_t size) {
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
}

static void submit(bed_client* c, UMockdevIoctlClient* client) {
    bed_device* d = c->dev;
    UMockdevIoctlData* urb = argument(client, sizeof(usbdevfs_urb));
    if (urb == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb* u = reinterpret_cast<usbdevfs_urb*>(urb->data);
    if (u->type != USBDEVFS_URB_TYPE_BULK || u->buffer_length < 0 ||
        u->buffer_length > static_cast<int>(DI_TRANSFER_MAX)) {
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(
        urb, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), nullptr);
    if (buf == nullptr) {
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    if (d->gone || (d->model && c->claimed && c->con == 0 && !begin_session(c))) {
        g_object_unref(buf);
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, -1, d->gone ? ENODEV : EPROTO);
        return;
    }
    c->pending.push_back({urb, buf, urb->client_addr});
    if (!is_in(c->pending.back()))
        serve_out(c, c->pending.size() - 1);
    // What the write made the printer say, or what it held from before.
    feed_in(c);
    follow_model(d);
    update_fifo(d);
    umockdev_ioctl_client_complete(client, 0, 0);
}

static void reap(bed_client* c, UMockdevIoctlClient* client) {
    if (c->done.empty()) {
        umockdev_ioctl_client_complete(client, -1, c->dev->gone ? ENODEV : EAGAIN);
        return;
    }
    UMockdevIoctlData* ptr = argument(client, sizeof(void*));
    if (ptr == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    urb_slot s = c->done.front();
    c->done.pop_front();
    umockdev_ioctl_data_set_ptr(ptr, 0, s.urb);
    update_fifo(c->dev);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(s.buf);
    g_object_unref(s.urb);
}

static void discard(bed_client* c, UMockdevIoctlClient* client) {
    gulong addr = *reinterpret_cast<gulong*>(umockdev_ioctl_client_get_arg(client)->data);
    for (size_t k = 0; k < c->pending.size(); k++)
        if (c->pending[k].addr == addr) {
            // What a NAKing endpoint took before the discard still counts.
            finish(c, k, -ENOENT, urb_of(c->pending[k])->actual_length);
            update_fifo(c->dev);
            if (c->pending.empty() && c->dev->model)
                end_session(c);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

static int interface_request(bed_client* c, UMockdevIoctlClient* client, unsigned long request) {
    bed_device* d = c->dev;
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* a = argument(client, sizeof(unsigned));
        if (a == nullptr)
            return EFAULT;
        unsigned ifno = *reinterpret_cast<unsigned*>(a->data);
        g_object_unref(a);
        if (ifno != 0)
            return EINVAL;
        if (request == USBDEVFS_CLAIMINTERFACE)
            return claim(c);
        if (!c->claimed)
            return EINVAL;
        release(c);
        return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        UMockdevIoctlData* a = argument(client, sizeof(usbdevfs_disconnect_claim));
        if (a == nullptr)
            return EFAULT;
        usbdevfs_disconnect_claim dc = *reinterpret_cast<usbdevfs_disconnect_claim*>(a->data);
        g_object_unref(a);
        if (dc.interface != 0)
            return EINVAL;
        if (d->driver_bound) {
            d->driver_bound = false;
            di_log("usb: %s: kernel driver detached", d->port.c_str());
        }
        return claim(c);
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData* a = argument(client, sizeof(usbdevfs_getdriver));
        if (a == nullptr)
            return EFAULT;
        usbdevfs_getdriver* g = reinterpret_cast<usbdevfs_getdriver*>(a->data);
        int err = g->interface != 0 ? EINVAL : 0;
        if (err == 0 && d->driver_bound)
            snprintf(g->driver, sizeof(g->driver), "usblp");
        else if (err == 0 && (c->claimed || d->other_holder))
            snprintf(g->driver, sizeof(g->driver), "usbfs");
        else if (err == 0)
            err = ENODATA;
        g_object_unref(a);
        return err;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* a = argument(client, sizeof(usbdevfs_ioctl));
        if (a == nullptr)
            return EFAULT;
        usbdevfs_ioctl io = *reinterpret_cast<usbdevfs_ioctl*>(a->data);
        g_object_unref(a);
        if (io.ifno != 0)
            return EINVAL;
        if (static_cast<unsigned long>(io.ioctl_code) == USBDEVFS_DISCONNECT) {
            if (!d->driver_bound)
                return ENODATA;
            d->driver_bound = false;
            di_log("usb: %s: kernel driver detached", d->port.c_str());
            return 0;
        }
        if (static_cast<unsigned long>(io.ioctl_code) == USBDEVFS_CONNECT) {
            if (c->claimed)
                return EBUSY;
            if (d->driver_bound || d->other_holder)
                return 0;
            d->driver_bound = true;
            di_log("usb: %s: kernel driver bound again", d->port.c_str());
            return 0;
        }
        return ENOTTY;
    }
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* a = argument(client, sizeof(unsigned));
        if (a == nullptr)
            return EFAULT;
        unsigned ep = *reinterpret_cast<unsigned*>(a->data);
        g_object_unref(a);
        if ((ep & 0x80) == 0 && ((d->halted >> (ep & 0x0F)) & 1u)) {
            d->halted &= ~(1u << (ep & 0x0F));
            di_log("usb: halt of OUT 0x%02X cleared", ep);
        }
        return 0;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        return 0;
    default:
        return ENOTTY;
    }
}

static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    bed_device* d = static_cast<bed_device*>(data);
    std::unique_lock<std::mutex> hold(lock);
    if (slow && !bus_released) {
        held_requests++;
        bool ended = slow_wait.wait_for(hold, std::chrono::milliseconds(slow_bus_ms),
                                        [] { return bus_released; });
        held_requests--;
        if (ended) {
            // fpusbd is gone: nobody reads the answer. The client is kept to the end, as
            // umockdev would complain of one destroyed with its request open.
            g_object_ref(client);
            return TRUE;
        }
    }
    bed_client* c = client_of(d, client);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (c == nullptr) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_SUBMITURB:
        submit(c, client);
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(c, client);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        discard(c, client);
        return TRUE;
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* a = argument(client, sizeof(uint32_t));
        if (a == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        memcpy(a->data, &CAPABILITIES, sizeof(CAPABILITIES));
        g_object_unref(a);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    default:
        break;
    }
    int err = d->gone ? ENODEV : interface_request(c, client, request);
    umockdev_ioctl_client_complete(client, err == 0 ? 0 : -1, err);
    return TRUE;
}

static void on_disconnected(GObject* object, GParamSpec*, gpointer data) {
    bed_device* d = static_cast<bed_device*>(data);
    UMockdevIoctlClient* client = UMOCKDEV_IOCTL_CLIENT(object);
    if (umockdev_ioctl_client_get_connected(client))
        return;
    std::lock_guard<std::mutex> hold(lock);
    bed_client* c = client_of(d, client);
    if (c == nullptr || !c->connected)
        return;
    c->connected = false;
    release(c);
    for (const urb_slot& s : c->pending) {
        g_object_unref(s.buf);
        g_object_unref(s.urb);
    }
    for (const urb_slot& s : c->done) {
        g_object_unref(s.buf);
        g_object_unref(s.urb);
    }
    d->clients.erase(std::find(d->clients.begin(), d->clients.end(), c));
    delete c;
    update_fifo(d);
}

static void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    bed_device* d = static_cast<bed_device*>(data);
    {
        std::lock_guard<std::mutex> hold(lock);
        bed_client* c = new bed_client;
        c->ioctl = client;
        c->dev = d;
        d->clients.push_back(c);
    }
    g_signal_connect(client, "notify::connected", G_CALLBACK(on_disconnected), d);
}

// ---- the bus ------------------------------------------------------------------------------

static std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (uint8_t x : bytes) {
        snprintf(b, sizeof(b), "%02x", x);
        s += b;
    }
    return s;
}

// A device descriptor and one configuration: a printer interface with bulk endpoints
// 0x01/0x81 and 0x03/0x83 of 512 bytes.
static std::vector<uint8_t> printer_descriptors(uint16_t pid) {
    std::vector<uint8_t> d = {18,
                              1,
                              0x00,
                              0x02,
                              0,
                              0,
                              0,
                              64,
                              static_cast<uint8_t>(VID),
                              static_cast<uint8_t>(VID >> 8),
                              static_cast<uint8_t>(pid),
                              static_cast<uint8_t>(pid >> 8),
                              0x00,
                              0x01,
                              0,
                              0,
                              0,
                              1};
    std::vector<uint8_t> conf = {9, 2, 46, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 4, 7, 1, 2, 0};
    for (uint8_t ep : std::vector<uint8_t>{0x01, 0x81, 0x03, 0x83})
        conf.insert(conf.end(), {7, 5, ep, 2, 0x00, 0x02, 0});
    d.insert(d.end(), conf.begin(), conf.end());
    return d;
}

static std::vector<uint8_t> root_hub_descriptors() {
    return {18, 1, 0x00, 0x02, 9, 0,  1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x06, 0,
            0,  0, 1,    9,    2, 25, 0, 1,  1,    0,    0xE0, 0,    9,    4,    0,
            0,  1, 9,    0,    0, 0,  7, 5,  0x81, 3,    4,    0,    12};
}

static bool add_description(const std::string& path, int devnum, const std::vector<uint8_t>& desc) {
    char text[4096];
    snprintf(text, sizeof(text),
             "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/%03d\n"
             "E: BUSNUM=001\nE: DEVNUM=%03d\nA: busnum=1\\n\nA: devnum=%d\\n\n"
             "A: bConfigurationValue=1\\n\nA: speed=480\\n\nH: descriptors=%s\n",
             path.c_str(), devnum, devnum, devnum, hex(desc).c_str());
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text, &err)) {
        di_complain("cannot add %s: %s", path.c_str(), err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    return true;
}

// The device node is a FIFO we hold full (see the top of the file).
static int make_fifo(const std::string& devnode) {
    std::string path = root_dir + devnode;
    std::string dir = path.substr(0, path.rfind('/'));
    std::string sofar;
    for (size_t at = 0; at != std::string::npos;) {
        at = dir.find('/', at + 1);
        sofar = dir.substr(0, at);
        if (mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    if (mkfifo(path.c_str(), 0666) != 0)
        return -1;
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char page[PAGE];
    memset(page, 0, sizeof(page));
    while (write(fd, page, sizeof(page)) == static_cast<ssize_t>(sizeof(page)))
        ;
    return fd;
}

// Plugs a printer in: its node and handler first, so the "add" uevent finds everything.
static bed_device* plug(bool model, const std::string& port, uint16_t pid) {
    bed_device* d = new bed_device;
    d->model = model;
    d->port = port;
    d->pid = pid;
    d->syspath = "/sys/devices/usb1/" + port;
    int devnum = next_devnum++;
    char node[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", devnum);
    d->devnode = node;
    d->fifo = make_fifo(d->devnode);
    if (d->fifo < 0) {
        di_complain("cannot make the device node %s: %s", d->devnode.c_str(), strerror(errno));
        delete d;
        return nullptr;
    }
    d->other_holder = model && other_holder;
    d->driver_bound = !d->other_holder;
    if (model && access_denied_ms > 0) {
        if (chmod((root_dir + d->devnode).c_str(), 0) != 0) {
            di_complain("cannot deny access to %s: %s", d->devnode.c_str(), strerror(errno));
            close(d->fifo);
            delete d;
            return nullptr;
        }
        d->denied_until = di_now_ms() + access_denied_ms;
    }
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d);
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(on_connected), d);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, d->devnode.c_str(), d->handler, &err)) {
        di_complain("cannot serve %s: %s", d->devnode.c_str(), err ? err->message : "?");
        g_clear_error(&err);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        devices.push_back(d);
    }
    // Under the preload, adding it sends its "add" uevent.
    if (!add_description(d->syspath.substr(4), devnum, printer_descriptors(pid)))
        return nullptr;
    di_log("usb: %04x:%04x plugged in at %s (%s)", VID, pid, port.c_str(), node);
    return d;
}

// The main thread's half of an unplug: the uevent, then the device's files.
static void take_out(bed_device* d) {
    d->removed = true;
    umockdev_testbed_uevent(testbed, d->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, d->syspath.c_str());
    di_log("usb: %04x:%04x unplugged from %s", VID, d->pid, d->port.c_str());
}

static bool plug_main() {
    uint16_t pid = sim_current_mode() == SIM_APP ? PID_APP : PID_LOADER;
    bed_device* d = plug(true, "1-1", pid);
    if (d == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(lock);
    main_dev = d;
    return true;
}

// ---- fpusbd -------------------------------------------------------------------------------

static pid_t child = -1;
static int child_fd = -1; // a pidfd: readable once fpusbd has ended
static std::string child_ready;
static int child_status = 0;
static bool child_ended = false;

static std::string class_dir() {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0)
        return "";
    static const di_guid printer_class = DI_PRINTER_CLASS;
    char name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, name);
    return std::string(base) + "/" + name;
}

static std::string main_name() {
    return named ? cfg.run.name : "1-1";
}

static std::vector<std::string> fpusbd_args(const std::string& ready, const char* log, bool list) {
    std::vector<std::string> a = {fpusbd_path};
    if (list) {
        a.push_back("--list");
        return a;
    }
    bool vendor = strcmp(ids_given, "vendor") == 0;
    for (uint16_t pid : {PID_APP, PID_LOADER}) {
        if (pid == PID_LOADER && (vendor || strcmp(ids_given, "firmware") == 0))
            break;
        char id[16];
        snprintf(id, sizeof(id), vendor ? "%04x" : "%04x:%04x", VID, pid);
        a.insert(a.end(), {"--device", id});
    }
    if (named)
        a.insert(a.end(), {"--name", "1-1=" + cfg.run.name});
    if (named && second_printer)
        a.insert(a.end(), {"--name", "1-2=" + cfg.run.name + "-2"});
    if (short_at >= 0)
        a.insert(a.end(), {"--write-timeout", std::to_string(SHORT_TIMEOUT_MS)});
    if (bus_poll_ms > 0)
        a.insert(a.end(), {"--poll", std::to_string(bus_poll_ms)});
    a.insert(a.end(), {"--ready", ready});
    if (log != nullptr)
        a.insert(a.end(), {"--log", log});
    return a;
}

// Starts fpusbd, under the preload we run under; its output goes to `out_fd` when >= 0.
// Whether fpusbd can be made to meet a device node's mode: root reads any file unless its
// capabilities to override modes are taken away, for which it needs CAP_SETPCAP.
static bool modes_can_bind() {
    if (geteuid() != 0)
        return true;
    struct __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct caps[2] = {};
    return syscall(SYS_capget, &head, caps) == 0 && (caps[0].effective & (1u << CAP_SETPCAP)) != 0;
}

static pid_t spawn(const std::vector<std::string>& args, int out_fd, const sigset_t* mask,
                   bool bound_by_modes = false) {
    // Built before the fork: umockdev's threads may hold the allocator's lock at that moment.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    static const char FAILED[] = "fpusb-testbed: cannot run fpusbd\n";
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Should we die, fpusbd is told, and takes its sockets with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (bound_by_modes && geteuid() == 0) {
        // Out of the bounding set, so that fpusbd, root as it is, heeds the modes too.
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    }
    sigprocmask(SIG_SETMASK, mask, nullptr);
    if (out_fd >= 0)
        dup2(out_fd, STDOUT_FILENO);
    execv(argv[0], argv.data());
    ssize_t said = write(STDERR_FILENO, FAILED, sizeof(FAILED) - 1);
    (void)said;
    _exit(127);
}

// Whether umockdev works here at all: fpusbd --list under the preload must see the root hub.
static bool bus_works(const sigset_t* mask, std::string* why) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        *why = strerror(errno);
        return false;
    }
    pid_t pid = spawn(fpusbd_args("", nullptr, true), p[1], mask);
    close(p[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    for (size_t from = 0, nl; (nl = out.find('\n', from)) != std::string::npos; from = nl + 1)
        di_log("fpusbd --list: %s", out.substr(from, nl - from).c_str());
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 || out.find("\nusb1 ") == std::string::npos) {
        *why = "fpusbd --list under the preload did not see the emulated bus";
        return false;
    }
    return true;
}

static bool start_fpusbd(const sigset_t* mask) {
    child_ready = root_dir + "/fpusbd.ready";
    child = spawn(fpusbd_args(child_ready, cfg.run.log, false), -1, mask, access_denied_ms > 0);
    child_fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (child < 0 || child_fd < 0) {
        di_complain("cannot start %s: %s", fpusbd_path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

static bool reap_child(bool wait) {
    if (child_ended)
        return true;
    int st = 0;
    if (waitpid(child, &st, wait ? 0 : WNOHANG) != child)
        return false;
    child_ended = true;
    child_status = st;
    return true;
}

// Device nodes whose access is due back get the mode udev would give them; returns when the
// next one is due, or -1.
static long long restore_modes() {
    long long next = -1;
    for (bed_device* d : devices) {
        if (d->denied_until < 0)
            continue;
        if (di_now_ms() < d->denied_until) {
            next = next < 0 ? d->denied_until : std::min(next, d->denied_until);
            continue;
        }
        d->denied_until = -1;
        if (chmod((root_dir + d->devnode).c_str(), 0666) != 0)
            di_complain("cannot give access to %s: %s", d->devnode.c_str(), strerror(errno));
        else
            di_log("usb: %s open to its user", d->devnode.c_str());
    }
    return next;
}

// fpusbd is ready, and so is the printer if it is plugged in at the start: published.
static bool wait_for_fpusbd() {
    long long until = di_now_ms() + START_MS;
    struct stat st;
    std::string printer = main_dev != nullptr ? class_dir() + "/" + main_name() : "";
    while (di_now_ms() < until) {
        restore_modes();
        if (stat(child_ready.c_str(), &st) == 0 && st.st_size > 0 &&
            (printer.empty() || lstat(printer.c_str(), &st) == 0))
            return true;
        if (reap_child(false)) {
            di_complain("fpusbd ended before it served (status 0x%x)", child_status);
            return false;
        }
        usleep(10000);
    }
    di_complain("fpusbd did not get ready within %d ms", START_MS);
    return false;
}

// ---- other clients ------------------------------------------------------------------------

static int holder_fd = -1;

// A connection to the printer's interface, with a bound on every reply; -1 on failure.
static int connect_printer() {
    std::string path = class_dir() + "/" + main_name();
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        di_complain("%s: too long for a socket address", path.c_str());
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct timeval tv = {5, 0};
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
        di_complain("cannot connect to %s: %s", path.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// One request, as raw bytes, and its reply's status; -1 when the connection ended instead.
static int exchange(int fd, const std::vector<uint8_t>& req) {
    uint8_t reply[DI_PACKET_MAX];
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
        return -1;
    ssize_t n = recv(fd, reply, sizeof(reply), 0);
    return n >= static_cast<ssize_t>(DI_HEADER_SIZE) ? reply[0] : -1;
}

static bool hold_printer() {
    holder_fd = connect_printer();
    if (holder_fd < 0 ||
        exchange(holder_fd, di_test_request(DI_OP_OPEN, DI_ACCESS)) != DI_SUCCESS) {
        di_complain("the second client could not open the printer");
        return false;
    }
    di_log("second client: holds the printer");
    return true;
}

// The requests of tests/rude_client.h, each of which fpusbd must fail, or close the connection
// at.
static bool be_rude() {
    std::vector<rude_step> steps = rude_steps();
    int fd = connect_printer();
    if (fd < 0)
        return false;
    bool ok = true;
    size_t answered = 0;
    for (const auto& s : steps) {
        int got = exchange(fd, s.req);
        // A client that got it wrong may also be shown the door, as long as others are served.
        if (got < 0 && s.status == DI_FAILURE) {
            di_log("rude client: cut off after %s", s.what);
            break;
        }
        if (got != s.status) {
            di_complain("rude client: %s: answered %d, not %d", s.what, got, s.status);
            ok = false;
        }
        answered++;
    }
    close(fd);
    // Whatever it did, the printer must be free for the next client.
    fd = connect_printer();
    if (fd < 0 || exchange(fd, di_test_request(DI_OP_OPEN, DI_ACCESS)) != DI_SUCCESS) {
        di_complain("rude client: the printer could not be opened after it");
        ok = false;
    }
    if (fd >= 0)
        close(fd);
    di_log("rude client: %zu of %zu requests answered, %s", answered, steps.size(),
           ok ? "each as it should be" : "not all right");
    return ok;
}

// ---- the run ------------------------------------------------------------------------------

// Until a signal, the scenario's end, or fpusbd's; returns the exit status.
static int run(const sigset_t* wait_mask) {
    for (;;) {
        if (di_stop_signal() != 0) {
            di_log("stopped by signal %d", di_stop_signal());
            return DI_EXIT_OK;
        }
        bool back;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (done) {
                di_log("done: the updated firmware was opened and closed");
                return DI_EXIT_OK;
            }
            for (bed_device* d : devices)
                if (d->gone && !d->removed) {
                    take_out(d);
                    sim_went_away();
                }
            back = sim_comes_back();
        }
        if (back && !plug_main())
            return DI_EXIT_FAILED;
        if (sim_lifetime_over())
            return DI_EXIT_OK;
        long long wake = sim_next_due();
        long long restore = restore_modes();
        if (restore >= 0 && (wake < 0 || restore < wake))
            wake = restore;
        struct pollfd fds[2] = {{wake_fd, POLLIN, 0}, {child_fd, POLLIN, 0}};
        int r = di_poll(fds, 2, wake, wait_mask);
        if (r < 0 && errno != EINTR) {
            di_complain("poll: %s", strerror(errno));
            return DI_EXIT_FAILED;
        }
        if (r > 0 && fds[0].revents != 0) {
            uint64_t n;
            if (read(wake_fd, &n, sizeof(n)) < 0 && errno != EAGAIN)
                di_complain("wake: %s", strerror(errno));
        }
        if (r > 0 && fds[1].revents != 0 && reap_child(true)) {
            di_complain("fpusbd ended by itself (status 0x%x)", child_status);
            return DI_EXIT_FAILED;
        }
    }
}

// fpusbd is asked to stop, and its sockets must go with it; the worker serves it meanwhile.
// On a slow bus the signal comes while fpusbd sits in a request, as it did on another
// emulation whose device node always polled ready.
static bool stop_fpusbd() {
    if (child <= 0 || child_ended)
        return child_ended && WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0;
    {
        std::unique_lock<std::mutex> hold(lock);
        if (slow) {
            long long until = di_now_ms() + SHORT_TIMEOUT_MS;
            while (held_requests == 0 && di_now_ms() < until) {
                hold.unlock();
                usleep(10000);
                hold.lock();
            }
            di_log(held_requests > 0 ? "slow bus: fpusbd waits on a request"
                                     : "slow bus: fpusbd made no request");
        }
    }
    long long asked = di_now_ms();
    kill(child, SIGTERM);
    struct pollfd pfd = {child_fd, POLLIN, 0};
    if (poll(&pfd, 1, STOP_MS) <= 0) {
        di_complain("fpusbd did not stop within %d ms", STOP_MS);
        kill(child, SIGKILL);
    }
    reap_child(true);
    di_log("fpusbd ended %lld ms after SIGTERM", di_now_ms() - asked);
    {
        std::lock_guard<std::mutex> hold(lock);
        bus_released = true;
        slow_wait.notify_all();
    }
    if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) {
        di_complain("fpusbd ended with status 0x%x", child_status);
        return false;
    }
    return true;
}

// umockdev sends uevents through libudev, which must see the testbed's sysfs: we run under
// the preload ourselves, as fpusbd does. Returns only when that cannot be.
static void run_under_preload(char** argv) {
    static const char MARK[] = "FPUSB_TESTBED_PRELOADED";
    if (dlopen(PRELOAD, RTLD_LAZY | RTLD_NOLOAD) != nullptr)
        return;
    if (getenv(MARK) != nullptr) {
        di_complain("umockdev cannot run here: %s does not load", PRELOAD);
        exit(EXIT_SKIP);
    }
    std::string preload = PRELOAD;
    const char* old = getenv("LD_PRELOAD");
    if (old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(MARK, "1", 1);
    execv("/proc/self/exe", argv);
    di_complain("umockdev cannot run here: cannot restart under %s: %s", PRELOAD, strerror(errno));
    exit(EXIT_SKIP);
}

int main(int argc, char** argv) {
    di_start("fpusb-testbed", false);
    run_under_preload(argv);
    for (int i = 1; i < argc; i++)
        named = named || strcmp(argv[i], "--name") == 0 || strncmp(argv[i], "--name=", 7) == 0;
    int status = sim_parse_command_line(argc, argv, "fpusb-testbed", INTRO, &cfg, extra_options);
    if (status >= 0)
        return status;
    if (cfg.run.tcp_port || cfg.run.cut_read) {
        di_complain("--tcp and --cut-read are fpsim's own; the emulated bus has no such thing");
        return DI_EXIT_USAGE;
    }
    if (named && second_printer && cfg.run.name.size() + 2 > 255) {
        di_complain("--name is too long for the second printer's name");
        return DI_EXIT_USAGE;
    }
    if (slow_bus_ms > 0 && !cfg.run.stop_when_done) {
        di_complain("--slow-bus starts when the update is done: it needs --stop-when-done");
        return DI_EXIT_USAGE;
    }
    if (access_denied_ms > 0 && !modes_can_bind()) {
        di_complain("umockdev cannot run here: --access-denied needs CAP_SETPCAP to make the root "
                    "fpusbd heed a device node's mode");
        return EXIT_SKIP;
    }

    // umockdev's worker thread starts with the testbed and must inherit the block.
    di_signals signals;
    di_take_signals(cfg.run.hold, &signals);
    // Appended to, by fpusbd too, so every line lands whole and in order.
    if (cfg.run.log != nullptr && !di_log_open(cfg.run.log, true))
        return DI_EXIT_FAILED;
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    testbed = umockdev_testbed_new();
    if (testbed == nullptr || wake_fd < 0) {
        di_complain("umockdev cannot run here: no testbed");
        return EXIT_SKIP;
    }
    char* root = umockdev_testbed_get_root_dir(testbed);
    root_dir = root;
    g_free(root);

    sim_driver_start(cfg);
    sim_log_notes();

    status = DI_EXIT_FAILED;
    std::string why;
    // Whether umockdev works at all is known once fpusbd --list has looked at the bus.
    bool plugged = add_description("/devices/usb1", 1, root_hub_descriptors()) &&
                   (!second_printer || plug(false, "1-2", PID_SECOND) != nullptr) &&
                   (!sim_is_present() || plug_main());
    if (!bus_works(&signals.before, &why)) {
        di_complain("umockdev cannot run here: %s", why.c_str());
        status = EXIT_SKIP;
    } else if (plugged && start_fpusbd(&signals.before) && wait_for_fpusbd() &&
               (!rude_client || main_dev == nullptr || be_rude()) &&
               (!second_client || main_dev == nullptr || hold_printer()) &&
               (cfg.run.ready == nullptr ||
                di_write_ready(cfg.run.ready, " " + class_dir() + "/" + main_name()))) {
        status = run(&signals.wait);
    }
    if (holder_fd >= 0)
        close(holder_fd);
    if (!stop_fpusbd() && status == DI_EXIT_OK)
        status = DI_EXIT_FAILED;
    {
        std::lock_guard<std::mutex> hold(lock);
        sim_log_notes();
    }
    sim_save_image(cfg.run.save);
    // Removes the testbed's directory; the worker thread goes with it.
    g_object_unref(testbed);
    di_log_close();
    return status;
}
