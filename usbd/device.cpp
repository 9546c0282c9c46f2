// One printer's USB device: the endpoints of its interface, the claim and its release, and
// every transfer, from its allocation to its free, stalls included. A READ is answered from
// what the printer has already sent, so one bulk IN transfer stays pending on every IN
// endpoint in use while a client holds the printer; a WRITE is one bulk OUT transfer,
// answered when it comes back. libusb calls back only from inside the loop's event handling,
// and the callbacks do no more than note results.
//
// What waits on the bus (clearing a halt, selecting an alternate setting, releasing the
// interface and attaching the kernel's driver again) is a call made on a thread of its own, so
// that no reply waits for it. The kernel holds the device's lock through such a call, and would
// hold a submission or a cancellation on the loop's thread with it: while a device has a call
// out, the loop makes none of those on it, and does them once the call is back.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
    bool used = false;    // selected by the holder: kept reading
    usbd_fifo fifo;
};

enum call_kind { CALL_CLEAR_HALT, CALL_SELECT_ALT, CALL_RELEASE };

// A call that waits on the bus. Its thread writes `result` and hands it back; the rest is the
// loop's.
struct bus_call {
    printer* p;
    libusb_device_handle* handle;
    call_kind kind;
    int value; // the endpoint, or the alternate setting
    int interface;
    int result;
    bus_call* next; // among the calls back
};

struct printer {
    const usbd_config* cfg = nullptr;
    std::string port;
    usbd_id id = {0, 0};
    libusb_device* dev = nullptr;
    libusb_device_handle* handle = nullptr;
    int fd = -1; // its device node, as libusb polls it
    usbd_shape shape;
    int out_packet[ENDPOINTS] = {};
    in_endpoint in[ENDPOINTS];
    libusb_transfer* out = nullptr;
    bool out_busy = false;
    bool out_done = false; // called back, the reply still to send
    int out_client = 0;
    uint32_t out_len = 0;
    uint8_t out_endpoint = 0;
    long long out_asked_ms = -1;  // a WRITE waiting for the calls to be back, since then
    long long out_waited_ms = -1; // how long the WRITE out had waited for them
    bool out_cut = false;         // a WRITE failed as the device went
    bool claimed = false;         // the interface, ours on `handle`
    bool alt_selected = false;
    bool said_refused = false;   // a refused claim said on stderr; said again after a good one
    int holder = 0;              // the client whose OPEN holds the printer, 0 when none
    int opening = 0;             // a client whose OPEN waits for the calls to be back
    long long let_go_ms = -1;    // when the last holder let go
    long long cancelled_ms = -1; // transfers cancelled and not all back yet; -1 when none
    std::deque<bus_call*> calls; // the first one is out
    bool cancel_due = false;     // transfers to cancel once the calls are back
    bool drop_due = false;       // the node to close once the call out is back
};

void usbd_usb_error(const char* where, const char* what, int err, bool warn) {
    if (warn)
        di_warn("%s: %s: %s", where != nullptr ? where : "usb", what, libusb_error_name(err));
    else
        di_log("%s: %s: %s", where != nullptr ? where : "usb", what, libusb_error_name(err));
}

static usbd_shape shape_of(const libusb_interface_descriptor& alt) {
    usbd_shape s;
    s.alt = alt.bAlternateSetting;
    for (int j = 0; j < alt.bNumEndpoints; j++) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[j];
        if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        uint16_t bit = static_cast<uint16_t>(1u << (ep.bEndpointAddress & 0x0F));
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0)
            s.in = static_cast<uint16_t>(s.in | bit);
        else
            s.out = static_cast<uint16_t>(s.out | bit);
    }
    return s;
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
    // Of the configured interface's alternate settings, the one with most of fpflash's pipes.
    const libusb_interface_descriptor* chosen = nullptr;
    for (int k = 0; k < conf->bNumInterfaces; k++)
        for (int a = 0; a < conf->interface[k].num_altsetting; a++) {
            const libusb_interface_descriptor& alt = conf->interface[k].altsetting[a];
            usbd_shape s = shape_of(alt);
            if (alt.bInterfaceNumber == c.interface &&
                (chosen == nullptr || __builtin_popcount(usbd_pipes_of(c, s)) >
                                          __builtin_popcount(usbd_pipes_of(c, p->shape)))) {
                chosen = &alt;
                p->shape = s;
            }
        }
    p->shape.missing = chosen == nullptr;
    for (int j = 0; chosen != nullptr && j < chosen->bNumEndpoints; j++) {
        const libusb_endpoint_descriptor& ep = chosen->endpoint[j];
        int n = ep.bEndpointAddress & 0x0F;
        int size = ep.wMaxPacketSize & 0x7FF;
        if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) == 0) {
            p->out_packet[n] = size;
            continue;
        }
        p->in[n].address = ep.bEndpointAddress;
        p->in[n].packet =
            size > 0 && size <= static_cast<int>(DI_TRANSFER_MAX) ? size : IN_PACKET_DEFAULT;
    }
    libusb_free_config_descriptor(conf);
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

