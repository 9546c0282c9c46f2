// Requests of the clients, and the transfers that answer them.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "di/trace.h"
#include "usbd/fpusbd.h"

static const size_t CLIENTS_MAX = 16; // per printer

struct client {
    int fd;
    di_session s;
    printer* p;
    bool waiting; // a WRITE is on the bus; nothing more is read from it until the reply
};

static usbd_config cfg;
static std::vector<client> clients;
static int next_client_id = 1;

void answer_start(const usbd_config& c) {
    cfg = c;
}

// The request that met the stall fails; the endpoint is usable again for the next one.
// libusb_clear_halt waits for its control transfer, so never from inside a callback.
static void clear_stall(printer* p, uint8_t endpoint) {
    int r = libusb_clear_halt(p->handle, endpoint);
    if (r == 0)
        di_log("%s: 0x%02X stalled; halt cleared", p->port.c_str(), endpoint);
    else
        di_log("%s: 0x%02X stalled; clearing the halt: %s", p->port.c_str(), endpoint,
               libusb_error_name(r));
}

void clear_stalls(printer* p) {
    for (in_endpoint& e : p->in)
        if (e.stalled) {
            e.stalled = false;
            clear_stall(p, e.address);
        }
}

int claim(printer* p) {
    if (p->claimed)
        return 0;
    int r = libusb_claim_interface(p->handle, cfg.interface);
    if (r == 0) {
        p->claimed = true;
        p->updating = true;
        p->said_busy = false;
        di_log("%s: interface %d claimed for the update", p->port.c_str(), cfg.interface);
        return 0;
    }
    usb_error(p, "claim interface", r);
    if (r == LIBUSB_ERROR_BUSY && !p->said_busy) {
        p->said_busy = true;
        di_complain(
            "the printer at USB port %s (%04x:%04x) is held by another program, so fpflash "
            "cannot open it: another process or a kernel driver that cannot be detached has "
            "claimed its interface %d. Stop that program (a print spooler, a point-of-sale "
            "service, another fpusbd) or unplug and replug the printer, then run fpflash "
            "again",
            p->port.c_str(), p->id.vid, p->id.pid, cfg.interface);
    }
    return r;
}

static void in_refill(in_endpoint* e);

static void LIBUSB_CALL in_done(libusb_transfer* t) {
    in_endpoint* e = static_cast<in_endpoint*>(t->user_data);
    e->busy = false;
    if (t->actual_length > 0)
        di_trace("bulk in 0x%02x %d %s", e->address, t->actual_length,
                 di_hex(t->buffer, static_cast<size_t>(t->actual_length)).c_str());
    if (t->status != LIBUSB_TRANSFER_COMPLETED && t->status != LIBUSB_TRANSFER_CANCELLED)
        di_trace("bulk in 0x%02x error %s", e->address, libusb_error_name(t->status));
    // Also a cancelled transfer may have carried bytes; they were sent, so they are kept.
    if (t->actual_length > 0 &&
        !usbd_fifo_put(&e->fifo, t->buffer, static_cast<size_t>(t->actual_length)))
        di_log("%s: IN 0x%02X: %d bytes lost", e->owner->port.c_str(), e->address,
               t->actual_length);
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        in_refill(e);
        return;
    case LIBUSB_TRANSFER_CANCELLED:
        return;
    case LIBUSB_TRANSFER_STALL:
        e->stalled = true;
        break;
    default:
        di_log("%s: IN 0x%02X: %s", e->owner->port.c_str(), e->address,
               libusb_error_name(t->status));
        break;
    }
    e->failed = true;
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
        usb_error(p, "bulk IN transfer", r);
        e->failed = true;
        return;
    }
    e->busy = true;
}

static void LIBUSB_CALL out_done(libusb_transfer* t) {
    printer* p = static_cast<printer*>(t->user_data);
    p->out_busy = false;
    p->out_done = true;
}

bool busy(const printer* p) {
    if (p->out_busy)
        return true;
    for (const in_endpoint& e : p->in)
        if (e.busy)
            return true;
    return false;
}

void cancel_transfers(printer* p) {
    if (p->out_busy)
        libusb_cancel_transfer(p->out);
    for (in_endpoint& e : p->in)
        if (e.busy)
            libusb_cancel_transfer(e.t);
    if (busy(p) && p->cancelled_ms < 0)
        p->cancelled_ms = di_now_ms();
}

