// One printer's USB device: the endpoints of its interface, the claim and its release, and
// every transfer, from its allocation to its free, stalls included. A READ is answered from
// what the printer has already sent, so one bulk IN transfer stays pending on every IN
// endpoint in use while a client holds the printer; a WRITE is one bulk OUT transfer,
// answered when it comes back. libusb calls back only from inside the loop's event handling,
// and the callbacks do no more than note results.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "di/trace.h"
#include "usbd/fpusbd.h"

static const int ENDPOINTS = 16;
static const int IN_PACKET_DEFAULT = 64;

// One IN endpoint: its buffered bytes and the transfer that fills them. Each transfer asks
// for one packet, so a reply that ends on a packet boundary still comes at once.
struct in_endpoint {
    printer* owner = nullptr;
    uint8_t address = 0;
    int packet = IN_PACKET_DEFAULT;
    libusb_transfer* t = nullptr;
    bool busy = false;    // submitted and not called back yet
    bool failed = false;  // ended in an error that the next READ with nothing buffered reports
    bool stalled = false; // its halt still to be cleared, outside the callback
    usbd_fifo fifo;
};

struct printer {
    const usbd_config* cfg = nullptr;
    std::string port;
    usbd_id id = {0, 0};
    libusb_device* dev = nullptr;
    libusb_device_handle* handle = nullptr;
    usbd_shape shape;
    int out_packet[ENDPOINTS] = {};
    in_endpoint in[ENDPOINTS];
    libusb_transfer* out = nullptr;
    bool out_busy = false;
    bool out_done = false; // called back, the reply still to send
    int out_client = 0;
    uint32_t out_len = 0;
    bool out_cut = false; // a WRITE failed as the device went
    bool claimed = false; // the interface, ours on `handle`
    // Claimed once: from then on every device at the printer's place is claimed at once, so
    // that the kernel's driver stays off the printer for the whole update.
    bool updating = false;
    bool said_refused = false;   // a refused claim said on stderr; said again after a good one
    int holder = 0;              // the client whose OPEN holds the printer, 0 when none
    long long cancelled_ms = -1; // transfers cancelled and not all back yet; -1 when none
};

void usbd_usb_error(const char* where, const char* what, int err, bool warn) {
    if (warn)
        di_warn("%s: %s: %s", where != nullptr ? where : "usb", what, libusb_error_name(err));
    else
        di_log("%s: %s: %s", where != nullptr ? where : "usb", what, libusb_error_name(err));
}

printer* usbd_dev_new(libusb_device* dev, const std::string& port, usbd_id id,
                      const usbd_config& c) {
    libusb_config_descriptor* conf = nullptr;
    int r = libusb_get_active_config_descriptor(dev, &conf);
    if (r != 0) {
        di_warn("%s: the configuration of %04x:%04x cannot be read (%s); not served", port.c_str(),
                id.vid, id.pid, libusb_error_name(r));
        return nullptr;
    }
    printer* p = new printer;
    p->cfg = &c;
    p->port = port;
    p->id = id;
    bool found = false;
    // The bulk endpoints of the configured interface, alternate setting 0.
    for (int k = 0; k < conf->bNumInterfaces; k++) {
        const libusb_interface& itf = conf->interface[k];
        if (itf.num_altsetting < 1 || itf.altsetting[0].bInterfaceNumber != c.interface)
            continue;
        found = true;
        const libusb_interface_descriptor& alt = itf.altsetting[0];
        for (int j = 0; j < alt.bNumEndpoints; j++) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[j];
            if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            int n = ep.bEndpointAddress & 0x0F;
            int size = ep.wMaxPacketSize & 0x7FF;
            if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) == 0) {
                p->shape.out = static_cast<uint16_t>(p->shape.out | 1u << n);
                p->out_packet[n] = size;
                continue;
            }
            in_endpoint& e = p->in[n];
            p->shape.in = static_cast<uint16_t>(p->shape.in | 1u << n);
            e.address = ep.bEndpointAddress;
            e.packet =
                size > 0 && size <= static_cast<int>(DI_TRANSFER_MAX) ? size : IN_PACKET_DEFAULT;
        }
    }
    libusb_free_config_descriptor(conf);
    if (!found) {
        di_warn("%s (%04x:%04x) has no interface %d; fpusbd --list shows its interfaces",
                port.c_str(), id.vid, id.pid, c.interface);
        delete p;
        return nullptr;
    }
    for (in_endpoint& e : p->in)
        e.owner = p;
    p->dev = libusb_ref_device(dev);
    return p;
}