static printer* opening_node = nullptr;

void LIBUSB_CALL usbd_dev_fd_added(int fd, short, void*) {
    if (opening_node != nullptr)
        opening_node->fd = fd;
}

int usbd_dev_open(printer* p) {
    opening_node = p;
    int r = libusb_open(p->dev, &p->handle);
    opening_node = nullptr;
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
    // Closed first: libusb forgets a transfer still out on a node that stopped answering.
    if (p->handle != nullptr)
        libusb_close(p->handle);
    for (in_endpoint& e : p->in)
        if (e.t != nullptr)
            libusb_free_transfer(e.t); // frees the buffer too
    if (p->out != nullptr)
        libusb_free_transfer(p->out);
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

int usbd_dev_fd(const printer* p) {
    return p->handle != nullptr ? p->fd : -1;
}

bool usbd_dev_held(const printer* p) {
    return p->holder != 0 || p->opening != 0;
}

long long usbd_dev_let_go_ms(const printer* p) {
    return p->let_go_ms;
}

static bool releasing(const printer* p) {
    return std::any_of(p->calls.begin(), p->calls.end(),
                       [](const bus_call* c) { return c->kind == CALL_RELEASE; });
}

bool usbd_dev_claimed(const printer* p) {
    return p->claimed && !releasing(p);
}

bool usbd_dev_said_refused(const printer* p) {
    return p->said_refused;
}

void usbd_dev_take_up(printer* p, bool said_refused) {
    p->said_refused = said_refused;
}

// ---- calls that wait on the bus -----------------------------------------------------------

static int calls_fd = -1; // readable when calls are back
static pthread_mutex_t back_lock = PTHREAD_MUTEX_INITIALIZER;
static bus_call* back = nullptr; // under back_lock: the calls back, the last first

static bool waiting(const printer* p) {
    return !p->calls.empty();
}

static void* make_call(void* arg) {
    bus_call* c = static_cast<bus_call*>(arg);
    switch (c->kind) {
    case CALL_CLEAR_HALT:
        c->result = libusb_clear_halt(c->handle, static_cast<unsigned char>(c->value));
        break;
    case CALL_SELECT_ALT:
        c->result = libusb_set_interface_alt_setting(c->handle, c->interface, c->value);
        break;
    case CALL_RELEASE:
        c->result = libusb_release_interface(c->handle, c->interface);
        break;
    }
    pthread_mutex_lock(&back_lock);
    c->next = back;
    back = c;
    pthread_mutex_unlock(&back_lock);
    uint64_t one = 1;
    ssize_t said = write(calls_fd, &one, sizeof(one));
    (void)said; // a counter that is full is readable anyway
    return nullptr;
}

static void start_call(printer* p) {
    pthread_attr_t attr;
    pthread_t thread;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int err = pthread_create(&thread, &attr, make_call, p->calls.front());
    pthread_attr_destroy(&attr);
    if (err != 0) {
        di_warn("%s: cannot start a thread (%s); waiting on the bus in the loop", p->port.c_str(),
                strerror(err));
        make_call(p->calls.front());
    }
}

static void queue_call(printer* p, call_kind kind, int value) {
    p->calls.push_back(new bus_call{p, p->handle, kind, value, p->cfg->interface, 0, nullptr});
    if (p->calls.size() == 1)
        start_call(p);
}

bool usbd_dev_calls_start() {
    calls_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (calls_fd < 0)
        di_complain("cannot make an eventfd: %s", strerror(errno));
    return calls_fd >= 0;
}

int usbd_dev_calls_fd() {
    return calls_fd;
}

static bool transfers_out(const printer* p) {
    return p->out_busy || std::any_of(std::begin(p->in), std::end(p->in),
                                      [](const in_endpoint& e) { return e.busy; });
}

static void cancel_transfers(printer* p) {
    if (waiting(p)) {
        p->cancel_due = true;
        return;
    }
    if (p->out_busy)
        libusb_cancel_transfer(p->out);
    for (in_endpoint& e : p->in)
        if (e.busy)
            libusb_cancel_transfer(e.t);
    if (transfers_out(p) && p->cancelled_ms < 0)
        p->cancelled_ms = di_now_ms();
}

// libusb forgets the transfers still out on a handle it closes, and nothing calls them back.
static void close_node(printer* p) {
    libusb_close(p->handle);
    p->handle = nullptr;
    p->out_busy = false;
    for (in_endpoint& e : p->in)
        e.busy = false;
    p->claimed = false;
    p->cancelled_ms = -1;
}

static void in_refill(in_endpoint* e);
static void answer_open(printer* p);
static void send_waiting_write(printer* p);

// A call is back, and with none left the loop goes on with what it put off.
static void resume(printer* p) {
    if (p->drop_due) {
        if (p->handle != nullptr)
            close_node(p);
        return;
    }
    if (p->cancel_due) {
        p->cancel_due = false;
        cancel_transfers(p);
    }
    if (waiting(p)) {
        start_call(p);
        return;
    }
    if (p->opening != 0)
        answer_open(p);
    if (waiting(p)) // the OPEN's claim selects an alternate setting first
        return;
    if (p->out_asked_ms >= 0)
        send_waiting_write(p);
    for (in_endpoint& e : p->in)
        if (e.used)
            in_refill(&e);
}

static void call_back(bus_call* c) {
    printer* p = c->p;
    p->calls.pop_front();
    const char* port = p->port.c_str();
    switch (c->kind) {
    case CALL_CLEAR_HALT:
        if (c->result == 0)
            di_warn("%s: 0x%02X stalled; halt cleared", port, c->value);
        else
            di_warn("%s: 0x%02X stalled; clearing the halt: %s", port, c->value,
                    libusb_error_name(c->result));
        break;
    case CALL_SELECT_ALT:
        p->alt_selected = c->result == 0;
        if (c->result == 0)
            di_log("%s: alternate setting %d of interface %d selected", port, c->value,
                   c->interface);
        else
            di_warn("%s: alternate setting %d of interface %d, which has the printer's pipes, "
                    "cannot be selected: %s",
                    port, c->value, c->interface, libusb_error_name(c->result));
        break;
    case CALL_RELEASE:
        p->claimed = false;
        p->alt_selected = false;
        if (c->result == 0)
            di_log("%s: interface %d released", port, c->interface);
        else if (c->result != LIBUSB_ERROR_NO_DEVICE)
            usbd_usb_error(port, "release interface", c->result, true);
        break;
    }
    delete c;
    resume(p);
}

void usbd_dev_calls_back() {
    uint64_t n;
    if (read(calls_fd, &n, sizeof(n)) < 0 && errno != EAGAIN)
        di_log("calls back: %s", strerror(errno));
    pthread_mutex_lock(&back_lock);
    bus_call* list = back;
    back = nullptr;
    pthread_mutex_unlock(&back_lock);
    // In the order they came back.
    bus_call* ordered = nullptr;
    while (list != nullptr) {
        bus_call* c = list;
        list = c->next;
        c->next = ordered;
        ordered = c;
    }
    while (ordered != nullptr) {
        bus_call* c = ordered;
        ordered = c->next;
        call_back(c);
    }
}

// ---- the claim ----------------------------------------------------------------------------

bool usbd_dev_claim(printer* p) {
    if (p->claimed)
        return true;
    if (waiting(p))
        return false;
    int interface = p->cfg->interface;
    int r = libusb_claim_interface(p->handle, interface);
    if (r == 0) {
        p->claimed = true;
        p->said_refused = false;
        di_log("%s: interface %d claimed for the update", p->port.c_str(), interface);
        if (p->shape.alt != 0)
            queue_call(p, CALL_SELECT_ALT, p->shape.alt);
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

void usbd_dev_release(printer* p) {
    cancel_transfers(p);
    if (usbd_dev_claimed(p) && p->handle != nullptr)
        queue_call(p, CALL_RELEASE, 0);
}

// ---- transfers ----------------------------------------------------------------------------

// A transfer came back: once all that were cancelled are, nothing is overdue.
static void came_back(printer* p) {
    if (!transfers_out(p))
        p->cancelled_ms = -1;
}

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
    if (e->busy || e->failed || e->stalled || p->holder == 0 || waiting(p) ||
        p->handle == nullptr || usbd_fifo_room(e->fifo) < static_cast<size_t>(e->packet))
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

static bool submit_write(printer* p, long long timeout_ms) {
    uint32_t len = p->out_len;
    libusb_fill_bulk_transfer(p->out, p->handle, p->out_endpoint, p->out->buffer,
                              static_cast<int>(len), out_done, p,
                              static_cast<unsigned>(timeout_ms));
    // A transfer that ends on a packet boundary is ended by a zero-length packet, or the
    // printer would wait for more.
    int packet = p->out_packet[p->out_endpoint & 0x0F];
    bool zlp = len > 0 && packet > 0 && len % static_cast<uint32_t>(packet) == 0;
    p->out->flags = static_cast<uint8_t>(LIBUSB_TRANSFER_FREE_BUFFER |
                                         (zlp ? LIBUSB_TRANSFER_ADD_ZERO_PACKET : 0));
    int r = libusb_submit_transfer(p->out);
    if (r != 0) {
        usbd_usb_error(p->port.c_str(), "bulk OUT transfer", r, r != LIBUSB_ERROR_NO_DEVICE);
        return false;
    }
    p->out_busy = true;
    return true;
}

static void fail_write(printer* p, const char* note) {
    p->out_asked_ms = -1;
    di_answer a;
    a.note = note;
    di_client_answer(p->out_client, a);
}

// A WRITE that came while a halt was being cleared goes once it is, within the write timeout
// counted from its coming: the printer's reply is due within fpflash's.
static void send_waiting_write(printer* p) {
    long long waited = di_now_ms() - p->out_asked_ms;
    long long left = p->cfg->write_timeout_ms - waited;
    p->out_asked_ms = -1;
    if (left > 0 && submit_write(p, left))
        p->out_waited_ms = waited;
    else
        fail_write(p, "");
}

// The answer to the WRITE whose transfer came back; a halt it met is cleared after.
static void finish_write(printer* p) {
    p->out_done = false;
    libusb_transfer* t = p->out;
    di_answer a;
    a.count = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    static char note[128];
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
        snprintf(note, sizeof(note), " (stalled)");
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
    if (p->out_waited_ms >= 0)
        snprintf(note + strlen(note), sizeof(note) - strlen(note),
                 " (sent %lld ms late, once a halt was cleared)", p->out_waited_ms);
    p->out_waited_ms = -1;
    a.note = note;
    di_client_answer(p->out_client, a);
    if (t->status == LIBUSB_TRANSFER_STALL && p->handle != nullptr)
        queue_call(p, CALL_CLEAR_HALT, t->endpoint);
}

void usbd_dev_after_events(printer* p) {
    if (p->out_done)
        finish_write(p);
    for (in_endpoint& e : p->in)
        if (e.stalled && p->handle != nullptr) {
            e.stalled = false;
            queue_call(p, CALL_CLEAR_HALT, e.address);
        }
    if (p->out_asked_ms >= 0 && di_now_ms() >= usbd_dev_due_ms(p)) {
        di_warn("%s: OUT 0x%02X: its halt not cleared within %d ms; the WRITE of %u bytes failed",
                p->port.c_str(), p->out_endpoint, p->cfg->write_timeout_ms, p->out_len);
        fail_write(p, " (a halt not cleared in time)");
    }
}

long long usbd_dev_due_ms(const printer* p) {
    return p->out_asked_ms >= 0 ? p->out_asked_ms + p->cfg->write_timeout_ms : -1;
}

void usbd_dev_going(printer* p, bool gone) {
    // A write the printer finished before it went is answered as it went.
    if (p->out_done)
        finish_write(p);
    if (p->out_asked_ms >= 0)
        fail_write(p, " (the printer went)");
    if (gone && (p->out_busy || p->out_cut))
        di_warn("%s: %04x:%04x left in the middle of a WRITE of %u bytes, which failed",
                p->port.c_str(), p->id.vid, p->id.pid, p->out_len);
    if (usbd_dev_held(p))
        p->let_go_ms = di_now_ms();
    p->holder = 0;
    p->opening = 0;
}

void usbd_dev_retire(printer* p, bool release) {
    if (release)
        usbd_dev_release(p);
    else
        cancel_transfers(p);
}

void usbd_dev_drop(printer* p) {
    p->drop_due = true;
    // Calls not started yet are not made; the one out has the handle until it is back.
    while (p->calls.size() > 1) {
        delete p->calls.back();
        p->calls.pop_back();
    }
    if (!waiting(p) && p->handle != nullptr)
        close_node(p);
}

bool usbd_dev_busy(const printer* p) {
    return transfers_out(p) || waiting(p);
}

long long usbd_dev_cancelled_ms(const printer* p) {
    // Once the node is to be closed there is nothing more to wait for: a call out (a
    // release waiting on the same transfers) may take as long as it takes.
    return p->drop_due ? -1 : p->cancelled_ms;
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

// Takes the waiting OPEN as far as the bus lets it now: 1 held, 0 refused, -1 still waiting.
static int open_step(printer* p, const char** why) {
    if (waiting(p))
        return -1;
    if (!usbd_dev_claim(p)) {
        *why = " (not claimed)";
    } else if (waiting(p)) {
        return -1; // its alternate setting being selected
    } else if (p->shape.alt != 0 && !p->alt_selected) {
        *why = " (no alternate setting)";
    } else {
        p->holder = p->opening;
    }
    p->opening = 0;
    return p->holder != 0 ? 1 : 0;
}

static void answer_open(printer* p) {
    int client = p->opening;
    di_answer a;
    int r = open_step(p, &a.note);
    if (r < 0)
        return;
    a.ok = r == 1;
    di_client_answer(client, a);
}

int usbd_dev_hold(printer* p, int client, const char** why) {
    if (usbd_dev_held(p)) {
        *why = " (held)";
        return 0;
    }
    p->opening = client;
    return open_step(p, why);
}

// Bytes already received stay buffered for the next holder, as they would in the printer; the
// claim stays, so that nothing else takes the printer between fpflash's close and its reopening.
void usbd_dev_let_go(printer* p, int client) {
    if (p->opening != client && p->holder != client)
        return;
    p->opening = 0;
    p->let_go_ms = di_now_ms();
    if (p->holder == client) {
        p->holder = 0;
        p->out_asked_ms = -1;
        cancel_transfers(p);
        for (in_endpoint& e : p->in) {
            e.failed = false;
            e.used = false;
        }
        di_log("%s: let go by #%d", p->port.c_str(), client);
    }
}

bool usbd_dev_select(printer* p, int pipe) {
    if (!pipe_has(p, pipe, true) && !pipe_has(p, pipe, false))
        return false;
    if (in_endpoint* e = pipe_in(p, pipe)) {
        e->used = true;
        in_refill(e);
    }
    return true;
}

bool usbd_dev_read(printer* p, int pipe, uint8_t* data, uint32_t wanted, uint32_t* count) {
    in_endpoint* e = pipe_in(p, pipe);
    if (e == nullptr)
        return false;
    *count = static_cast<uint32_t>(usbd_fifo_peek(e->fifo, data, wanted));
    // A failure is reported once, behind every byte that came before it.
    bool ok = *count > 0 || !e->failed;
    if (!ok)
        e->failed = false;
    in_refill(e);
    return ok;
}

void usbd_dev_read_sent(printer* p, int pipe, uint32_t count) {
    if (in_endpoint* e = pipe_in(p, pipe)) {
        usbd_fifo_drop(&e->fifo, count);
        in_refill(e);
    }
}

bool usbd_dev_write(printer* p, int pipe, const uint8_t* data, uint32_t len, int client) {
    if (!pipe_has(p, pipe, true) || p->out_busy || p->out_asked_ms >= 0 || len > DI_TRANSFER_MAX ||
        p->handle == nullptr)
        return false;
    if (len > 0)
        memcpy(p->out->buffer, data, len);
    p->out_client = client;
    p->out_len = len;
    p->out_endpoint = p->cfg->pipes[pipe].out;
    if (waiting(p)) {
        p->out_asked_ms = di_now_ms();
        return true;
    }
    return submit_write(p, p->cfg->write_timeout_ms);
}