// Bytes already received stay buffered for the next holder, as they would in the printer; the
// claim stays, so that nothing else takes the printer between fpflash's close and its reopening.
static void let_go(printer* p) {
    int holder = p->holder;
    p->holder = 0;
    cancel_transfers(p);
    for (in_endpoint& e : p->in)
        e.failed = false;
    di_log("%s: let go by #%d", p->port.c_str(), holder);
}

// ---- clients ------------------------------------------------------------------------------

static size_t client_index(int id) {
    for (size_t i = 0; i < clients.size(); i++)
        if (clients[i].s.id == id)
            return i;
    return SIZE_MAX;
}

static void client_gone(size_t i, const char* how) {
    client c = clients[i];
    close(c.fd);
    clients.erase(clients.begin() + static_cast<long>(i));
    di_log("#%d %s", c.s.id, how);
    di_trace("#%d closed", c.s.id);
    if (c.s.open && c.p->holder == c.s.id)
        let_go(c.p);
}

// Returns false when the client went with it.
static bool send_reply(size_t i, bool ok, uint32_t count, const uint8_t* data, size_t size) {
    if (di_reply(clients[i].fd, ok, count, data, size))
        return true;
    client_gone(i, "lost");
    return false;
}

static bool pipe_has(const printer* p, int pipe, bool out) {
    if (pipe < 0)
        return false;
    uint8_t a = out ? cfg.pipes[pipe].out : cfg.pipes[pipe].in;
    // Endpoint 0 is the control pipe, never bulk.
    int n = a & 0x0F;
    unsigned mask = out ? p->out_mask : p->in_mask;
    return n != 0 && ((mask >> n) & 1u) != 0;
}

// The USB endpoint a READ or WRITE on `pipe` goes to, for the trace; 0 for none.
static uint8_t endpoint_of(int pipe, uint8_t op) {
    if (pipe < 0 || (op != DI_OP_READ && op != DI_OP_WRITE))
        return 0;
    return op == DI_OP_READ ? cfg.pipes[pipe].in : cfg.pipes[pipe].out;
}

static in_endpoint* pipe_in(printer* p, int pipe) {
    return pipe_has(p, pipe, false) ? &p->in[cfg.pipes[pipe].in & 0x0F] : nullptr;
}

// Refused while another client holds the printer, while it is away re-enumerating, and while
// another program holds its interface.
static bool open_printer(client* c, const char** why) {
    printer* p = c->p;
    if (p->holder != 0) {
        *why = " (held)";
        return false;
    }
    if (p->handle == nullptr) {
        *why = " (away)";
        return false;
    }
    if (claim(p) != 0) {
        *why = " (not claimed)";
        return false;
    }
    p->holder = c->s.id;
    return true;
}

static bool start_write(size_t i, const uint8_t* data, uint32_t len) {
    client& c = clients[i];
    printer* p = c.p;
    if (len > 0)
        memcpy(p->out->buffer, data, len);
    uint8_t ep = cfg.pipes[c.s.pipe].out;
    libusb_fill_bulk_transfer(p->out, p->handle, ep, p->out->buffer, static_cast<int>(len),
                              out_done, p, static_cast<unsigned>(cfg.write_timeout_ms));
    // A transfer that ends on a packet boundary is ended by a zero-length packet, or the
    // printer would wait for more.
    int packet = p->out_packet[ep & 0x0F];
    bool zlp = len > 0 && packet > 0 && len % static_cast<uint32_t>(packet) == 0;
    p->out->flags = static_cast<uint8_t>(LIBUSB_TRANSFER_FREE_BUFFER |
                                         (zlp ? LIBUSB_TRANSFER_ADD_ZERO_PACKET : 0));
    int r = libusb_submit_transfer(p->out);
    if (r != 0) {
        usb_error(p, "bulk OUT transfer", r);
        return false;
    }
    p->out_busy = true;
    p->out_client = c.s.id;
    p->out_len = len;
    c.waiting = true;
    return true;
}