static libusb_transfer* new_transfer(size_t size) {
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr)
        return nullptr;
    // Zeroed: an emulated bus (the tests' umockdev) copies an IN buffer before it is filled.
    t->buffer = static_cast<unsigned char*>(calloc(1, size));
    if (t->buffer == nullptr) {
        libusb_free_transfer(t);
        return nullptr;
    }
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    return t;
}

int usbd_dev_open(printer* p) {
    int r = libusb_open(p->dev, &p->handle);
    if (r != 0) {
        p->handle = nullptr;
        if (r != LIBUSB_ERROR_ACCESS)
            di_warn("cannot open the printer at USB port %s (%04x:%04x): %s", p->port.c_str(),
                    p->id.vid, p->id.pid, libusb_error_name(r));
        return r;
    }
    // A printer class driver may have bound it; libusb detaches it at the claim and attaches
    // it again at the release.
    libusb_set_auto_detach_kernel_driver(p->handle, 1);
    bool ok = (p->out = new_transfer(DI_TRANSFER_MAX)) != nullptr;
    for (in_endpoint& e : p->in)
        if (ok && e.address != 0)
            ok = (e.t = new_transfer(static_cast<size_t>(e.packet))) != nullptr;
    if (!ok) {
        di_warn("%s: out of memory", p->port.c_str());
        return LIBUSB_ERROR_NO_MEM;
    }
    return 0;
}

void usbd_dev_free(printer* p) {
    for (in_endpoint& e : p->in)
        if (e.t != nullptr)
            libusb_free_transfer(e.t); // frees the buffer too
    if (p->out != nullptr)
        libusb_free_transfer(p->out);
    if (p->handle != nullptr)
        libusb_close(p->handle);
    libusb_unref_device(p->dev);
    delete p;
}

libusb_device* usbd_dev_device(const printer* p) {
    return p->dev;
}

const std::string& usbd_dev_port(const printer* p) {
    return p->port;
}

usbd_id usbd_dev_id(const printer* p) {
    return p->id;
}

const usbd_shape& usbd_dev_shape(const printer* p) {
    return p->shape;
}

bool usbd_dev_updating(const printer* p) {
    return p->updating;
}

bool usbd_dev_claim(printer* p) {
    if (p->claimed)
        return true;
    int interface = p->cfg->interface;
    int r = libusb_claim_interface(p->handle, interface);
    if (r == 0) {
        p->claimed = true;
        p->updating = true;
        p->said_refused = false;
        di_log("%s: interface %d claimed for the update", p->port.c_str(), interface);
        return true;
    }
    if (p->said_refused) {
        usbd_usb_error(p->port.c_str(), "claim interface", r, false);
        return false;
    }
    p->said_refused = true;
    if (r == LIBUSB_ERROR_BUSY)
        di_warn("the printer at USB port %s (%04x:%04x) is held by another program, so fpflash "
                "cannot open it: another process or a kernel driver that cannot be detached "
                "has claimed its interface %d. Stop that program (a print spooler, a "
                "point-of-sale service, another fpusbd) or unplug and replug the printer, then "
                "run fpflash again",
                p->port.c_str(), p->id.vid, p->id.pid, interface);
    else
        di_warn("%s: interface %d of %04x:%04x cannot be claimed (%s), so fpflash cannot open "
                "the printer",
                p->port.c_str(), interface, p->id.vid, p->id.pid, libusb_error_name(r));
    return false;
}

// ---- transfers ----------------------------------------------------------------------------

static bool busy(const printer* p) {
    return p->out_busy || std::any_of(std::begin(p->in), std::end(p->in),
                                      [](const in_endpoint& e) { return e.busy; });
}

// A transfer came back: once all that were cancelled are, nothing is overdue.
static void came_back(printer* p) {
    if (!busy(p))
        p->cancelled_ms = -1;
}

static void in_refill(in_endpoint* e);

