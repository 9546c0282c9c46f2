// fpusbd: each printer on the USB bus with a configured ID, published as a device interface
// (one SOCK_SEQPACKET socket per printer) and served through libusb.
//
// One thread and one poll: the listening sockets, the clients and libusb's own descriptors.
// A READ is answered from what the printer has already sent, so one bulk IN transfer stays
// pending on every IN endpoint in use; a WRITE is one bulk OUT transfer, answered when it
// completes. libusb calls back only from inside the event handling this loop runs, and the
// callbacks do no more than note results, so no state is touched from two places at once.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "usb/device_interface.h"
#include "usb/printer_class.h"
#include "usbd/usbd.h"

static const size_t CLIENTS_MAX = 16; // per printer
static const int DRAIN_MS = 2000;     // for cancelled transfers to come back
static const int PORTS_MAX = 7;       // USB allows no deeper hub chains
static const int IN_PACKET_DEFAULT = 64;

struct printer;

// One IN endpoint of a printer: its buffered bytes and the transfer that fills them. Each
// transfer asks for one packet, so a reply that ends on a packet boundary still comes at once.
struct in_endpoint {
    printer* owner = nullptr;
    uint8_t address = 0;
    int packet = IN_PACKET_DEFAULT;
    libusb_transfer* t = nullptr;
    bool busy = false;   // submitted and not called back yet
    bool failed = false; // ended in an error that the next READ with nothing buffered reports
    usbd_fifo fifo;
};

struct printer {
    libusb_device* dev = nullptr;
    libusb_device_handle* handle = nullptr;
    std::string port;
    std::string name;
    usbd_id id = {0, 0};
    uint16_t out_mask = 0; // bulk endpoints of the interface, bit N for number N
    uint16_t in_mask = 0;
    in_endpoint in[16];
    libusb_transfer* out = nullptr;
    bool out_busy = false;
    bool out_done = false; // called back, the reply still to send
    int out_client = 0;
    uint32_t out_len = 0;
    int listen_fd = -1;
    dev_t sock_dev = 0;
    ino_t sock_ino = 0;
    int holder = 0; // the client whose OPEN holds the interface, 0 when none
};

struct client {
    int fd;
    int id;
    printer* p;
    bool open;
    int selected; // the pipe of the last IOCTL, -1 before one
    bool waiting; // a WRITE is on the bus; nothing more is read from it until the reply
};

struct hotplug_event {
    libusb_device* dev;
    bool arrived;
};

static usbd_config cfg;
static libusb_context* ctx = nullptr;
static FILE* log_file = nullptr;
static struct timespec start_time;
static std::string class_path;
static int class_fd = -1;
static std::vector<printer*> printers;
static std::vector<printer*> stuck; // transfers that never came back: never freed
static std::vector<client> clients;
static std::vector<hotplug_event> events;
static std::vector<libusb_device*> rejected; // matching devices that could not be served
static int next_client_id = 1;
static volatile sig_atomic_t stop_signal = 0;

// ---- messages -----------------------------------------------------------------------------

static long long now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec - start_time.tv_sec) * 1000 +
           (t.tv_nsec - start_time.tv_nsec) / 1000000;
}

#if defined(__GNUC__)
static void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

static void log_v(const char* fmt, va_list ap) {
    long long t = now_ms();
    // One write per line: a testbed may append to the same file.
    char line[1024];
    int n = snprintf(line, sizeof(line), "%5lld.%03lld ", t / 1000, t % 1000);
    if (n > 0 && static_cast<size_t>(n) < sizeof(line))
        vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), fmt, ap);
    fprintf(log_file, "%s\n", line);
    fflush(log_file);
}

