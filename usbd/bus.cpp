// Printers coming and going on the bus, and --list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "usb/device_interface.h"
#include "usbd/daemon.h"

static const int PORTS_MAX = 7; // USB allows no deeper hub chains

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
    // Zeroed: an emulated bus (the tests' umockdev) copies an IN buffer before it is filled.
    t->buffer = static_cast<unsigned char*>(calloc(1, size));
    if (t->buffer == nullptr) {
        libusb_free_transfer(t);
        return nullptr;
    }
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    return t;
}

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
                     "rule for this ID (see fpusbd(1)) and replug the printer",
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
        if ((static_cast<unsigned>(p->in_mask) >> n) & 1u)
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
void leave(size_t k, bool gone) {
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

static void forget_rejected(const libusb_device* dev) {
    for (size_t i = rejected.size(); i-- > 0;)
        if (rejected[i] == dev) {
            libusb_unref_device(rejected[i]);
            rejected.erase(rejected.begin() + static_cast<long>(i));
        }
}

void device_arrived(libusb_device* dev) {
    if (std::find(rejected.begin(), rejected.end(), dev) != rejected.end())
        return;
    if (!arrive(dev))
        rejected.push_back(libusb_ref_device(dev));
}

void device_left(libusb_device* dev) {
    forget_rejected(dev);
    for (size_t k = 0; k < printers.size(); k++)
        if (printers[k]->dev == dev) {
            leave(k, true);
            return;
        }
}

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event ev, void*) {
    events.push_back({libusb_ref_device(dev), ev == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
    return 0;
}

// Where libusb has no hotplug events: what is on the bus now against what is published.
void poll_bus() {
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
void after_events() {
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

int list_devices() {
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

void forget_bus() {
    while (!printers.empty())
        leave(printers.size() - 1, false);
    for (const hotplug_event& ev : events)
        libusb_unref_device(ev.dev);
    events.clear();
    while (!rejected.empty())
        forget_rejected(rejected.back());
}