static void LIBUSB_CALL in_done(libusb_transfer* t) {
    in_endpoint* e = static_cast<in_endpoint*>(t->user_data);
    printer* p = e->owner;
    e->busy = false;
    if (t->actual_length > 0)
        di_trace("bulk in 0x%02x %d %s", e->address, t->actual_length,
                 di_hex(t->buffer, static_cast<size_t>(t->actual_length)).c_str());
    if (t->status != LIBUSB_TRANSFER_COMPLETED && t->status != LIBUSB_TRANSFER_CANCELLED)
        di_trace("bulk in 0x%02x error %s", e->address, libusb_error_name(t->status));
    // Also a cancelled transfer may have carried bytes; they were sent, so they are kept.
    if (t->actual_length > 0 &&
        !usbd_fifo_put(&e->fifo, t->buffer, static_cast<size_t>(t->actual_length)))
        di_warn("%s: IN 0x%02X: %d bytes lost", p->port.c_str(), e->address, t->actual_length);
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        in_refill(e);
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_STALL:
        e->stalled = true;
        e->failed = true;
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        // It left: re-enumerating, most likely; the bus says what became of it.
        di_log("%s: IN 0x%02X: %s", p->port.c_str(), e->address, libusb_error_name(t->status));
        e->failed = true;
        break;
    default:
        di_warn("%s: IN 0x%02X: %s", p->port.c_str(), e->address, libusb_error_name(t->status));
        e->failed = true;
        break;
    }
    came_back(p);
}

// Keeps one transfer pending, as long as a client holds the printer and its whole length fits.
static void in_refill(in_endpoint* e) {
    printer* p = e->owner;
    if (e->busy || e->failed || e->stalled || p->holder == 0 ||
        usbd_fifo_room(e->fifo) < static_cast<size_t>(e->packet))
        return;
    libusb_fill_bulk_transfer(e->t, p->handle, e->address, e->t->buffer, e->packet, in_done, e, 0);
    int r = libusb_submit_transfer(e->t);
    if (r != 0) {
        usbd_usb_error(p->port.c_str(), "bulk IN transfer", r, r != LIBUSB_ERROR_NO_DEVICE);
        e->failed = true;
        return;
    }
    e->busy = true;
}

static void LIBUSB_CALL out_done(libusb_transfer* t) {
    printer* p = static_cast<printer*>(t->user_data);
    p->out_busy = false;
    p->out_done = true;
    came_back(p);
}

static void cancel_transfers(printer* p) {
    if (p->out_busy)
        libusb_cancel_transfer(p->out);
    for (in_endpoint& e : p->in)
        if (e.busy)
            libusb_cancel_transfer(e.t);
    if (busy(p) && p->cancelled_ms < 0)
        p->cancelled_ms = di_now_ms();
}

// The request that met the stall fails; the endpoint is usable again for the next one.
// libusb_clear_halt waits for its control transfer, so never from inside a callback.
static void clear_stall(printer* p, uint8_t endpoint) {
    int r = libusb_clear_halt(p->handle, endpoint);
    if (r == 0)
        di_warn("%s: 0x%02X stalled; halt cleared", p->port.c_str(), endpoint);
    else
        di_warn("%s: 0x%02X stalled; clearing the halt: %s", p->port.c_str(), endpoint,
                libusb_error_name(r));
}

// The answer to the WRITE whose transfer came back.
static void finish_write(printer* p) {
    p->out_done = false;
    libusb_transfer* t = p->out;
    di_answer a;
    a.count = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    static char note[96];
    note[0] = '\0';
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        a.ok = true;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        // Never answered as a short write: fpflash sends a block again whole, and the printer
        // would have part of it twice.
        snprintf(note, sizeof(note), " (timed out after %d ms, %u bytes taken)",
                 p->cfg->write_timeout_ms, a.count);
        di_warn("%s: OUT 0x%02X: the printer took %u of %u bytes in %d ms; the WRITE failed",
                p->port.c_str(), t->endpoint, a.count, p->out_len, p->cfg->write_timeout_ms);
        break;
    case LIBUSB_TRANSFER_STALL:
        clear_stall(p, t->endpoint);
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        // Said when the device goes, with what became of it.
        p->out_cut = true;
        di_log("%s: OUT 0x%02X: %s", p->port.c_str(), t->endpoint, libusb_error_name(t->status));
        break;
    default:
        di_warn("%s: OUT 0x%02X: %s; the WRITE of %u bytes failed", p->port.c_str(), t->endpoint,
                libusb_error_name(t->status), p->out_len);
        break;
    }
    a.note = note;
    di_client_answer(p->out_client, a);
}

void usbd_dev_after_events(printer* p) {
    if (p->out_done)
        finish_write(p);
    for (in_endpoint& e : p->in)
        if (e.stalled) {
            e.stalled = false;
            clear_stall(p, e.address);
        }
}

void usbd_dev_going(printer* p, bool gone) {
    // A write the printer finished before it went is answered as it went.
    if (p->out_done)
        finish_write(p);
    if (gone && (p->out_busy || p->out_cut))
        di_warn("%s: %04x:%04x left in the middle of a WRITE of %u bytes, which failed",
                p->port.c_str(), p->id.vid, p->id.pid, p->out_len);
    p->holder = 0;
}

