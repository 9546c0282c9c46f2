// The usbdevfs emulation: every ioctl fpusbd makes on a printer's device node comes here, to a
// handler on umockdev's worker thread that plays the USB device from the model in sim/.
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
#include <cstdio>
#include <cstring>
#include <deque>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "di/kit.h"
#include "sim/driver.h"
#include "tests/usbd/testbed.h"

static const uint32_t BLOCK_BYTES = 528;
static const int LOADER_EP = 3;

bed_shared bed;

struct urb_slot {
    UMockdevIoctlData* urb; // the client's struct usbdevfs_urb, resolved
    UMockdevIoctlData* buf; // and its buffer
    gulong addr;            // where the client keeps it, as DISCARDURB names it
};

// One open file of a device node: URBs are reaped on the descriptor that submitted them.
struct bed_client {
    UMockdevIoctlClient* ioctl;
    bed_device* dev;
    bool claimed = false;
    sim_session session; // while claimed
    std::vector<urb_slot> pending;
    std::deque<urb_slot> done;
    bool connected = true;
    int link = -1; // an attached printer's connection to its fpsim, while claimed
};

static bool stall_done = false;
static bool short_done = false;
static bool failing_done = false;

static void wake_main() {
    uint64_t one = 1;
    if (write(bed.wake_fd, &one, sizeof(one)) < 0 && errno != EAGAIN)
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

// ---- the printer behind a device: the model, or an attached fpsim ---------------------------

// One request to an attached printer's fpsim: whether it succeeded, its count in `*count`
// and a READ's bytes in `in`. A connection that breaks is the printer gone.
static bool link_request(bed_client* c, uint8_t op, uint32_t value, const uint8_t* out, uint8_t* in,
                         uint32_t* count) {
    uint8_t packet[DI_PACKET_MAX], reply[DI_PACKET_MAX];
    size_t len = DI_HEADER_SIZE + (op == DI_OP_WRITE ? value : 0);
    di_header(packet, op, value);
    if (len > DI_HEADER_SIZE)
        memcpy(packet + DI_HEADER_SIZE, out, value);
    ssize_t n = -1;
    if (c->link >= 0 && send(c->link, packet, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len))
        n = recv(c->link, reply, sizeof(reply), 0);
    if (n < static_cast<ssize_t>(DI_HEADER_SIZE)) {
        c->dev->link_lost = true;
        return false;
    }
    *count = di_get_u32(reply + 1);
    if (in != nullptr) {
        // A READ's bytes: as many as came, and no more than it asked for.
        *count = std::min({*count, value, static_cast<uint32_t>(n) - DI_HEADER_SIZE});
        memcpy(in, reply + DI_HEADER_SIZE, *count);
    }
    return reply[0] == DI_SUCCESS;
}

static bool side_open(bed_client* c) {
    if (c->dev->attached.empty())
        return sim_session_open(&c->session);
    uint32_t count = 0;
    c->link = connect_socket(c->dev->attached);
    c->dev->link_lost = c->link < 0;
    if (c->link >= 0 && link_request(c, DI_OP_OPEN, DI_ACCESS, nullptr, nullptr, &count))
        return true;
    if (c->link >= 0)
        close(c->link);
    c->link = -1;
    return false;
}

static bool side_is_open(const bed_client* c) {
    return c->dev->attached.empty() ? c->session.con != 0 : c->link >= 0;
}

static bool side_present(const bed_device* d) {
    return d->attached.empty() ? sim_is_present() : !d->link_lost;
}

static bool side_select(bed_client* c, int ep) {
    uint32_t code = DI_PIPE_SELECT | static_cast<uint32_t>(ep) << 2, count = 0;
    return c->dev->attached.empty() ? sim_ioctl(c->session.con, code)
                                    : link_request(c, DI_OP_IOCTL, code, nullptr, nullptr, &count);
}

static bool side_read(bed_client* c, uint8_t* buf, uint32_t want, uint32_t* count) {
    return c->dev->attached.empty() ? sim_read(c->session.con, buf, want, count)
                                    : link_request(c, DI_OP_READ, want, nullptr, buf, count);
}

static bool side_write(bed_client* c, const uint8_t* buf, uint32_t len, uint32_t* count) {
    return c->dev->attached.empty() ? sim_write(c->session.con, buf, len, count)
                                    : link_request(c, DI_OP_WRITE, len, buf, nullptr, count);
}

static usbdevfs_urb* urb_of(const urb_slot& s) {
    return reinterpret_cast<usbdevfs_urb*>(s.urb->data);
}

static void unref(const urb_slot& s) {
    g_object_unref(s.buf);
    g_object_unref(s.urb);
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
        if (!is_in(s) || !side_select(c, ep) || !side_read(c, s.buf->data, want, &count) ||
            count == 0) {
            k++;
            continue;
        }
        finish(c, k, 0, static_cast<int>(count));
    }
}

