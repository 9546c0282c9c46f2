// The emulated bus: its root hub, the printers' descriptors and device nodes, and their
// plugging in and out with the uevents that tell fpusbd.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "di/kit.h"
#include "di/trace.h"
#include "sim/sim.h"
#include "tests/usbd/testbed.h"

static UMockdevTestbed* testbed = nullptr;
static std::string root_dir;
static int next_devnum = 2;

// A device descriptor and one configuration: a printer interface with bulk endpoints
// 0x01/0x81 and 0x03/0x83 of 512 bytes.
static std::vector<uint8_t> printer_descriptors(uint16_t pid) {
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v); };
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    std::vector<uint8_t> d = {18,      1,       0x00,    0x02, 0,    0, 0, 64, lo(VID),
                              hi(VID), lo(pid), hi(pid), 0x00, 0x01, 0, 0, 0,  1};
    std::vector<uint8_t> conf = {9, 2, 46, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 4, 7, 1, 2, 0};
    for (uint8_t ep : std::vector<uint8_t>{0x01, 0x81, 0x03, 0x83})
        conf.insert(conf.end(), {7, 5, ep, 2, 0x00, 0x02, 0});
    d.insert(d.end(), conf.begin(), conf.end());
    return d;
}

// A root hub of USB `major` 2 or 3 (`hub`), or the vendor's other product, as a keyboard or a
// key is: one interface with one interrupt IN endpoint, no bulk pipe.
static std::vector<uint8_t> interrupt_descriptors(uint16_t vid, uint16_t pid, bool hub,
                                                  uint8_t major) {
    uint8_t cls = hub ? 9 : 3, lo = static_cast<uint8_t>(pid), vl = static_cast<uint8_t>(vid),
            vh = static_cast<uint8_t>(vid >> 8), proto = hub ? 1 : 0, dev_cls = hub ? 9 : 0;
    return {18, 1, 0x00, major, dev_cls, 0,  proto, 64, vl,   vh, lo,   0, 0x00, 0x06, 0,
            0,  0, 1,    9,     2,       25, 0,     1,  1,    0,  0xE0, 0, 9,    4,    0,
            0,  1, cls,  0,     0,       0,  7,     5,  0x81, 3,  4,    0, 12};
}

// Under bus B (1, or 2 for --loader-on-peer), with the link to its port where the two buses'
// ports 1 are peers.
static bool add_description(const std::string& path, int bus, int devnum,
                            const std::vector<uint8_t>& desc, const std::string& port) {
    char text[4096];
    std::string link =
        faults.loader_on_peer && (port == "1-1" || port == "2-1")
            ? "L: port=../" + port.substr(0, 1) + "-0:1.0/usb" + port.substr(0, 1) + "-port1\n"
            : "";
    snprintf(text, sizeof(text),
             "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/%03d/%03d\n"
             "E: BUSNUM=%03d\nE: DEVNUM=%03d\nA: busnum=%d\\n\nA: devnum=%d\\n\n"
             "A: bConfigurationValue=1\\n\nA: speed=480\\n\nH: descriptors=%s\n%s",
             path.c_str(), bus, devnum, bus, devnum, bus, devnum,
             di_hex(desc.data(), desc.size()).c_str(), link.c_str());
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text, &err)) {
        di_complain("cannot add %s: %s", path.c_str(), err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    return true;
}

// The device node is a FIFO we hold full (see device.cpp).
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

// Its node and handler first, so that the "add" uevent finds everything.
bed_device* plug(bool model, const std::string& port, uint16_t pid, const std::string& attached) {
    bed_device* d = new bed_device;
    d->model = model;
    d->what = pid == PID_OTHER ? "other product" : "second printer";
    d->attached = attached;
    d->port = port;
    d->pid = pid;
    int bus = port[0] - '0';
    d->syspath = "/sys/devices/usb" + port.substr(0, 1) + "/" + port;
    int devnum = next_devnum++;
    char node[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", bus, devnum);
    d->devnode = node;
    d->fifo = make_fifo(d->devnode);
    if (d->fifo < 0) {
        di_complain("cannot make the device node %s: %s", d->devnode.c_str(), strerror(errno));
        delete d;
        return nullptr;
    }
    // The faults are the testbed's own model's.
    bool faulty = model && attached.empty();
    d->other_holder = faulty && faults.other_holder;
    d->driver_bound = !d->other_holder;
    if (faulty && faults.access_denied_ms > 0) {
        if (chmod((root_dir + d->devnode).c_str(), 0) != 0) {
            di_complain("cannot deny access to %s: %s", d->devnode.c_str(), strerror(errno));
            close(d->fifo);
            delete d;
            return nullptr;
        }
        d->denied_until = di_now_ms() + faults.access_denied_ms;
    }
    d->handler = umockdev_ioctl_base_new();
    device_serve(d);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, d->devnode.c_str(), d->handler, &err)) {
        di_complain("cannot serve %s: %s", d->devnode.c_str(), err ? err->message : "?");
        g_clear_error(&err);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(bed.lock);
        bed.devices.push_back(d);
    }
    // Under the preload, adding it sends its "add" uevent.
    if (!add_description(d->syspath.substr(4), bus, devnum,
                         pid == PID_OTHER ? interrupt_descriptors(VID, pid, false, 2)
                                          : printer_descriptors(pid),
                         port))
        return nullptr;
    di_log("usb: %04x:%04x plugged in at %s (%s)", VID, pid, port.c_str(), node);
    return d;
}