void usbd_dev_retire(printer* p, bool release) {
    cancel_transfers(p);
    if (!release || !p->claimed)
        return;
    int r = libusb_release_interface(p->handle, p->cfg->interface);
    if (r != 0 && r != LIBUSB_ERROR_NO_DEVICE)
        usbd_usb_error(p->port.c_str(), "release interface", r, true);
    else if (r == 0)
        di_log("%s: interface %d released", p->port.c_str(), p->cfg->interface);
    p->claimed = false;
}

bool usbd_dev_busy(const printer* p) {
    return busy(p);
}

long long usbd_dev_cancelled_ms(const printer* p) {
    return p->cancelled_ms;
}

// ---- what the requests do -----------------------------------------------------------------

static bool pipe_has(const printer* p, int pipe, bool out) {
    if (pipe < 0)
        return false;
    const usbd_pipe& pp = p->cfg->pipes[pipe];
    // Endpoint 0 is the control pipe, never bulk.
    int n = (out ? pp.out : pp.in) & 0x0F;
    unsigned mask = out ? p->shape.out : p->shape.in;
    return n != 0 && ((mask >> n) & 1u) != 0;
}

static in_endpoint* pipe_in(printer* p, int pipe) {
    return pipe_has(p, pipe, false) ? &p->in[p->cfg->pipes[pipe].in & 0x0F] : nullptr;
}

uint8_t usbd_dev_endpoint(const printer* p, int pipe, bool in) {
    return in ? p->cfg->pipes[pipe].in : p->cfg->pipes[pipe].out;
}

bool usbd_dev_hold(printer* p, int client, const char** why) {
    if (p->holder != 0) {
        *why = " (held)";
        return false;
    }
    if (!usbd_dev_claim(p)) {
        *why = " (not claimed)";
        return false;
    }
    p->holder = client;
    return true;
}

// Bytes already received stay buffered for the next holder, as they would in the printer; the
// claim stays, so that nothing else takes the printer between fpflash's close and its reopening.
void usbd_dev_let_go(printer* p, int client) {
    if (p->holder != client)
        return;
    p->holder = 0;
    cancel_transfers(p);
    for (in_endpoint& e : p->in)
        e.failed = false;
    di_log("%s: let go by #%d", p->port.c_str(), client);
}

bool usbd_dev_select(printer* p, int pipe) {
    if (!pipe_has(p, pipe, true) && !pipe_has(p, pipe, false))
        return false;
    if (in_endpoint* e = pipe_in(p, pipe))
        in_refill(e);
    return true;
}

bool usbd_dev_read(printer* p, int pipe, uint8_t* data, uint32_t wanted, uint32_t* count) {
    in_endpoint* e = pipe_in(p, pipe);
    if (e == nullptr)
        return false;
    *count = static_cast<uint32_t>(usbd_fifo_take(&e->fifo, data, wanted));
    // A failure is reported once, behind every byte that came before it.
    bool ok = *count > 0 || !e->failed;
    if (!ok)
        e->failed = false;
    in_refill(e);
    return ok;
}

bool usbd_dev_write(printer* p, int pipe, const uint8_t* data, uint32_t len, int client) {
    if (!pipe_has(p, pipe, true) || p->out_busy || len > DI_TRANSFER_MAX)
        return false;
    if (len > 0)
        memcpy(p->out->buffer, data, len);
    uint8_t ep = p->cfg->pipes[pipe].out;
    libusb_fill_bulk_transfer(p->out, p->handle, ep, p->out->buffer, static_cast<int>(len),
                              out_done, p, static_cast<unsigned>(p->cfg->write_timeout_ms));
    // A transfer that ends on a packet boundary is ended by a zero-length packet, or the
    // printer would wait for more.
    int packet = p->out_packet[ep & 0x0F];
    bool zlp = len > 0 && packet > 0 && len % static_cast<uint32_t>(packet) == 0;
    p->out->flags = static_cast<uint8_t>(LIBUSB_TRANSFER_FREE_BUFFER |
                                         (zlp ? LIBUSB_TRANSFER_ADD_ZERO_PACKET : 0));
    int r = libusb_submit_transfer(p->out);
    if (r != 0) {
        usbd_usb_error(p->port.c_str(), "bulk OUT transfer", r, r != LIBUSB_ERROR_NO_DEVICE);
        return false;
    }
    p->out_busy = true;
    p->out_client = client;
    p->out_len = len;
    return true;
}