static void log_line(const char* fmt, ...) {
    if (log_file == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_v(fmt, ap);
    va_end(ap);
}

// Goes to the technician, and to the log so that it stands among the requests.
static void complain(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("fpusbd: ", stderr);
    va_list copy;
    va_copy(copy, ap);
    vfprintf(stderr, fmt, copy);
    va_end(copy);
    fputc('\n', stderr);
    if (log_file != nullptr)
        log_v(fmt, ap);
    va_end(ap);
}

static void usb_error(const printer* p, const char* what, int err) {
    log_line("%s: %s: %s", p ? p->port.c_str() : "usb", what, libusb_error_name(err));
}

static void LIBUSB_CALL libusb_says(libusb_context*, enum libusb_log_level, const char* text) {
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    log_line("libusb: %s", s.c_str());
}

// ---- the class directory and the sockets --------------------------------------------------

static bool dir_private(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           di_dir_trusted(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

static int make_dir(int at, const char* name, const std::string& shown) {
    if (mkdirat(at, name, DI_DIR_MODE) != 0 && errno != EEXIST) {
        complain("cannot create %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        complain("cannot open %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    // Someone else's directory is theirs to fix; fpflash will simply find nothing there.
    if (!dir_private(fd))
        complain("warning: %s is not private to this user; clients will ignore it", shown.c_str());
    return fd;
}

static bool set_up_class_dir() {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0) {
        complain("the runtime directory's path is too long");
        return false;
    }
    int base_fd = make_dir(AT_FDCWD, base, base);
    if (base_fd < 0)
        return false;
    static const di_guid printer_class = FP_PRINTER_CLASS;
    char class_name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, class_name);
    class_path = std::string(base) + "/" + class_name;
    class_fd = make_dir(base_fd, class_name, class_path);
    close(base_fd);
    return class_fd >= 0;
}

// A path too long for sun_path is reached through the directory's descriptor.
static bool socket_address(const std::string& name, struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::string path = class_path + "/" + name;
    if (path.size() >= sizeof(addr->sun_path))
        path = "/proc/self/fd/" + std::to_string(class_fd) + "/" + name;
    if (path.size() >= sizeof(addr->sun_path))
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket left by a driver that died goes; one that answers belongs to a live driver.
static bool clear_name(const std::string& name) {
    struct stat st;
    if (fstatat(class_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISSOCK(st.st_mode)) {
        complain("%s/%s exists and is not a socket", class_path.c_str(), name.c_str());
        return false;
    }
    struct sockaddr_un addr;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 && socket_address(name, &addr) &&
                 connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0)
        close(fd);
    if (alive) {
        complain("another driver publishes %s/%s", class_path.c_str(), name.c_str());
        return false;
    }
    return unlinkat(class_fd, name.c_str(), 0) == 0 || errno == ENOENT;
}

static bool publish(printer* p) {
    struct sockaddr_un addr;
    if (!clear_name(p->name) || !socket_address(p->name, &addr)) {
        complain("cannot publish %s/%s", class_path.c_str(), p->name.c_str());
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat st;
    if (fd < 0 || bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 || fstatat(class_fd, p->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        complain("cannot publish %s/%s: %s", class_path.c_str(), p->name.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    p->listen_fd = fd;
    p->sock_dev = st.st_dev;
    p->sock_ino = st.st_ino;
    log_line("published %s/%s", class_path.c_str(), p->name.c_str());
    return true;
}

// Only our own socket goes: another driver may have taken the name since.
static void unpublish(printer* p) {
    if (p->listen_fd < 0)
        return;
    close(p->listen_fd);
    p->listen_fd = -1;
    struct stat st;
    if (fstatat(class_fd, p->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == p->sock_dev && st.st_ino == p->sock_ino)
        unlinkat(class_fd, p->name.c_str(), 0);
    log_line("unpublished %s", p->name.c_str());
}

// ---- transfers ----------------------------------------------------------------------------

static bool claimed(const printer* p) {
    return p->holder != 0;
}

static void in_refill(in_endpoint* e);

// The request that met the stall fails; the endpoint is usable again for the next one.
static void clear_stall(printer* p, uint8_t endpoint) {
    int r = libusb_clear_halt(p->handle, endpoint);
    if (r == 0)
        log_line("%s: 0x%02X stalled; halt cleared", p->port.c_str(), endpoint);
    else
        log_line("%s: 0x%02X stalled; clearing the halt: %s", p->port.c_str(), endpoint,
                 libusb_error_name(r));
}

static void LIBUSB_CALL in_done(libusb_transfer* t) {
    in_endpoint* e = static_cast<in_endpoint*>(t->user_data);
    e->busy = false;
    // Also a cancelled transfer may have carried bytes; they were sent, so they are kept.
    if (t->actual_length > 0 &&
        !usbd_fifo_put(&e->fifo, t->buffer, static_cast<size_t>(t->actual_length)))
        log_line("%s: IN 0x%02X: %d bytes lost", e->owner->port.c_str(), e->address,
                 t->actual_length);
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        in_refill(e);
        return;
    case LIBUSB_TRANSFER_CANCELLED:
        return;
    case LIBUSB_TRANSFER_STALL:
        clear_stall(e->owner, e->address);
        break;
    default:
        log_line("%s: IN 0x%02X: %s", e->owner->port.c_str(), e->address,
                 libusb_error_name(t->status));
        break;
    }
    e->failed = true;
}

// Keeps one transfer pending, as long as the interface is held and its whole length fits.
static void in_refill(in_endpoint* e) {
    printer* p = e->owner;
    if (e->busy || e->failed || !claimed(p) ||
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

static bool busy(const printer* p) {
    if (p->out_busy)
        return true;
    for (const in_endpoint& e : p->in)
        if (e.busy)
            return true;
    return false;
}

// Cancels what is on the bus and waits for it to come back. False when it never did.
static bool drain(printer* p) {
    if (p->out_busy)
        libusb_cancel_transfer(p->out);
    for (in_endpoint& e : p->in)
        if (e.busy)
            libusb_cancel_transfer(e.t);
    long long deadline = now_ms() + DRAIN_MS;
    while (busy(p) && now_ms() < deadline) {
        struct timeval tv = {0, 100000};
        int r = libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED) {
            usb_error(p, "waiting for cancelled transfers", r);
            break;
        }
    }
    if (busy(p)) {
        complain("%s: transfers did not come back after %d ms", p->port.c_str(), DRAIN_MS);
        return false;
    }
    return true;
}

// The client lets go: what is in flight comes back, and the interface is released. Bytes
// already received stay buffered for the next holder, as they would in the printer.
static void release(printer* p) {
    int holder = p->holder;
    p->holder = 0;
    bool drained = drain(p);
    for (in_endpoint& e : p->in)
        e.failed = false;
    if (!drained)
        return;
    int r = libusb_release_interface(p->handle, cfg.interface);
    if (r != 0 && r != LIBUSB_ERROR_NO_DEVICE)
        usb_error(p, "release interface", r);
    log_line("%s: released by #%d", p->port.c_str(), holder);
}

// ---- clients ------------------------------------------------------------------------------

static size_t client_index(int id) {
    for (size_t i = 0; i < clients.size(); i++)
        if (clients[i].id == id)
            return i;
    return SIZE_MAX;
}

static void client_gone(size_t i, const char* how) {
    client c = clients[i];
    close(c.fd);
    clients.erase(clients.begin() + static_cast<long>(i));
    log_line("#%d %s", c.id, how);
    if (c.open && c.p->holder == c.id)
        release(c.p);
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

static bool open_printer(client* c) {
    printer* p = c->p;
    if (c->open || claimed(p))
        return false;
    int r = libusb_claim_interface(p->handle, cfg.interface);
    if (r != 0) {
        usb_error(p, "claim interface", r);
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
    libusb_fill_bulk_transfer(p->out, p->handle, cfg.pipes[c.selected].out, p->out->buffer,
                              static_cast<int>(len), out_done, p,
                              static_cast<unsigned>(cfg.write_timeout_ms));
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
        log_line("#%d request of %zu bytes: refused", c.id, len);
        send_reply(i, false, 0, nullptr);
        return;
    }
    uint32_t value = di_get_u32(req + 1);
    bool ok = false;
    switch (req[0]) {
    case DI_OP_OPEN:
        ok = len == DI_HEADER_SIZE && value == DI_ACCESS && open_printer(&c);
        log_line("#%d OPEN 0x%08X: %s", c.id, value, ok ? "ok" : "refused");
        send_reply(i, ok, 0, nullptr);
        return;
    case DI_OP_IOCTL: {
        int pipe = di_pipe_endpoint(value);
        ok = len == DI_HEADER_SIZE && c.open &&
             (pipe_has(p, pipe, true) || pipe_has(p, pipe, false));
        if (ok) {
            c.selected = pipe;
            if (in_endpoint* e = pipe_in(p, pipe))
                in_refill(e);
        }
        log_line("#%d IOCTL 0x%08X: %s", c.id, value, ok ? "ok" : "failed");
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
        log_line("#%d READ %u: %s %u", c.id, value, ok ? "ok" : "failed", n);
        send_reply(i, ok, n, data);
        return;
    }
    case DI_OP_WRITE:
        if (value <= DI_TRANSFER_MAX && len == DI_HEADER_SIZE + value && c.open &&
            pipe_has(p, c.selected, true) && !p->out_busy &&
            start_write(i, req + DI_HEADER_SIZE, value))
            return;
        log_line("#%d WRITE %u: failed 0", c.id, value);
        send_reply(i, false, 0, nullptr);
        return;
    default:
        log_line("#%d op %u: refused", c.id, req[0]);
        send_reply(i, false, 0, nullptr);
        return;
    }
}

// The reply to a WRITE whose transfer came back.
static void finish_write(printer* p) {
    p->out_done = false;
    libusb_transfer* t = p->out;
    uint32_t count = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
    bool ok = false;
    const char* note = "";
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        ok = true;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        // What the printer took before the time ran out is what it has: a short write.
        ok = true;
        note = " (timed out)";
        break;
    case LIBUSB_TRANSFER_STALL:
        clear_stall(p, t->endpoint);
        break;
    default:
        log_line("%s: OUT 0x%02X: %s", p->port.c_str(), t->endpoint, libusb_error_name(t->status));
        break;
    }
    if (!ok)
        count = 0;
    size_t i = client_index(p->out_client);
    if (i == SIZE_MAX)
        return;
    clients[i].waiting = false;
    log_line("#%d WRITE %u: %s %u%s", clients[i].id, p->out_len, ok ? "ok" : "failed", count, note);
    send_reply(i, ok, count, nullptr);
}

static void serve(size_t i) {
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

static void accept_all(printer* p) {
    int fd;
    while ((fd = accept4(p->listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        size_t n = 0;
        for (const client& c : clients)
            n += c.p == p;
        if (n >= CLIENTS_MAX) {
            close(fd);
            continue;
        }
        clients.push_back({fd, next_client_id++, p, false, -1, false});
        log_line("#%d connected", clients.back().id);
    }
}

// ---- printers coming and going ------------------------------------------------------------

static bool wanted(const libusb_device_descriptor& d) {
    for (const usbd_id& id : cfg.ids)
        if (id.vid == d.idVendor && id.pid == d.idProduct)
            return true;
    return false;
}

static std::string port_of(libusb_device* dev) {
    uint8_t ports[PORTS_MAX];
    int n = libusb_get_port_numbers(dev, ports, PORTS_MAX);
    return usbd_port_path(libusb_get_bus_number(dev), ports, n);
}

// The bulk endpoints of the configured interface (alternate setting 0).
static bool find_endpoints(printer* p) {
    libusb_config_descriptor* conf = nullptr;
    int r = libusb_get_active_config_descriptor(p->dev, &conf);
    if (r != 0) {
        usb_error(p, "configuration descriptor", r);
        return false;
    }
    bool found = false;
    for (int k = 0; k < conf->bNumInterfaces; k++) {
        const libusb_interface& itf = conf->interface[k];
        if (itf.num_altsetting < 1 || itf.altsetting[0].bInterfaceNumber != cfg.interface)
            continue;
        found = true;
        const libusb_interface_descriptor& alt = itf.altsetting[0];
        for (int j = 0; j < alt.bNumEndpoints; j++) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[j];
            if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            int n = ep.bEndpointAddress & 0x0F;
            if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) == 0) {
                p->out_mask = static_cast<uint16_t>(p->out_mask | 1u << n);
                continue;
            }
            p->in_mask = static_cast<uint16_t>(p->in_mask | 1u << n);
            p->in[n].address = ep.bEndpointAddress;
            int size = ep.wMaxPacketSize & 0x7FF;
            p->in[n].packet =
                size > 0 && size <= static_cast<int>(DI_TRANSFER_MAX) ? size : IN_PACKET_DEFAULT;
        }
    }
    libusb_free_config_descriptor(conf);
    if (!found)
        complain("%s (%04x:%04x) has no interface %d; fpusbd --list shows its interfaces",
                 p->port.c_str(), p->id.vid, p->id.pid, cfg.interface);
    return found;
}

static void free_printer(printer* p) {
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

static libusb_transfer* new_transfer(size_t size) {
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr)
        return nullptr;
    t->buffer = static_cast<unsigned char*>(malloc(size));
    if (t->buffer == nullptr) {
        libusb_free_transfer(t);
        return nullptr;
    }
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    return t;
}

static void leave(size_t k, bool gone);

// Returns false when the device is no printer we can serve; it is not looked at again.
static bool arrive(libusb_device* dev) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) != 0 || !wanted(d))
        return true;
    for (const printer* q : printers)
        if (q->dev == dev)
            return true;
    printer* p = new printer;
    p->dev = libusb_ref_device(dev);
    p->id = {d.idVendor, d.idProduct};
    p->port = port_of(dev);
    p->name = usbd_instance_name(cfg, p->port);
    log_line("%s: %04x:%04x arrived", p->port.c_str(), d.idVendor, d.idProduct);
    // A port holds one device: one still listed there left without our hearing of it.
    for (size_t k = 0; k < printers.size(); k++)
        if (printers[k]->port == p->port) {
            log_line("%s: the device before it is gone", p->port.c_str());
            leave(k, true);
            break;
        }
    if (!find_endpoints(p)) {
        free_printer(p);
        return false;
    }
    int r = libusb_open(dev, &p->handle);
    if (r != 0) {
        p->handle = nullptr;
        if (r == LIBUSB_ERROR_ACCESS)
            complain("no access to the printer at USB port %s (%04x:%04x): install fpusbd's udev "
                     "rule for this ID (see fpusbd(1)), replug the printer and start fpusbd again",
                     p->port.c_str(), d.idVendor, d.idProduct);
        else
            complain("cannot open the printer at USB port %s (%04x:%04x): %s", p->port.c_str(),
                     d.idVendor, d.idProduct, libusb_error_name(r));
        free_printer(p);
        return false;
    }
    // A printer class driver may have bound it; it is given back at each release.
    libusb_set_auto_detach_kernel_driver(p->handle, 1);
    bool ok = (p->out = new_transfer(DI_TRANSFER_MAX)) != nullptr;
    for (int n = 0; n < 16 && ok; n++) {
        p->in[n].owner = p;
        if ((p->in_mask >> n) & 1u)
            ok = (p->in[n].t = new_transfer(static_cast<size_t>(p->in[n].packet))) != nullptr;
    }
    if (!ok) {
        complain("%s: out of memory", p->port.c_str());
        free_printer(p);
        return false;
    }
    if (!publish(p)) {
        free_printer(p);
        return false;
    }
    printers.push_back(p);
    return true;
}

// Unplugged or re-enumerating (`gone`), or fpusbd stopping: the socket and every connection
// to it go at once.
static void leave(size_t k, bool gone) {
    printer* p = printers[k];
    printers.erase(printers.begin() + static_cast<long>(k));
    if (gone)
        log_line("%s: %04x:%04x left", p->port.c_str(), p->id.vid, p->id.pid);
    unpublish(p);
    bool held = claimed(p);
    p->holder = 0;
    bool drained = drain(p);
    // A write the printer finished before it went is answered as it went.
    if (p->out_done)
        finish_write(p);
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i].p == p) {
            close(clients[i].fd);
            log_line("#%d cut off", clients[i].id);
            clients.erase(clients.begin() + static_cast<long>(i));
        }
    if (!drained) {
        stuck.push_back(p);
        return;
    }
    if (held && !gone) {
        int r = libusb_release_interface(p->handle, cfg.interface);
        if (r != 0)
            usb_error(p, "release interface", r);
    }
    free_printer(p);
}

static void forget_rejected(libusb_device* dev) {
    for (size_t i = rejected.size(); i-- > 0;)
        if (rejected[i] == dev) {
            libusb_unref_device(rejected[i]);
            rejected.erase(rejected.begin() + static_cast<long>(i));
        }
}

static void device_arrived(libusb_device* dev) {
    if (std::find(rejected.begin(), rejected.end(), dev) != rejected.end())
        return;
    if (!arrive(dev))
        rejected.push_back(libusb_ref_device(dev));
}

static void device_left(libusb_device* dev) {
    forget_rejected(dev);
    for (size_t k = 0; k < printers.size(); k++)
        if (printers[k]->dev == dev) {
            leave(k, true);
            return;
        }
}

static int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event ev,
                                  void*) {
    events.push_back({libusb_ref_device(dev), ev == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
    return 0;
}

// Where libusb has no hotplug events: what is on the bus now against what is published.
static void poll_bus() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        usb_error(nullptr, "device list", static_cast<int>(n));
        return;
    }
    auto present = [&](libusb_device* dev) {
        for (ssize_t i = 0; i < n; i++)
            if (list[i] == dev)
                return true;
        return false;
    };
    for (size_t k = printers.size(); k-- > 0;)
        if (!present(printers[k]->dev))
            leave(k, true);
    for (size_t i = rejected.size(); i-- > 0;)
        if (!present(rejected[i]))
            forget_rejected(rejected[i]);
    for (ssize_t i = 0; i < n; i++)
        device_arrived(list[i]);
    libusb_free_device_list(list, 1);
}

// What the callbacks noted, dealt with outside libusb's event handling.
static void after_events() {
    for (size_t k = 0; k < printers.size(); k++)
        if (printers[k]->out_done)
            finish_write(printers[k]);
    while (!events.empty()) {
        hotplug_event ev = events.front();
        events.erase(events.begin());
        if (ev.arrived)
            device_arrived(ev.dev);
        else
            device_left(ev.dev);
        libusb_unref_device(ev.dev);
    }
}

// ---- --list -------------------------------------------------------------------------------

static std::string endpoint_list(const libusb_interface_descriptor& alt, bool in) {
    std::string s;
    for (int j = 0; j < alt.bNumEndpoints; j++) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[j];
        if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK ||
            ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) != in)
            continue;
        char a[8];
        snprintf(a, sizeof(a), "0x%02X", ep.bEndpointAddress);
        s += (s.empty() ? "" : " ") + std::string(a);
    }
    return s.empty() ? "-" : s;
}

