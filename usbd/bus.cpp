// Printers coming and going on the bus, the places they keep while they re-enumerate, their
// sockets, and --list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "di/trace.h"
#include "usbd/fpusbd.h"

static const int PORTS_MAX = 7; // USB allows no deeper hub chains
// The kernel gives a cancelled URB back at once; transfers still out after this never will be.
static const int CANCEL_BOUND_MS = 2000;
// udev gives a new device node its owner and mode a moment after the kernel announces it: a
// device refused with an access error is tried again for this long.
static const int ACCESS_RETRY_MS = 5000;
static const int ACCESS_STEP_MS = 200;
// At the end, what transfers cancelled then may take to come back.
static const int STOP_DRAIN_MS = 300;

struct hotplug_event {
    libusb_device* dev;
    bool arrived;
};

struct access_wait {
    libusb_device* dev;
    long long first_ms;
    long long next_ms;
};

static usbd_config cfg;
static libusb_context* ctx = nullptr;
static bool have_hotplug = false;
static libusb_hotplug_callback_handle hotplug;
static long long next_poll_ms = -1;    // where the bus is listed instead
static std::vector<printer*> printers; // the places, present or away
static std::vector<hotplug_event> events;
// Devices not to look at again until they are plugged in anew: matching nothing, or not
// servable. Each was logged once, when it was put here.
static std::vector<libusb_device*> rejected;
static std::vector<access_wait> no_access;
// Devices gone or let go, until their cancelled transfers are back; `stuck` keeps those that
// never came back, which libusb still owns.
static std::vector<printer*> retired;
static std::vector<printer*> stuck;

enum arrival { ARRIVAL_SERVED, ARRIVAL_REJECTED, ARRIVAL_NO_ACCESS };

static std::string port_of(libusb_device* dev) {
    uint8_t ports[PORTS_MAX];
    int n = libusb_get_port_numbers(dev, ports, PORTS_MAX);
    return usbd_port_path(libusb_get_bus_number(dev), ports, n);
}

void usb_error(const printer* p, const char* what, int err) {
    di_log("%s: %s: %s", p ? p->port.c_str() : "usb", what, libusb_error_name(err));
}

// The bulk endpoints of one direction, "0x01,0x03", for the trace; "-" for none.
static std::string endpoint_list(uint16_t mask, uint8_t direction) {
    std::string s;
    char a[8];
    for (int n = 1; n < 16; n++)
        if ((static_cast<unsigned>(mask) >> n) & 1u) {
            snprintf(a, sizeof(a), "%s0x%02x", s.empty() ? "" : ",", direction | n);
            s += a;
        }
    return s.empty() ? "-" : s;
}

static bool publish(printer* p) {
    if (!di_publish(p->name, &p->sock))
        return false;
    di_log("published %s/%s", di_class_path().c_str(), p->name.c_str());
    di_trace("published %s", p->name.c_str());
    return true;
}

static void unpublish(printer* p) {
    if (p->sock.listen_fd < 0)
        return;
    di_unpublish(p->name, &p->sock);
    di_log("unpublished %s", p->name.c_str());
    di_trace("unpublished %s", p->name.c_str());
}

static printer* new_place(const std::string& port, const std::string& name, uint16_t vid) {
    printer* p = new printer;
    p->port = port;
    p->name = name;
    p->vid = vid;
    for (in_endpoint& e : p->in)
        e.owner = p;
    return p;
}

static size_t place_at(const std::string& port) {
    for (size_t k = 0; k < printers.size(); k++)
        if (printers[k]->port == port)
            return k;
    return SIZE_MAX;
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
            int size = ep.wMaxPacketSize & 0x7FF;
            if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) == 0) {
                p->out_mask = static_cast<uint16_t>(p->out_mask | 1u << n);
                p->out_packet[n] = size;
                continue;
            }
            p->in_mask = static_cast<uint16_t>(p->in_mask | 1u << n);
            p->in[n].address = ep.bEndpointAddress;
            p->in[n].packet =
                size > 0 && size <= static_cast<int>(DI_TRANSFER_MAX) ? size : IN_PACKET_DEFAULT;
        }
    }
    libusb_free_config_descriptor(conf);
    if (!found)
        di_complain("%s (%04x:%04x) has no interface %d; fpusbd --list shows its interfaces",
                    p->port.c_str(), p->id.vid, p->id.pid, cfg.interface);
    return found;
}