void take_out(bed_device* d) {
    d->removed = true;
    umockdev_testbed_uevent(testbed, d->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, d->syspath.c_str());
    di_log("usb: %04x:%04x unplugged from %s", VID, d->pid, d->port.c_str());
}

bool plug_main() {
    uint16_t pid = sim_current_mode() == SIM_APP ? PID_APP : PID_LOADER;
    bed_device* d = plug(true, faults.loader_on_peer && pid == PID_LOADER ? "2-1" : "1-1", pid);
    if (d == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(bed.lock);
    bed.main_dev = d;
    return true;
}

long long restore_modes() {
    long long next = -1;
    for (bed_device* d : bed.devices) {
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

bool bus_start() {
    testbed = umockdev_testbed_new();
    if (testbed == nullptr)
        return false;
    char* root = umockdev_testbed_get_root_dir(testbed);
    root_dir = root;
    g_free(root);
    return true;
}

// Bus 1, and for --loader-on-peer bus 2, the USB 3 half of the same connectors: the ports 1 of
// their root hubs are peers, as the kernel links them.
bool plug_root_hub() {
    if (!faults.loader_on_peer)
        return add_description("/devices/usb1", 1, 1, interrupt_descriptors(0x1d6b, 2, true, 2),
                               "");
    for (const char* b : {"1", "2"}) {
        std::string other = *b == '1' ? "2" : "1";
        std::string dir = root_dir + "/sys/devices/usb" + b + "/" + b + "-0:1.0/usb" + b + "-port1";
        std::string peer = "../../../usb" + other + "/" + other + "-0:1.0/usb" + other + "-port1";
        if (!add_description(std::string("/devices/usb") + b, *b - '0', 1,
                             interrupt_descriptors(0x1d6b, static_cast<uint16_t>(*b - '0' + 1),
                                                   true, static_cast<uint8_t>(*b - '0' + 1)),
                             "") ||
            g_mkdir_with_parents(dir.c_str(), 0755) != 0 ||
            symlink(peer.c_str(), (dir + "/peer").c_str()) != 0) {
            di_complain("cannot make bus %s's root port: %s", b, strerror(errno));
            return false;
        }
    }
    return true;
}

const std::string& bus_root() {
    return root_dir;
}

// Removes the testbed's directory; the worker thread goes with it.
void bus_stop() {
    if (testbed != nullptr)
        g_object_unref(testbed);
    testbed = nullptr;
}