static int list_devices() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        complain("cannot list the USB devices: %s", libusb_error_name(static_cast<int>(n)));
        return USBD_EXIT_FAILED;
    }
    std::vector<std::string> rows;
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        std::string port = port_of(list[i]);
        char id[16];
        snprintf(id, sizeof(id), "%04x:%04x", d.idVendor, d.idProduct);
        std::string mark = wanted(d) ? "  <- --device" : "";
        libusb_config_descriptor* conf = nullptr;
        int r = libusb_get_active_config_descriptor(list[i], &conf);
        if (r != 0) {
            char row[256];
            snprintf(row, sizeof(row), "%-10s %-10s %s", port.c_str(), id, libusb_error_name(r));
            rows.push_back(row);
            continue;
        }
        for (int k = 0; k < conf->bNumInterfaces; k++) {
            const libusb_interface& itf = conf->interface[k];
            if (itf.num_altsetting < 1)
                continue;
            const libusb_interface_descriptor& alt = itf.altsetting[0];
            char row[512];
            snprintf(row, sizeof(row), "%-10s %-10s %-10d %-14s %-14s%s", port.c_str(), id,
                     alt.bInterfaceNumber, endpoint_list(alt, false).c_str(),
                     endpoint_list(alt, true).c_str(), mark.c_str());
            std::string line = row;
            line.erase(line.find_last_not_of(' ') + 1);
            rows.push_back(line);
        }
        libusb_free_config_descriptor(conf);
    }
    libusb_free_device_list(list, 1);
    std::sort(rows.begin(), rows.end());
    printf("%-10s %-10s %-10s %-14s %s\n", "PORT", "ID", "INTERFACE", "BULK OUT", "BULK IN");
    for (const std::string& r : rows)
        printf("%s\n", r.c_str());
    if (rows.empty())
        printf("(no USB devices visible)\n");
    return USBD_EXIT_OK;
}

