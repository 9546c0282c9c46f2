// Requests of the clients, and the transfers that answer them.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "di/contract.h"
#include "usbd/daemon.h"

static const size_t CLIENTS_MAX = 16; // per printer

static int next_client_id = 1;

bool held(const printer* p) {
    return p->holder != 0;
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
        di_complain("the printer at USB port %s (%04x:%04x) is held by another program, so fpflash "
                 "cannot open it: another process or a kernel driver that cannot be detached has "
                 "claimed its interface %d. Stop that program (a print spooler, a point-of-sale "
                 "service, another fpusbd) or unplug and replug the printer, then run fpflash "
                 "again",
                 p->port.c_str(), p->id.vid, p->id.pid, cfg.interface);
    }
    return r;
}

static void LIBUSB_CALL in_done(libusb_transfer* t) {
    in_endpoint* e = static_cast<in_endpoint*>(t->user_data);
    e->busy = false;
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
void in_refill(in_endpoint* e) {
    printer* p = e->owner;
    if (e->busy || e->failed || e->stalled || !held(p) ||
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
void let_go(printer* p) {
    int holder = p->holder;
    p->holder = 0;
    cancel_transfers(p);
    for (in_endpoint& e : p->in)
        e.failed = false;
    di_log("%s: let go by #%d", p->port.c_str(), holder);
}

// ---- clients ------------------------------------------------------------------------------

size_t client_index(int id) {
    for (size_t i = 0; i < clients.size(); i++)
        if (clients[i].id == id)
            return i;
    return SIZE_MAX;
}

void client_gone(size_t i, const char* how) {
    client c = clients[i];
    close(c.fd);
    clients.erase(clients.begin() + static_cast<long>(i));
    di_log("#%d %s", c.id, how);
    if (c.open && c.p->holder == c.id)
        let_go(c.p);
}

// Returns false when the client went with it.
static bool send_reply(size_t i, bool ok, uint32_t count, const uint8_t* data) {
    uint8_t reply[DI_PACKET_MAX];
    di_header(reply, ok ? DI_SUCCESS : DI_FAILURE, count);
    size_t len = DI_HEADER_SIZE;
    if (data != nullptr && count > 0) {
        memcpy(reply + DI_HEADER_SIZE, data, count);
        len += count;
    }
    // A client that doesn't take its replies must not stall the printers for the others.
    if (send(clients[i].fd, reply, len, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(len)) {
        client_gone(i, "lost");
        return false;
    }
    return true;
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

static in_endpoint* pipe_in(printer* p, int pipe) {
    return pipe_has(p, pipe, false) ? &p->in[cfg.pipes[pipe].in & 0x0F] : nullptr;
}

// Refused while another client holds the printer, while it is away re-enumerating, and while
// another program holds its interface.
static bool open_printer(client* c, const char** why) {
    printer* p = c->p;
    if (c->open || held(p)) {
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
    p->holder = c->id;
    c->open = true;
    c->selected = -1;
    return true;
}

static bool start_write(size_t i, const uint8_t* data, uint32_t len) {
    client& c = clients[i];
    printer* p = c.p;
    if (len > 0)
        memcpy(p->out->buffer, data, len);
    uint8_t ep = cfg.pipes[c.selected].out;
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
    p->out_client = c.id;
    p->out_len = len;
    c.waiting = true;
    return true;
}

// Answers one request packet of client `i`, or starts the transfer that will.
static void answer(size_t i, const uint8_t* req, size_t len) {
    client& c = clients[i];
    printer* p = c.p;
    if (len < DI_HEADER_SIZE) {
        di_log("#%d request of %zu bytes: refused", c.id, len);
        send_reply(i, false, 0, nullptr);
        return;
    }
    uint32_t value = di_get_u32(req + 1);
    bool ok = false;
    switch (req[0]) {
    case DI_OP_OPEN: {
        const char* why = "";
        ok = len == DI_HEADER_SIZE && value == DI_ACCESS && open_printer(&c, &why);
        di_log("#%d OPEN 0x%08X: %s%s", c.id, value, ok ? "ok" : "refused", why);
        send_reply(i, ok, 0, nullptr);
        return;
    }
    case DI_OP_IOCTL: {
        int pipe = di_pipe_endpoint(value);
        ok = len == DI_HEADER_SIZE && c.open &&
             (pipe_has(p, pipe, true) || pipe_has(p, pipe, false));
        if (ok) {
            c.selected = pipe;
            if (in_endpoint* e = pipe_in(p, pipe))
                in_refill(e);
        }
        di_log("#%d IOCTL 0x%08X: %s", c.id, value, ok ? "ok" : "failed");
        send_reply(i, ok, 0, nullptr);
        return;
    }
    case DI_OP_READ: {
        in_endpoint* e = c.open ? pipe_in(p, c.selected) : nullptr;
        uint8_t data[DI_TRANSFER_MAX];
        uint32_t n = 0;
        ok = len == DI_HEADER_SIZE && value >= 1 && value <= DI_TRANSFER_MAX && e != nullptr;
        if (ok) {
            n = static_cast<uint32_t>(usbd_fifo_take(&e->fifo, data, value));
            // A failure is reported once, behind every byte that came before it.
            if (n == 0 && e->failed) {
                ok = false;
                e->failed = false;
            }
            in_refill(e);
        }
        di_log("#%d READ %u: %s %u", c.id, value, ok ? "ok" : "failed", n);
        send_reply(i, ok, n, data);
        return;
    }
    case DI_OP_WRITE:
        if (value <= DI_TRANSFER_MAX && len == DI_HEADER_SIZE + value && c.open &&
            pipe_has(p, c.selected, true) && !p->out_busy &&
            start_write(i, req + DI_HEADER_SIZE, value))
            return;
        di_log("#%d WRITE %u: failed 0", c.id, value);
        send_reply(i, false, 0, nullptr);
        return;
    default:
        di_log("#%d op %u: refused", c.id, req[0]);
        send_reply(i, false, 0, nullptr);
        return;
    }
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
    if (!ok)
        count = 0;
    size_t i = client_index(p->out_client);
    if (i == SIZE_MAX)
        return;
    clients[i].waiting = false;
    di_log("#%d WRITE %u: %s %u%s", clients[i].id, p->out_len, ok ? "ok" : "failed", count, note);
    send_reply(i, ok, count, nullptr);
}

void serve(size_t i) {
    uint8_t req[DI_PACKET_MAX + 1];
    ssize_t n;
    do {
        n = recv(clients[i].fd, req, sizeof(req), MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        client_gone(i, "closed");
        return;
    }
    // An oversized packet is answered as one, never read past the buffer.
    size_t len =
        static_cast<size_t>(n) <= DI_PACKET_MAX ? static_cast<size_t>(n) : DI_PACKET_MAX + 1;
    answer(i, req, len);
}

void accept_all(printer* p) {
    int fd;
    while ((fd = accept4(p->sock.listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        size_t n = 0;
        for (const client& c : clients)
            n += c.p == p;
        if (n >= CLIENTS_MAX) {
            close(fd);
            continue;
        }
        clients.push_back({fd, next_client_id++, p, false, -1, false});
        di_log("#%d connected", clients.back().id);
    }
}