// Lets go of the device part of `p`; the place stays as it is.
static void free_device(printer* p) {
    for (in_endpoint& e : p->in) {
        if (e.t != nullptr)
            libusb_free_transfer(e.t); // frees the buffer too
        e.t = nullptr;
        e.busy = e.failed = e.stalled = false;
        e.fifo.head = e.fifo.count = 0;
        e.packet = IN_PACKET_DEFAULT;
    }
    if (p->out != nullptr)
        libusb_free_transfer(p->out);
    p->out = nullptr;
    if (p->handle != nullptr)
        libusb_close(p->handle);
    p->handle = nullptr;
    if (p->dev != nullptr)
        libusb_unref_device(p->dev);
    p->dev = nullptr;
    p->claimed = false;
    p->out_mask = p->in_mask = 0;
    std::fill(std::begin(p->out_packet), std::end(p->out_packet), 0);
    p->out_busy = p->out_done = false;
    p->cancelled_ms = -1;
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

// Opens the device `p->dev` and makes its transfers.
static arrival open_device(printer* p, bool followed) {
    if (!find_endpoints(p))
        return ARRIVAL_REJECTED;
    if (followed && !usbd_serves_a_pipe(cfg, p->out_mask, p->in_mask)) {
        di_log("%s: %04x:%04x has none of the printer's bulk endpoints: not followed",
               p->port.c_str(), p->id.vid, p->id.pid);
        return ARRIVAL_REJECTED;
    }
    int r = libusb_open(p->dev, &p->handle);
    if (r != 0) {
        p->handle = nullptr;
        if (r == LIBUSB_ERROR_ACCESS)
            return ARRIVAL_NO_ACCESS;
        di_complain("cannot open the printer at USB port %s (%04x:%04x): %s", p->port.c_str(),
                    p->id.vid, p->id.pid, libusb_error_name(r));
        return ARRIVAL_REJECTED;
    }
    // A printer class driver may have bound it; libusb detaches it at the claim and attaches
    // it again at the release.
    libusb_set_auto_detach_kernel_driver(p->handle, 1);
    bool ok = (p->out = new_transfer(DI_TRANSFER_MAX)) != nullptr;
    for (int n = 0; n < 16 && ok; n++)
        if ((static_cast<unsigned>(p->in_mask) >> n) & 1u)
            ok = (p->in[n].t = new_transfer(static_cast<size_t>(p->in[n].packet))) != nullptr;
    if (!ok) {
        di_complain("%s: out of memory", p->port.c_str());
        return ARRIVAL_REJECTED;
    }
    return ARRIVAL_SERVED;
}

// The device part of `p` goes, released first when `release` (the kernel's driver attached
// again); `p` is freed once its cancelled transfers are back.
static void retire(printer* p, bool release) {
    cancel_transfers(p);
    if (release && p->claimed) {
        int r = libusb_release_interface(p->handle, cfg.interface);
        if (r != 0 && r != LIBUSB_ERROR_NO_DEVICE)
            usb_error(p, "release interface", r);
        else if (r == 0)
            di_log("%s: interface %d released", p->port.c_str(), cfg.interface);
        p->claimed = false;
    }
    if (p->dev == nullptr || !busy(p)) {
        free_device(p);
        delete p;
        return;
    }
    retired.push_back(p);
}

// Printer `k`'s device goes: unplugged or re-enumerating (`gone`), or let go by fpusbd. Every
// connection to it is cut. Its place is kept for the device that follows (`keep`), or goes
// with it.
static void leave(size_t k, bool gone, bool keep) {
    printer* p = printers[k];
    if (gone) {
        di_log("%s: %04x:%04x left", p->port.c_str(), p->id.vid, p->id.pid);
        di_trace("left %s %04x:%04x", p->port.c_str(), p->id.vid, p->id.pid);
    }
    // A write the printer finished before it went is answered as it went.
    if (p->out_done)
        finish_write(p);
    cut_clients(p);
    p->holder = 0;
    if (keep) {
        printer* q = new_place(p->port, p->name, p->vid);
        q->sock = p->sock;
        p->sock.listen_fd = -1;
        q->updating = p->updating;
        q->id = p->id;
        q->left_ms = di_now_ms();
        printers[k] = q;
        di_log("%s: kept for %d s for the printer to come back", q->name.c_str(),
               USBD_FOLLOW_GRACE_MS / 1000);
    } else {
        unpublish(p);
        printers.erase(printers.begin() + static_cast<long>(k));
    }
    retire(p, !gone);
}

// Returns ARRIVAL_REJECTED for a device that is not to be looked at again until replugged.
static arrival arrive(libusb_device* dev) {
    for (const printer* q : printers)
        if (q->dev == dev)
            return ARRIVAL_SERVED;
    std::string port = port_of(dev);
    libusb_device_descriptor d;
    int r = libusb_get_device_descriptor(dev, &d);
    if (r != 0) {
        di_log("%s: device descriptor: %s; skipped", port.c_str(), libusb_error_name(r));
        return ARRIVAL_REJECTED;
    }
    size_t k = place_at(port);
    // A port holds one device: one still there left without our hearing of it.
    if (k != SIZE_MAX && printers[k]->dev != nullptr) {
        di_log("%s: the device before it is gone", port.c_str());
        leave(k, true, true);
    }
    printer* place = k != SIZE_MAX ? printers[k] : nullptr;
    bool followed = place != nullptr && usbd_follows(place->port, place->vid, place->left_ms, port,
                                                     d.idVendor, di_now_ms());
    if (!followed && !usbd_wanted(cfg, d.idVendor, d.idProduct)) {
        di_log("%s: %04x:%04x skipped: no --device names it", port.c_str(), d.idVendor,
               d.idProduct);
        return ARRIVAL_REJECTED;
    }
    if (place != nullptr && !followed) {
        // Another vendor's device where a printer was: that printer is not coming back.
        leave(k, false, false);
        place = nullptr;
    }
    printer* p =
        place != nullptr ? place : new_place(port, usbd_instance_name(cfg, port), d.idVendor);
    usbd_id before = p->id;
    p->dev = libusb_ref_device(dev);
    p->id = {d.idVendor, d.idProduct};
    arrival a = open_device(p, followed);
    if (a == ARRIVAL_SERVED)
        di_trace("arrived %s %04x:%04x interface %d out %s in %s", port.c_str(), d.idVendor,
                 d.idProduct, cfg.interface, endpoint_list(p->out_mask, 0x00).c_str(),
                 endpoint_list(p->in_mask, 0x80).c_str());
    if (a == ARRIVAL_SERVED && place == nullptr && !publish(p))
        a = ARRIVAL_REJECTED;
    if (a != ARRIVAL_SERVED) {
        free_device(p);
        p->id = before;
        if (place == nullptr)
            delete p;
        return a;
    }
    if (place == nullptr) {
        di_log("%s: %04x:%04x arrived", port.c_str(), d.idVendor, d.idProduct);
        printers.push_back(p);
    } else {
        di_log("%s: %04x:%04x arrived where %04x:%04x left %lld ms before: followed as %s",
               port.c_str(), d.idVendor, d.idProduct, before.vid, before.pid,
               di_now_ms() - p->left_ms, p->name.c_str());
        p->left_ms = -1;
    }
    // Mid-update the new device is claimed at once, before the kernel's driver (or a spooler
    // behind it) can take it while fpflash waits to reopen the printer.
    if (p->updating)
        claim(p);
    return ARRIVAL_SERVED;
}

static void forget(std::vector<libusb_device*>* list, const libusb_device* dev) {
    for (size_t i = list->size(); i-- > 0;)
        if ((*list)[i] == dev) {
            libusb_unref_device((*list)[i]);
            list->erase(list->begin() + static_cast<long>(i));
        }
}

static void forget_no_access(const libusb_device* dev) {
    for (size_t i = no_access.size(); i-- > 0;)
        if (no_access[i].dev == dev) {
            libusb_unref_device(no_access[i].dev);
            no_access.erase(no_access.begin() + static_cast<long>(i));
        }
}

static void device_arrived(libusb_device* dev) {
    bool waiting = std::any_of(no_access.begin(), no_access.end(),
                               [dev](const access_wait& w) { return w.dev == dev; });
    if (waiting || std::find(rejected.begin(), rejected.end(), dev) != rejected.end())
        return;
    arrival a = arrive(dev);
    if (a == ARRIVAL_REJECTED) {
        rejected.push_back(libusb_ref_device(dev));
    } else if (a == ARRIVAL_NO_ACCESS) {
        di_log("%s: no access to its device node yet; trying again for %d s", port_of(dev).c_str(),
               ACCESS_RETRY_MS / 1000);
        long long now = di_now_ms();
        no_access.push_back({libusb_ref_device(dev), now, now + ACCESS_STEP_MS});
    }
}

static void device_left(libusb_device* dev) {
    forget(&rejected, dev);
    forget_no_access(dev);
    for (size_t k = 0; k < printers.size(); k++)
        if (printers[k]->dev == dev) {
            leave(k, true, true);
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
    auto present = [&](const libusb_device* dev) {
        for (ssize_t i = 0; i < n; i++)
            if (list[i] == dev)
                return true;
        return false;
    };
    for (size_t k = printers.size(); k-- > 0;)
        if (printers[k]->dev != nullptr && !present(printers[k]->dev))
            leave(k, true, true);
    for (size_t i = rejected.size(); i-- > 0;)
        if (!present(rejected[i]))
            forget(&rejected, rejected[i]);
    for (size_t i = no_access.size(); i-- > 0;)
        if (!present(no_access[i].dev))
            forget_no_access(no_access[i].dev);
    for (ssize_t i = 0; i < n; i++)
        device_arrived(list[i]);
    libusb_free_device_list(list, 1);
}

static void retry_access(long long now) {
    for (size_t i = no_access.size(); i-- > 0;) {
        access_wait w = no_access[i];
        if (now < w.next_ms)
            continue;
        arrival a = arrive(w.dev);
        if (a == ARRIVAL_NO_ACCESS && now - w.first_ms < ACCESS_RETRY_MS) {
            no_access[i].next_ms = now + ACCESS_STEP_MS;
            continue;
        }
        no_access.erase(no_access.begin() + static_cast<long>(i));
        if (a == ARRIVAL_NO_ACCESS) {
            libusb_device_descriptor d = {};
            libusb_get_device_descriptor(w.dev, &d);
            di_complain("no access to the printer at USB port %s (%04x:%04x) for this user; "
                        "not served",
                        port_of(w.dev).c_str(), d.idVendor, d.idProduct);
        }
        if (a == ARRIVAL_SERVED)
            libusb_unref_device(w.dev);
        else
            rejected.push_back(w.dev);
    }
}

// What falls due by the clock: devices whose cancelled transfers are back (or never will be),
// places given up, access tried again.
static void run_due() {
    long long now = di_now_ms();
    for (size_t i = retired.size(); i-- > 0;) {
        printer* p = retired[i];
        if (!busy(p)) {
            free_device(p);
            delete p;
        } else if (now - p->cancelled_ms >= CANCEL_BOUND_MS) {
            di_log("%s: transfers of %04x:%04x not back %d ms after they were cancelled; "
                   "left to libusb",
                   p->port.c_str(), p->id.vid, p->id.pid, CANCEL_BOUND_MS);
            stuck.push_back(p);
        } else {
            continue;
        }
        retired.erase(retired.begin() + static_cast<long>(i));
    }
    for (size_t k = printers.size(); k-- > 0;) {
        printer* p = printers[k];
        if (p->dev == nullptr) {
            if (now - p->left_ms > USBD_FOLLOW_GRACE_MS) {
                di_log("%s: not back within %d s; %s given up", p->port.c_str(),
                       USBD_FOLLOW_GRACE_MS / 1000, p->name.c_str());
                leave(k, false, false);
            }
            continue;
        }
        if (p->cancelled_ms < 0)
            continue;
        if (!busy(p)) {
            p->cancelled_ms = -1;
        } else if (now - p->cancelled_ms >= CANCEL_BOUND_MS) {
            // Released, which takes every URB back in the kernel; not served again until the
            // printer is plugged in anew.
            di_log("%s: transfers not back %d ms after they were cancelled; the printer is "
                   "let go",
                   p->port.c_str(), CANCEL_BOUND_MS);
            rejected.push_back(libusb_ref_device(p->dev));
            leave(k, false, true);
        }
    }
    retry_access(now);
}

static long long next_due() {
    long long due = -1;
    auto take = [&due](long long t) {
        if (due < 0 || t < due)
            due = t;
    };
    for (const printer* p : retired)
        take(p->cancelled_ms + CANCEL_BOUND_MS);
    for (const printer* p : printers)
        if (p->dev == nullptr)
            take(p->left_ms + USBD_FOLLOW_GRACE_MS + 1);
        else if (p->cancelled_ms >= 0)
            take(p->cancelled_ms + CANCEL_BOUND_MS);
    for (const access_wait& w : no_access)
        take(w.next_ms);
    if (next_poll_ms >= 0)
        take(next_poll_ms);
    return due;
}

void bus_after_events() {
    for (printer* p : printers) {
        if (p->out_done)
            finish_write(p);
        if (p->handle != nullptr)
            clear_stalls(p);
    }
    while (!events.empty()) {
        hotplug_event ev = events.front();
        events.erase(events.begin());
        if (ev.arrived)
            device_arrived(ev.dev);
        else
            device_left(ev.dev);
        libusb_unref_device(ev.dev);
    }
    run_due();
    if (next_poll_ms >= 0 && di_now_ms() >= next_poll_ms) {
        poll_bus();
        next_poll_ms = di_now_ms() + cfg.poll_ms;
    }
}

// ---- the loop's view of the bus -------------------------------------------------------------

static void LIBUSB_CALL libusb_says(libusb_context*, enum libusb_log_level, const char* text) {
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    di_log("%s", s.c_str());
}

bool bus_open(const usbd_config& c) {
    cfg = c;
    int r = libusb_init(&ctx);
    if (r != 0) {
        di_complain("cannot start libusb: %s", libusb_error_name(r));
        return false;
    }
    if (cfg.log != nullptr) {
        // Global: libusb writes to stderr whatever no global handler takes.
        libusb_set_log_cb(nullptr, libusb_says, LIBUSB_LOG_CB_GLOBAL);
        libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
    }
    return true;
}

void bus_follow() {
    have_hotplug = cfg.poll_ms == 0 && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (have_hotplug) {
        // Devices already present are announced too, from within the registration.
        int r = libusb_hotplug_register_callback(
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
    di_log("following the bus by %s", have_hotplug ? "hotplug events" : "listing it");
    // Listing it, the first listing is due at once.
    if (!have_hotplug)
        next_poll_ms = 0;
    bus_after_events();
}

void bus_listeners(std::vector<struct pollfd>* fds, std::vector<printer*>* ps) {
    for (printer* p : printers) {
        fds->push_back({p->sock.listen_fd, POLLIN, 0});
        ps->push_back(p);
    }
}

bool bus_serves(const printer* p) {
    return std::find(printers.begin(), printers.end(), p) != printers.end();
}

bool bus_has_printers() {
    return !printers.empty() || !no_access.empty();
}

long long bus_poll_fds(std::vector<struct pollfd>* fds) {
    const libusb_pollfd** usb_fds = libusb_get_pollfds(ctx);
    for (size_t k = 0; usb_fds != nullptr && usb_fds[k] != nullptr; k++)
        fds->push_back({usb_fds[k]->fd, usb_fds[k]->events, 0});
    libusb_free_pollfds(usb_fds);
    long long due = next_due();
    struct timeval tv;
    if (libusb_get_next_timeout(ctx, &tv) == 1) {
        long long t =
            di_now_ms() + static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
        due = due < 0 || t < due ? t : due;
    }
    return due;
}

bool bus_events() {
    struct timeval zero = {0, 0};
    int r = libusb_handle_events_timeout_completed(ctx, &zero, nullptr);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED) {
        usb_error(nullptr, "event handling", r);
        return false;
    }
    bus_after_events();
    return true;
}

std::string bus_ready_text() {
    std::string s;
    for (const printer* p : printers)
        s += " " + di_class_path() + "/" + p->name;
    return s;
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

int list_devices() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        di_complain("cannot list the USB devices: %s", libusb_error_name(static_cast<int>(n)));
        return DI_EXIT_FAILED;
    }
    std::vector<std::string> rows;
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        std::string port = port_of(list[i]);
        char id[16];
        snprintf(id, sizeof(id), "%04x:%04x", d.idVendor, d.idProduct);
        std::string mark = usbd_wanted(cfg, d.idVendor, d.idProduct) ? "  <- --device" : "";
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
    return DI_EXIT_OK;
}

static bool forget_bus() {
    // The sockets first: nothing below, which waits on the bus, may keep them up.
    for (printer* p : printers)
        unpublish(p);
    while (!printers.empty())
        leave(printers.size() - 1, false, false);
    long long until = di_now_ms() + STOP_DRAIN_MS;
    while (!retired.empty() && di_now_ms() < until) {
        struct timeval tv = {0, 20000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        for (size_t i = retired.size(); i-- > 0;)
            if (!busy(retired[i])) {
                free_device(retired[i]);
                delete retired[i];
                retired.erase(retired.begin() + static_cast<long>(i));
            }
    }
    for (const hotplug_event& ev : events)
        libusb_unref_device(ev.dev);
    events.clear();
    while (!rejected.empty())
        forget(&rejected, rejected.back());
    while (!no_access.empty())
        forget_no_access(no_access.back().dev);
    return retired.empty() && stuck.empty();
}

void bus_close() {
    if (have_hotplug)
        libusb_hotplug_deregister_callback(ctx, hotplug);
    // Transfers that never came back still belong to libusb; without a context they can do
    // no harm.
    if (forget_bus())
        libusb_exit(ctx);
}