// ---- the run ------------------------------------------------------------------------------

static void on_signal(int s) {
    stop_signal = s;
}

// Written whole under another name first, so a reader never sees half a line.
static bool write_ready() {
    std::string tmp = std::string(cfg.ready) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    bool ok = f != nullptr && fprintf(f, "%ld", static_cast<long>(getpid())) >= 0;
    for (const printer* p : printers)
        if (ok)
            ok = fprintf(f, " %s/%s", class_path.c_str(), p->name.c_str()) >= 0;
    if (ok)
        ok = fputc('\n', f) != EOF;
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok || rename(tmp.c_str(), cfg.ready) != 0) {
        complain("cannot write %s", cfg.ready);
        return false;
    }
    return true;
}

static bool handle_usb_events() {
    struct timeval zero = {0, 0};
    int r = libusb_handle_events_timeout_completed(ctx, &zero, nullptr);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED) {
        usb_error(nullptr, "event handling", r);
        return false;
    }
    after_events();
    return true;
}

static int run(const sigset_t* wait_mask) {
    bool use_poll = cfg.poll_ms > 0;
    long long next_poll = use_poll ? now_ms() + cfg.poll_ms : -1;
    std::vector<struct pollfd> fds;
    std::vector<int> fd_client; // the client id of each entry, 0 for the others
    std::vector<printer*> fd_printer;
    while (stop_signal == 0) {
        fds.clear();
        fd_client.clear();
        fd_printer.clear();
        for (printer* p : printers) {
            fds.push_back({p->listen_fd, POLLIN, 0});
            fd_client.push_back(0);
            fd_printer.push_back(p);
        }
        for (const client& c : clients)
            if (!c.waiting) {
                fds.push_back({c.fd, POLLIN, 0});
                fd_client.push_back(c.id);
                fd_printer.push_back(nullptr);
            }
        size_t usb_from = fds.size();
        const libusb_pollfd** usb_fds = libusb_get_pollfds(ctx);
        for (size_t k = 0; usb_fds != nullptr && usb_fds[k] != nullptr; k++)
            fds.push_back({usb_fds[k]->fd, usb_fds[k]->events, 0});
        libusb_free_pollfds(usb_fds);

        long long wait = -1;
        struct timeval tv;
        if (libusb_get_next_timeout(ctx, &tv) == 1)
            wait = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
        if (next_poll >= 0) {
            long long left = std::max(0LL, next_poll - now_ms());
            wait = wait < 0 ? left : std::min(wait, left);
        }
        struct timespec ts;
        struct timespec* timeout = nullptr;
        if (wait >= 0) {
            ts.tv_sec = static_cast<time_t>(wait / 1000);
            ts.tv_nsec = static_cast<long>(wait % 1000) * 1000000L;
            timeout = &ts;
        }
        int r = ppoll(fds.data(), fds.size(), timeout, wait_mask);
        if (r < 0 && errno != EINTR) {
            complain("poll: %s", strerror(errno));
            return USBD_EXIT_FAILED;
        }
        if (r < 0)
            continue;

        bool usb_ready = r == 0;
        for (size_t k = usb_from; k < fds.size(); k++)
            usb_ready = usb_ready || fds[k].revents != 0;
        if (usb_ready && !handle_usb_events())
            return USBD_EXIT_FAILED;
        // By id: serving one client may drop others, or a whole printer.
        for (size_t k = 0; k < usb_from; k++) {
            if (fds[k].revents == 0)
                continue;
            if (fd_client[k] != 0) {
                size_t i = client_index(fd_client[k]);
                if (i != SIZE_MAX)
                    serve(i);
            } else if (std::find(printers.begin(), printers.end(), fd_printer[k]) !=
                       printers.end()) {
                accept_all(fd_printer[k]);
            }
        }
        after_events();
        if (next_poll >= 0 && now_ms() >= next_poll) {
            poll_bus();
            next_poll = now_ms() + cfg.poll_ms;
        }
    }
    log_line("stopped by signal %d", static_cast<int>(stop_signal));
    return USBD_EXIT_OK;
}