// The model let go of the printer: it is unplugged at once, and the main thread tidies up.
void device_unplug(bed_device* d) {
    d->gone = true;
    for (bed_client* c : d->clients) {
        while (!c->pending.empty())
            finish(c, 0, -ESHUTDOWN, 0);
        c->claimed = false;
        if (c->link >= 0)
            close(c->link);
        c->link = -1;
    }
    update_fifo(d);
    if (d == bed.main_dev)
        bed.main_dev = nullptr;
    wake_main();
}

static void follow_model(bed_device* d) {
    sim_log_notes();
    if (d->model && !d->gone && !side_present(d))
        device_unplug(d);
}

static bool block_due(const bed_client* c, int ep, long index, uint32_t len) {
    return index >= 0 && ep == LOADER_EP && len == BLOCK_BYTES && c->dev->attached.empty() &&
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
        di_log("%s: %u bytes written to 0x%02X", d->what, len, urb_of(s)->endpoint);
        finish(c, k, 0, static_cast<int>(len));
        return;
    }
    if ((d->halted >> ep) & 1u) {
        finish(c, k, -EPIPE, 0);
        return;
    }
    if (!stall_done && block_due(c, ep, faults.stall_at, len)) {
        stall_done = true;
        d->halted |= 1u << ep;
        di_log("usb: block %ld stalls OUT 0x%02X", faults.stall_at, urb_of(s)->endpoint);
        finish(c, k, -EPIPE, 0);
        return;
    }
    if (!failing_done && block_due(c, ep, faults.node_fails_at, len)) {
        failing_done = d->failing = true;
        di_log("usb: block %ld: the device node of %s answers no reap from now on",
               faults.node_fails_at, d->port.c_str());
    }
    if ((urb_of(s)->flags & USBDEVFS_URB_ZERO_PACKET) != 0 && len > 0 && len % PACKET == 0)
        di_log("usb: OUT 0x%02X: %u bytes, then a zero-length packet", urb_of(s)->endpoint, len);
    uint32_t count = 0;
    bool select = side_select(c, ep);
    if (!short_done && block_due(c, ep, faults.short_at, len)) {
        // Half goes in, then the endpoint NAKs until the host gives up and discards the URB.
        short_done = true;
        uint32_t half = len / 2;
        if (select && side_write(c, s.buf->data, half, &count))
            urb_of(s)->actual_length = static_cast<int>(count);
        di_log("usb: block %ld: %u of %u bytes taken, the rest never", faults.short_at, count, len);
        return;
    }
    bool ok = select && side_write(c, s.buf->data, len, &count);
    // A printer that went away in the middle fails as an unplugged device does.
    finish(c, k, ok ? 0 : side_present(d) ? -EPROTO : -ESHUTDOWN, static_cast<int>(count));
}

static bed_client* client_of(bed_device* d, UMockdevIoctlClient* ioctl) {
    for (bed_client* c : d->clients)
        if (c->ioctl == ioctl && c->connected)
            return c;
    return nullptr;
}

// The model's open: the host claims the printer, or takes it up again after it let go.
static bool begin_session(bed_client* c) {
    bool open = side_open(c);
    sim_log_notes();
    return open;
}