// Answers one request packet of client `i`, or starts the transfer that will.
static void answer(size_t i, const uint8_t* packet, size_t len) {
    client& c = clients[i];
    printer* p = c.p;
    di_request r;
    bool ok = false;
    uint32_t n = 0;
    uint8_t data[DI_TRANSFER_MAX];
    const char* why = "";
    if (di_check(c.s, packet, len, &r)) {
        switch (r.op) {
        case DI_OP_OPEN:
            ok = open_printer(&c, &why);
            break;
        case DI_OP_IOCTL: {
            int pipe = di_pipe_endpoint(r.value);
            ok = pipe_has(p, pipe, true) || pipe_has(p, pipe, false);
            if (in_endpoint* e = ok ? pipe_in(p, pipe) : nullptr)
                in_refill(e);
            break;
        }
        case DI_OP_READ:
            if (in_endpoint* e = pipe_in(p, c.s.pipe)) {
                n = static_cast<uint32_t>(usbd_fifo_take(&e->fifo, data, r.value));
                // A failure is reported once, behind every byte that came before it.
                ok = n > 0 || !e->failed;
                if (!ok)
                    e->failed = false;
                in_refill(e);
            }
            break;
        default:
            if (pipe_has(p, c.s.pipe, true) && !p->out_busy && start_write(i, r.payload, r.value))
                return;
            break;
        }
    }
    uint8_t endpoint = endpoint_of(c.s.pipe, r.op);
    n = di_answered(&c.s, r, ok, n, why);
    di_trace_request(c.s.id, r, endpoint, ok, n, data);
    send_reply(i, ok, n, data, r.op == DI_OP_READ ? n : 0);
}

// The reply to a WRITE whose transfer came back.
void finish_write(printer* p) {
    p->out_done = false;
    libusb_transfer* t = p->out;
    uint32_t count = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    bool ok = false;
    char note[96] = "";
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        ok = true;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        // Never answered as a short write: fpflash sends a block again whole, and the printer
        // would have part of it twice.
        snprintf(note, sizeof(note), " (timed out after %d ms, %u bytes taken)",
                 cfg.write_timeout_ms, count);
        break;
    case LIBUSB_TRANSFER_STALL:
        clear_stall(p, t->endpoint);
        break;
    default:
        di_log("%s: OUT 0x%02X: %s", p->port.c_str(), t->endpoint, libusb_error_name(t->status));
        break;
    }
    size_t i = client_index(p->out_client);
    if (i == SIZE_MAX)
        return;
    client& c = clients[i];
    c.waiting = false;
    di_request r = {DI_OP_WRITE, p->out_len, t->buffer, DI_HEADER_SIZE + p->out_len};
    count = di_answered(&c.s, r, ok, count, note);
    di_trace_request(c.s.id, r, endpoint_of(c.s.pipe, DI_OP_WRITE), ok, count, nullptr);
    send_reply(i, ok, count, nullptr, 0);
}

void clients_to_poll(std::vector<struct pollfd>* fds, std::vector<int>* ids) {
    for (const client& c : clients)
        if (!c.waiting) {
            fds->push_back({c.fd, POLLIN, 0});
            ids->push_back(c.s.id);
        }
}

// By id: serving one client may drop others, or a whole printer.
void serve_client(int id) {
    size_t i = client_index(id);
    if (i == SIZE_MAX)
        return;
    uint8_t packet[DI_RECEIVE_SIZE];
    long n = di_receive(clients[i].fd, packet);
    if (n < 0)
        client_gone(i, "closed");
    else if (n > 0)
        answer(i, packet, static_cast<size_t>(n));
}

void accept_clients(printer* p) {
    int fd;
    while ((fd = accept4(p->sock.listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        size_t n = 0;
        for (const client& c : clients)
            n += c.p == p;
        if (n >= CLIENTS_MAX) {
            close(fd);
            continue;
        }
        clients.push_back({fd, {next_client_id++, false, -1}, p, false});
        di_log("#%d connected", clients.back().s.id);
        di_trace("#%d connected", clients.back().s.id);
    }
}

void cut_clients(const printer* p) {
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i].p == p) {
            close(clients[i].fd);
            di_log("#%d cut off", clients[i].s.id);
            // A WRITE still on the bus gets no answer; in the trace it failed, as it did for
            // the client, so that a replay meets it where it came.
            if (clients[i].waiting) {
                di_request r = {DI_OP_WRITE, p->out_len, p->out->buffer,
                                DI_HEADER_SIZE + p->out_len};
                di_trace_request(clients[i].s.id, r, endpoint_of(clients[i].s.pipe, DI_OP_WRITE),
                                 false, 0, nullptr);
            }
            di_trace("#%d cut", clients[i].s.id);
            clients.erase(clients.begin() + static_cast<long>(i));
        }
}

void close_clients() {
    while (!clients.empty()) {
        close(clients.back().fd);
        clients.pop_back();
    }
}