static void shut_down(libusb_hotplug_callback_handle* hotplug) {
    while (!printers.empty())
        leave(printers.size() - 1, false);
    if (hotplug != nullptr)
        libusb_hotplug_deregister_callback(ctx, *hotplug);
    for (const hotplug_event& ev : events)
        libusb_unref_device(ev.dev);
    events.clear();
    while (!rejected.empty())
        forget_rejected(rejected.back());
    // Stuck transfers still belong to libusb; without a context they can do no harm.
    if (stuck.empty())
        libusb_exit(ctx);
    if (class_fd >= 0)
        close(class_fd);
}

int main(int argc, char** argv) {
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    int status = usbd_parse_command_line(argc, argv, &cfg);
    if (status >= 0)
        return status;
    // Lines as they happen, also into a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before libusb starts its thread, so that only the poll below takes them.
    sigset_t stoppers, wait_mask;
    sigemptyset(&stoppers);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = on_signal;
        sigaction(s, &sa, nullptr);
        sigaddset(&stoppers, s);
    }
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &stoppers, &wait_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&wait_mask, s);

    if (cfg.log != nullptr) {
        log_file = fopen(cfg.log, "ae");
        if (log_file == nullptr) {
            complain("cannot write %s: %s", cfg.log, strerror(errno));
            return USBD_EXIT_FAILED;
        }
    }
    int r = libusb_init(&ctx);
    if (r != 0) {
        complain("cannot start libusb: %s", libusb_error_name(r));
        return USBD_EXIT_FAILED;
    }
    if (log_file != nullptr) {
        libusb_set_log_cb(ctx, libusb_says, LIBUSB_LOG_CB_CONTEXT);
        libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
    }
    if (cfg.list) {
        status = list_devices();
        libusb_exit(ctx);
        return status;
    }
    if (!set_up_class_dir()) {
        libusb_exit(ctx);
        return USBD_EXIT_FAILED;
    }

    libusb_hotplug_callback_handle hotplug;
    bool have_hotplug = cfg.poll_ms == 0 && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (have_hotplug) {
        // Devices already present are announced too, from within the registration.
        r = libusb_hotplug_register_callback(
            ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, nullptr, &hotplug);
        if (r != 0) {
            usb_error(nullptr, "hotplug registration; listing the bus instead", r);
            have_hotplug = false;
        }
    }
    if (!have_hotplug && cfg.poll_ms == 0)
        cfg.poll_ms = 1000;
    log_line("following the bus by %s", have_hotplug ? "hotplug events" : "listing it");
    if (have_hotplug)
        after_events();
    else
        poll_bus();

    status = USBD_EXIT_FAILED;
    if (cfg.ready == nullptr || write_ready())
        status = run(&wait_mask);
    while (!clients.empty()) {
        close(clients.back().fd);
        clients.pop_back();
    }
    shut_down(have_hotplug ? &hotplug : nullptr);
    if (log_file != nullptr)
        fclose(log_file);
    return status;
}