// The model's close: the host let go of the printer.
static void end_session(bed_client* c) {
    if (c->link >= 0) {
        close(c->link);
        c->link = -1;
        return;
    }
    if (c->session.con == 0)
        return;
    if (sim_session_close(&c->session)) {
        bed.done = true;
        bed.done_ms = di_now_ms();
        if (faults.slow_bus_ms > 0) {
            bed.slow = true;
            for (bed_device* d : bed.devices) {
                d->always_ready = true;
                update_fifo(d);
            }
        }
        wake_main();
    }
    follow_model(c->dev);
}

static void detach(bed_device* d) {
    d->driver_bound = false;
    di_log("usb: %s: kernel driver detached", d->port.c_str());
}

static void bind_again(bed_device* d) {
    d->driver_bound = true;
    di_log("usb: %s: kernel driver bound again", d->port.c_str());
    wake_main();
}

// The interface is let go: by RELEASEINTERFACE, or by the descriptor's closing.
static void release(bed_client* c) {
    if (!c->claimed)
        return;
    c->claimed = false;
    bed_device* d = c->dev;
    if (faults.rebinding_driver && !d->driver_bound && !d->gone)
        bind_again(d);
    if (!d->model) {
        di_log("%s: released", d->what);
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
        di_log("%s: claimed", d->what);
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

// The request's argument, copied out; false when the client's memory can't be read.
template <typename T>
static bool read_argument(UMockdevIoctlClient* client, T* out) {
    UMockdevIoctlData* a = argument(client, sizeof(T));
    if (a == nullptr)
        return false;
    memcpy(out, a->data, sizeof(T));
    g_object_unref(a);
    return true;
}

static int submit(bed_client* c, UMockdevIoctlClient* client) {
    bed_device* d = c->dev;
    UMockdevIoctlData* urb = argument(client, sizeof(usbdevfs_urb));
    if (urb == nullptr)
        return EFAULT;
    usbdevfs_urb* u = reinterpret_cast<usbdevfs_urb*>(urb->data);
    if (u->type != USBDEVFS_URB_TYPE_BULK || u->buffer_length < 0 ||
        u->buffer_length > static_cast<int>(DI_TRANSFER_MAX)) {
        g_object_unref(urb);
        return EINVAL;
    }
    UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(
        urb, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), nullptr);
    if (buf == nullptr) {
        g_object_unref(urb);
        return EFAULT;
    }
    if (d->gone || (d->model && c->claimed && !side_is_open(c) && !begin_session(c))) {
        g_object_unref(buf);
        g_object_unref(urb);
        return d->gone ? ENODEV : EPROTO;
    }
    c->pending.push_back({urb, buf, urb->client_addr});
    if (!is_in(c->pending.back()))
        serve_out(c, c->pending.size() - 1);
    // What the write made the printer say, or what it held from before.
    feed_in(c);
    follow_model(d);
    update_fifo(d);
    return 0;
}

static void reap(bed_client* c, UMockdevIoctlClient* client) {
    if (c->dev->failing) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return;
    }
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
    unref(s);
}

static int discard(bed_client* c, UMockdevIoctlClient* client) {
    gulong addr = *reinterpret_cast<gulong*>(umockdev_ioctl_client_get_arg(client)->data);
    for (size_t k = 0; k < c->pending.size(); k++)
        if (c->pending[k].addr == addr) {
            // What a NAKing endpoint took before the discard still counts.
            finish(c, k, -ENOENT, urb_of(c->pending[k])->actual_length);
            update_fifo(c->dev);
            if (c->pending.empty() && c->dev->model)
                end_session(c);
            return 0;
        }
    return EINVAL;
}

