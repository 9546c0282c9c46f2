// The bus: printers coming and going, the places they keep while they re-enumerate and the
// sockets published for them, devices retired until their transfers are back, and --list.
//
// A place is a printer as fpflash sees it: published under one name for the printer at one
// port, with the device there now. It outlives its device while the printer re-enumerates
// (into its loader and back), so that no other printer takes its turn; the device that comes
// back to the port (or to its peer on the other bus of a USB 2/USB 3 pair: one connector), of
// the same vendor, takes the place over. It keeps the printer's update too: from a client's
// OPEN until no client has held it for USBD_QUIET_MS, the printer's interface stays claimed,
// on every device that follows it, and is then given back to the kernel's driver.
#include <algorithm>
#include <climits>
#include <cstdio>
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

struct usbd_place {
    std::string port; // where its device is, or was last
    std::string name;
    uint16_t vid = 0;
    di_socket sock;         // published while its listen_fd >= 0
    printer* dev = nullptr; // none while it is away
    usbd_id last = {0, 0};  // the device that left it
    long long left_ms = -1; // when that was; -1 while one is there
    // The update: held by a client when last looked, and since when no client has held it
    // (-1: no update going on).
    bool held = false;
    long long quiet_from = -1;
    bool said_refused = false; // a refused claim said on stderr, for this printer
};

// How a device leaves its place: gone from the bus, let go by fpusbd, or its node failed.
enum departure { DEVICE_GONE, DEVICE_LET_GO, DEVICE_FAILED };

struct hotplug_event {
    libusb_device* dev;
    bool arrived;
};

struct access_wait {
    libusb_device* dev;
    long long first_ms;
    long long next_ms;
};

static const usbd_config* cfg = nullptr;
static libusb_context* ctx = nullptr;
static bool have_hotplug = false;
static libusb_hotplug_callback_handle hotplug;
static int poll_ms = 0; // how often the bus is listed, where it is
static long long next_poll_ms = -1;
static std::vector<usbd_place*> places;   // present or away
static std::vector<usbd_place*> listened; // the places usbd_bus_listeners put in fds
static std::vector<hotplug_event> events;
// Devices not to look at again until they are plugged in anew: matching nothing, or not
// servable. Each was logged once, when it was put here.
static std::vector<libusb_device*> rejected;
static std::vector<access_wait> no_access;
// Devices gone or let go, until their cancelled transfers and their calls are back.
static std::vector<printer*> retired;

enum arrival { ARRIVAL_SERVED, ARRIVAL_REJECTED, ARRIVAL_NO_ACCESS };