static int interface_request(bed_client* c, UMockdevIoctlClient* client, unsigned long request) {
    bed_device* d = c->dev;
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned ifno = 0;
        if (!read_argument(client, &ifno))
            return EFAULT;
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
        usbdevfs_disconnect_claim dc;
        if (!read_argument(client, &dc))
            return EFAULT;
        if (dc.interface != 0)
            return EINVAL;
        if (d->driver_bound)
            detach(d);
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
        usbdevfs_ioctl io;
        if (!read_argument(client, &io))
            return EFAULT;
        if (io.ifno != 0)
            return EINVAL;
        if (static_cast<unsigned long>(io.ioctl_code) == USBDEVFS_DISCONNECT) {
            if (!d->driver_bound)
                return ENODATA;
            detach(d);
            return 0;
        }
        if (static_cast<unsigned long>(io.ioctl_code) == USBDEVFS_CONNECT) {
            if (c->claimed)
                return EBUSY;
            if (!d->driver_bound && !d->other_holder)
                bind_again(d);
            return 0;
        }
        return ENOTTY;
    }
    case USBDEVFS_CLEAR_HALT: {
        unsigned ep = 0;
        if (!read_argument(client, &ep))
            return EFAULT;
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

// A CLEAR_HALT answered --slow-clear-halt late, umockdev's thread free meanwhile.
struct late_clear {
    bed_device* d;
    UMockdevIoctlClient* client;
};

static gboolean clear_late(gpointer data) {
    late_clear* l = static_cast<late_clear*>(data);
    {
        std::lock_guard<std::mutex> hold(bed.lock);
        bed_client* c = client_of(l->d, l->client);
        int err = c == nullptr || l->d->gone ? ENODEV
                                             : interface_request(c, l->client, USBDEVFS_CLEAR_HALT);
        umockdev_ioctl_client_complete(l->client, err == 0 ? 0 : -1, err);
    }
    g_object_unref(l->client);
    delete l;
    return G_SOURCE_REMOVE;
}

static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    bed_device* d = static_cast<bed_device*>(data);
    std::unique_lock<std::mutex> hold(bed.lock);
    if (bed.slow && !bed.bus_released) {
        bed.held_requests++;
        bool ended = bed.slow_wait.wait_for(hold, std::chrono::milliseconds(faults.slow_bus_ms),
                                            [] { return bed.bus_released; });
        bed.held_requests--;
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
    int err = 0;
    switch (request) {
    case USBDEVFS_SUBMITURB:
        err = submit(c, client);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        // Completes by itself: the URB it hands back is let go of only after that.
        reap(c, client);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        err = discard(c, client);
        break;
    case USBDEVFS_CLEAR_HALT:
        if (faults.slow_clear_ms > 0 && !d->gone) {
            GSource* later = g_timeout_source_new(static_cast<guint>(faults.slow_clear_ms));
            g_source_set_callback(later, clear_late,
                                  new late_clear{d, UMOCKDEV_IOCTL_CLIENT(g_object_ref(client))},
                                  nullptr);
            g_source_attach(later, g_main_context_get_thread_default());
            g_source_unref(later);
            return TRUE;
        }
        err = d->gone ? ENODEV : interface_request(c, client, request);
        break;
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* a = argument(client, sizeof(uint32_t));
        if (a == nullptr) {
            err = EFAULT;
            break;
        }
        memcpy(a->data, &CAPABILITIES, sizeof(CAPABILITIES));
        g_object_unref(a);
        break;
    }
    default:
        err = d->gone ? ENODEV : interface_request(c, client, request);
    }
    umockdev_ioctl_client_complete(client, err == 0 ? 0 : -1, err);
    return TRUE;
}

static void on_disconnected(GObject* object, GParamSpec*, gpointer data) {
    bed_device* d = static_cast<bed_device*>(data);
    UMockdevIoctlClient* client = UMOCKDEV_IOCTL_CLIENT(object);
    if (umockdev_ioctl_client_get_connected(client))
        return;
    std::lock_guard<std::mutex> hold(bed.lock);
    bed_client* c = client_of(d, client);
    if (c == nullptr || !c->connected)
        return;
    c->connected = false;
    release(c);
    std::for_each(c->pending.begin(), c->pending.end(), unref);
    std::for_each(c->done.begin(), c->done.end(), unref);
    d->clients.erase(std::find(d->clients.begin(), d->clients.end(), c));
    delete c;
    update_fifo(d);
}

static void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    bed_device* d = static_cast<bed_device*>(data);
    {
        std::lock_guard<std::mutex> hold(bed.lock);
        bed_client* c = new bed_client;
        c->ioctl = client;
        c->dev = d;
        d->clients.push_back(c);
    }
    g_signal_connect(client, "notify::connected", G_CALLBACK(on_disconnected), d);
}

void device_serve(bed_device* d) {
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d);
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(on_connected), d);
}