static std::string port_of(libusb_device* dev) {
    uint8_t ports[PORTS_MAX];
    int n = libusb_get_port_numbers(dev, ports, PORTS_MAX);
    return usbd_port_path(libusb_get_bus_number(dev), ports, n);
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

static bool publish(usbd_place* q) {
    if (!di_publish(q->name, &q->sock))
        return false;
    di_log("published %s/%s", di_class_path().c_str(), q->name.c_str());
    di_trace("published %s", q->name.c_str());
    return true;
}

static void unpublish(usbd_place* q) {
    if (q->sock.listen_fd < 0)
        return;
    di_unpublish(q->name, &q->sock);
    di_log("unpublished %s", q->name.c_str());
    di_trace("unpublished %s", q->name.c_str());
}

static size_t place_at(const std::string& port) {
    for (size_t k = 0; k < places.size(); k++)
        if (places[k]->port == port)
            return k;
    return SIZE_MAX;
}

// The device goes for good; `p` is freed once its cancelled transfers are back.
static void retire(printer* p, departure how) {
    if (how == DEVICE_FAILED)
        usbd_dev_drop(p);
    else
        usbd_dev_retire(p, how == DEVICE_LET_GO);
    if (usbd_dev_busy(p))
        retired.push_back(p);
    else
        usbd_dev_free(p);
}

// The update at place `q` goes on while a client holds its printer, and for USBD_QUIET_MS
// after the last one let go of it, also across re-enumerations.
static void watch_update(usbd_place* q, long long now) {
    const printer* p = q->dev;
    if (p == nullptr)
        return;
    if (usbd_dev_held(p)) {
        q->held = true;
        q->quiet_from = now;
        return;
    }
    if (q->held)
        q->quiet_from = std::max(q->quiet_from, usbd_dev_let_go_ms(p));
    q->held = false;
    // Claimed for a client that let go before it was looked at.
    if (usbd_dev_claimed(p) && q->quiet_from < 0)
        q->quiet_from = now;
}

// Place `k`'s device goes, if it has one. Every connection to the place is cut. The place is
// kept for the device that follows (`keep`), or goes with it.
static void leave(size_t k, departure how, bool keep) {
    usbd_place* q = places[k];
    printer* p = q->dev;
    if (p != nullptr) {
        q->last = usbd_dev_id(p);
        if (how == DEVICE_GONE) {
            di_log("%s: %04x:%04x left", q->port.c_str(), q->last.vid, q->last.pid);
            di_trace("left %s %04x:%04x", q->port.c_str(), q->last.vid, q->last.pid);
        }
        watch_update(q, di_now_ms());
        usbd_dev_going(p, how == DEVICE_GONE);
    }
    di_clients_cut(q);
    if (p != nullptr) {
        q->said_refused = usbd_dev_said_refused(p);
        q->held = false;
        q->dev = nullptr;
        q->left_ms = di_now_ms();
        retire(p, how);
    }
    if (keep) {
        di_log("%s: kept for %d s for the printer to come back", q->name.c_str(),
               USBD_FOLLOW_GRACE_MS / 1000);
        return;
    }
    unpublish(q);
    places.erase(places.begin() + static_cast<long>(k));
    delete q;
}

// The port that shares the connector of the device at `port`, on the other bus of a USB 2/USB 3
// pair, as the kernel links them in sysfs; "" where it links none.
static std::string peer_of(const std::string& port) {
    char link[PATH_MAX];
    ssize_t n =
        readlink(("/sys/bus/usb/devices/" + port + "/port/peer").c_str(), link, sizeof(link) - 1);
    if (n <= 0)
        return "";
    link[n] = '\0';
    return usbd_peer_port(link);
}

// Why a device of a vendor --device names is no printer, for the warning.
static std::string no_printer_because(const usbd_shape& shape) {
    char why[160];
    if (shape.missing) {
        snprintf(why, sizeof(why), "it has no interface %d", cfg->interface);
        return why;
    }
    const usbd_pipe& a = cfg->pipes[USBD_FIRMWARE_PIPE];
    const usbd_pipe& b = cfg->pipes[USBD_LOADER_PIPE];
    snprintf(why, sizeof(why),
             "its interface %d has no bulk OUT/IN pair of the printer's (0x%02X/0x%02X or "
             "0x%02X/0x%02X)",
             cfg->interface, a.out, a.in, b.out, b.in);
    return why;
}

// Returns ARRIVAL_REJECTED for a device that is not to be looked at again until replugged.
static arrival arrive(libusb_device* dev) {
    for (const usbd_place* q : places)
        if (q->dev != nullptr && usbd_dev_device(q->dev) == dev)
            return ARRIVAL_SERVED;
    std::string port = port_of(dev);
    libusb_device_descriptor d;
    int r = libusb_get_device_descriptor(dev, &d);
    if (r != 0) {
        di_warn("%s: device descriptor: %s; skipped", port.c_str(), libusb_error_name(r));
        return ARRIVAL_REJECTED;
    }
    size_t k = place_at(port);
    // A port holds one device: one still there left without our hearing of it.
    if (k != SIZE_MAX && places[k]->dev != nullptr) {
        di_log("%s: the device before it is gone", port.c_str());
        leave(k, DEVICE_GONE, true);
    }
    usbd_arrival a = {port, peer_of(port), {d.idVendor, d.idProduct}, {}};
    // What a device of such a vendor is depends on its shape; another vendor's is not read.
    bool vendor = usbd_vendor_named(*cfg, a.id.vid);
    printer* p = vendor ? usbd_dev_new(dev, port, a.id, *cfg) : nullptr;
    if (vendor && p == nullptr)
        return ARRIVAL_REJECTED;
    if (p != nullptr)
        a.shape = usbd_dev_shape(p);
    std::vector<usbd_place_facts> facts;
    for (const usbd_place* q : places)
        facts.push_back({q->port, q->vid, q->left_ms});
    usbd_verdict v = usbd_judge(*cfg, facts, a, di_now_ms());
    const usbd_id& id = a.id;
    usbd_place* place = v.take == USBD_FOLLOWED ? places[v.place] : nullptr;
    // Something else at the connector where a printer was: that printer is not coming back.
    if (v.take != USBD_FOLLOWED && v.place != SIZE_MAX) {
        di_warn("%s: %04x:%04x arrived where the printer was; %s given up", port.c_str(), id.vid,
                id.pid, places[v.place]->name.c_str());
        leave(v.place, DEVICE_LET_GO, false);
    }
    if (v.take == USBD_SKIPPED || v.take == USBD_NOT_PRINTER) {
        if (v.take == USBD_NOT_PRINTER)
            di_warn("%s: %04x:%04x is no printer: %s; not served", port.c_str(), id.vid, id.pid,
                    no_printer_because(a.shape).c_str());
        else
            di_log("%s: %04x:%04x skipped: no --device names it%s", port.c_str(), id.vid, id.pid,
                   p != nullptr ? ", and it has not the loader's pipes" : "");
        if (p != nullptr)
            usbd_dev_free(p);
        return ARRIVAL_REJECTED;
    }
    r = usbd_dev_open(p);
    if (r != 0) {
        usbd_dev_free(p);
        return r == LIBUSB_ERROR_ACCESS ? ARRIVAL_NO_ACCESS : ARRIVAL_REJECTED;
    }
    di_trace("arrived %s %04x:%04x interface %d out %s in %s", port.c_str(), id.vid, id.pid,
             cfg->interface, endpoint_list(a.shape.out, 0x00).c_str(),
             endpoint_list(a.shape.in, 0x80).c_str());
    if (place == nullptr) {
        place = new usbd_place;
        place->port = port;
        place->name = v.name;
        place->vid = id.vid;
        if (!publish(place)) {
            delete place;
            usbd_dev_free(p);
            return ARRIVAL_REJECTED;
        }
        di_log("%s: %04x:%04x arrived%s", port.c_str(), id.vid, id.pid,
               v.rescued ? " with the loader's pipes: a printer in its loader" : "");
        places.push_back(place);
    } else {
        di_log("%s: %04x:%04x arrived where %04x:%04x left %lld ms before%s%s: followed as %s",
               port.c_str(), id.vid, id.pid, place->last.vid, place->last.pid,
               di_now_ms() - place->left_ms, port == place->port ? "" : " at its peer ",
               port == place->port ? "" : place->port.c_str(), place->name.c_str());
        place->port = port;
        place->left_ms = -1;
    }
    place->dev = p;
    usbd_dev_take_up(p, place->said_refused);
    // Mid-update the new device is claimed at once, before the kernel's driver (or a spooler
    // behind it) can take it while fpflash waits to reopen the printer.
    if (place->quiet_from >= 0 && di_now_ms() - place->quiet_from < USBD_QUIET_MS)
        usbd_dev_claim(p);
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
    for (size_t k = 0; k < places.size(); k++)
        if (places[k]->dev != nullptr && usbd_dev_device(places[k]->dev) == dev) {
            leave(k, DEVICE_GONE, true);
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
        usbd_usb_error(nullptr, "device list", static_cast<int>(n), true);
        return;
    }
    auto present = [&](const libusb_device* dev) {
        for (ssize_t i = 0; i < n; i++)
            if (list[i] == dev)
                return true;
        return false;
    };
    for (size_t k = places.size(); k-- > 0;)
        if (places[k]->dev != nullptr && !present(usbd_dev_device(places[k]->dev)))
            leave(k, DEVICE_GONE, true);
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
            di_warn("no access to the printer at USB port %s (%04x:%04x) for this user; "
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
// updates over, places given up, access tried again.
static void run_due() {
    long long now = di_now_ms();
    for (size_t i = retired.size(); i-- > 0;) {
        printer* p = retired[i];
        long long cancelled = usbd_dev_cancelled_ms(p);
        if (cancelled >= 0 && now - cancelled >= CANCEL_BOUND_MS) {
            usbd_id id = usbd_dev_id(p);
            di_warn("%s: transfers of %04x:%04x not back %d ms after they were cancelled; its "
                    "device node closed",
                    usbd_dev_port(p).c_str(), id.vid, id.pid, CANCEL_BOUND_MS);
            usbd_dev_drop(p);
        }
        if (!usbd_dev_busy(p)) {
            usbd_dev_free(p);
            retired.erase(retired.begin() + static_cast<long>(i));
        }
    }
    for (size_t k = places.size(); k-- > 0;) {
        usbd_place* q = places[k];
        watch_update(q, now);
        if (q->quiet_from >= 0 && !q->held && now - q->quiet_from >= USBD_QUIET_MS) {
            q->quiet_from = -1;
            if (q->dev != nullptr && usbd_dev_claimed(q->dev)) {
                di_log("%s: no client for %d s: the update is over, the printer given back to "
                       "its kernel driver",
                       q->port.c_str(), USBD_QUIET_MS / 1000);
                usbd_dev_release(q->dev);
            }
        }
        if (q->dev == nullptr) {
            if (now - q->left_ms > USBD_FOLLOW_GRACE_MS) {
                di_warn("%s: not back within %d s; %s given up", q->port.c_str(),
                        USBD_FOLLOW_GRACE_MS / 1000, q->name.c_str());
                leave(k, DEVICE_LET_GO, false);
            }
            continue;
        }
        long long cancelled = usbd_dev_cancelled_ms(q->dev);
        if (cancelled >= 0 && now - cancelled >= CANCEL_BOUND_MS) {
            // Released, which takes every URB back in the kernel; not served again until the
            // printer is plugged in anew.
            di_warn("%s: transfers not back %d ms after they were cancelled; the printer is "
                    "let go",
                    q->port.c_str(), CANCEL_BOUND_MS);
            rejected.push_back(libusb_ref_device(usbd_dev_device(q->dev)));
            leave(k, DEVICE_LET_GO, true);
        }
    }
    retry_access(now);
}

static long long next_due() {
    long long due = -1;
    auto take = [&due](long long t) {
        if (t >= 0 && (due < 0 || t < due))
            due = t;
    };
    for (const printer* p : retired)
        if (usbd_dev_cancelled_ms(p) >= 0)
            take(usbd_dev_cancelled_ms(p) + CANCEL_BOUND_MS);
    for (const usbd_place* q : places) {
        if (q->quiet_from >= 0 && !q->held)
            take(q->quiet_from + USBD_QUIET_MS);
        if (q->dev == nullptr) {
            take(q->left_ms + USBD_FOLLOW_GRACE_MS + 1);
            continue;
        }
        if (usbd_dev_cancelled_ms(q->dev) >= 0)
            take(usbd_dev_cancelled_ms(q->dev) + CANCEL_BOUND_MS);
        take(usbd_dev_due_ms(q->dev));
    }
    for (const access_wait& w : no_access)
        take(w.next_ms);
    take(next_poll_ms);
    return due;
}

void usbd_bus_after_events() {
    usbd_dev_calls_back();
    for (usbd_place* q : places)
        if (q->dev != nullptr)
            usbd_dev_after_events(q->dev);
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
        next_poll_ms = di_now_ms() + poll_ms;
    }
}

// ---- the loop's view of the bus -------------------------------------------------------------

static void LIBUSB_CALL libusb_says(libusb_context*, enum libusb_log_level, const char* text) {
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    di_log("%s", s.c_str());
}

bool usbd_bus_open(const usbd_config& c) {
    cfg = &c;
    int r = libusb_init(&ctx);
    if (r != 0) {
        di_complain("cannot start libusb: %s", libusb_error_name(r));
        return false;
    }
    if (c.log != nullptr) {
        // Global: libusb writes to stderr whatever no global handler takes.
        libusb_set_log_cb(nullptr, libusb_says, LIBUSB_LOG_CB_GLOBAL);
        libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
    }
    // Which device node is whose, should libusb's event handling fail on one.
    libusb_set_pollfd_notifiers(ctx, usbd_dev_fd_added, nullptr, nullptr);
    return usbd_dev_calls_start();
}

void usbd_bus_follow() {
    poll_ms = cfg->poll_ms;
    have_hotplug = poll_ms == 0 && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (have_hotplug) {
        // Devices already present are announced too, from within the registration.
        int r = libusb_hotplug_register_callback(
            ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, nullptr, &hotplug);
        if (r != 0) {
            usbd_usb_error(nullptr, "hotplug registration; listing the bus instead", r, true);
            have_hotplug = false;
        }
    }
    if (!have_hotplug && poll_ms == 0)
        poll_ms = 1000;
    di_log("following the bus by %s", have_hotplug ? "hotplug events" : "listing it");
    // Listing it, the first listing is due at once.
    if (!have_hotplug)
        next_poll_ms = 0;
    usbd_bus_after_events();
}

void usbd_bus_listeners(std::vector<struct pollfd>* fds) {
    listened = places;
    for (const usbd_place* q : listened)
        fds->push_back({q->sock.listen_fd, POLLIN, 0});
}

void usbd_bus_accept(const std::vector<struct pollfd>& fds, size_t from) {
    for (size_t k = 0; k < listened.size() && from + k < fds.size(); k++) {
        usbd_place* q = listened[k];
        // Serving the bus may have given the place up since.
        if (fds[from + k].revents != 0 &&
            std::find(places.begin(), places.end(), q) != places.end())
            di_clients_accept(q->sock.listen_fd, q, q->name.c_str());
    }
}

printer* usbd_bus_printer(const void* place) {
    return static_cast<const usbd_place*>(place)->dev;
}

bool usbd_bus_updating() {
    return std::any_of(places.begin(), places.end(),
                       [](const usbd_place* q) { return q->held || q->quiet_from >= 0; });
}

long long usbd_bus_poll_fds(std::vector<struct pollfd>* fds) {
    const libusb_pollfd** usb_fds = libusb_get_pollfds(ctx);
    for (size_t k = 0; usb_fds != nullptr && usb_fds[k] != nullptr; k++)
        fds->push_back({usb_fds[k]->fd, usb_fds[k]->events, 0});
    libusb_free_pollfds(usb_fds);
    fds->push_back({usbd_dev_calls_fd(), POLLIN, 0});
    long long due = next_due();
    struct timeval tv;
    if (libusb_get_next_timeout(ctx, &tv) == 1) {
        long long t =
            di_now_ms() + static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
        due = due < 0 || t < due ? t : due;
    }
    return due;
}

static bool ready(const std::vector<struct pollfd>& fds, size_t from, int fd) {
    for (size_t k = from; fd >= 0 && k < fds.size(); k++)
        if (fds[k].fd == fd && fds[k].revents != 0)
            return true;
    return false;
}

bool usbd_bus_events(const std::vector<struct pollfd>& fds, size_t from) {
    struct timeval zero = {0, 0};
    int r = libusb_handle_events_timeout_completed(ctx, &zero, nullptr);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED) {
        // A device node that stops answering fails every round of libusb's, and the nodes
        // after it are not served: the printers whose node was ready go, the others stay.
        bool found = false;
        for (size_t k = places.size(); k-- > 0;) {
            printer* p = places[k]->dev;
            if (p == nullptr || !ready(fds, from, usbd_dev_fd(p)))
                continue;
            usbd_id id = usbd_dev_id(p);
            di_warn("%s: libusb's event handling failed on the device node of %04x:%04x (%s); "
                    "not served until it is plugged in anew",
                    usbd_dev_port(p).c_str(), id.vid, id.pid, libusb_error_name(r));
            rejected.push_back(libusb_ref_device(usbd_dev_device(p)));
            leave(k, DEVICE_FAILED, true);
            found = true;
        }
        for (printer* p : retired)
            if (ready(fds, from, usbd_dev_fd(p))) {
                usbd_dev_drop(p);
                found = true;
            }
        if (!found) {
            di_complain("libusb's event handling failed (%s) on no printer's device node: the "
                        "USB bus is gone",
                        libusb_error_name(r));
            return false;
        }
    }
    usbd_bus_after_events();
    return true;
}

std::string usbd_bus_ready_text() {
    std::string s;
    for (const usbd_place* q : places)
        s += " " + di_class_path() + "/" + q->name;
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

int usbd_bus_list() {
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
        std::string mark = usbd_wanted(*cfg, d.idVendor, d.idProduct) ? "  <- --device" : "";
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
    for (usbd_place* q : places)
        unpublish(q);
    while (!places.empty())
        leave(places.size() - 1, DEVICE_LET_GO, false);
    long long until = di_now_ms() + STOP_DRAIN_MS;
    for (bool last = false; !retired.empty() && !last;) {
        last = di_now_ms() >= until;
        struct timeval tv = {0, 20000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        usbd_dev_calls_back();
        for (size_t i = retired.size(); i-- > 0;) {
            // What is still out then is forgotten with the node, unless a call has it.
            if (last)
                usbd_dev_drop(retired[i]);
            if (!usbd_dev_busy(retired[i])) {
                usbd_dev_free(retired[i]);
                retired.erase(retired.begin() + static_cast<long>(i));
            }
        }
    }
    for (const hotplug_event& ev : events)
        libusb_unref_device(ev.dev);
    events.clear();
    while (!rejected.empty())
        forget(&rejected, rejected.back());
    while (!no_access.empty())
        forget_no_access(no_access.back().dev);
    return retired.empty();
}

void usbd_bus_close() {
    if (have_hotplug)
        libusb_hotplug_deregister_callback(ctx, hotplug);
    // A call still out on the bus has its device's handle; without a context it can do no
    // harm.
    if (forget_bus())
        libusb_exit(ctx);
}
