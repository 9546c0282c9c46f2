// fpusb-testbed's files: the usbdevfs emulation that plays the printer's device nodes on
// umockdev's worker thread (device.cpp); the bus they are plugged into (bus.cpp); and the
// testbed's command line, fpusbd as its child, the other clients and the run (testbed.cpp).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <umockdev.h>

const uint16_t VID = 0x1209; // pid.codes' test IDs: no real product answers to them
const uint16_t PID_APP = 0x0001;
const uint16_t PID_LOADER = 0x0002;
const uint16_t PID_SECOND = 0x0001;
const uint32_t PACKET = 512;       // every bulk endpoint's wMaxPacketSize
const size_t PAGE = 4096;          // what a FIFO takes or gives at a time
const uint16_t PID_OTHER = 0x0003; // --other-product's

// The faults of the USB path, from the testbed's command line (testbed.cpp).
struct bed_faults {
    long stall_at = -1;
    long short_at = -1;
    bool rebinding_driver = false;
    bool other_holder = false;
    long access_denied_ms = 0;
    long slow_bus_ms = 0;
    long slow_clear_ms = 0;
    long node_fails_at = -1;
    bool loader_on_peer = false;
};
extern const bed_faults& faults;

struct bed_client;

struct bed_device {
    bool model;       // served by the printer model; the others only take and record
    const char* what; // the others' name in the log
    // --attach's: the model of the fpsim published at this socket, reached through its
    // requests; its connection broken is the printer gone.
    std::string attached;
    bool link_lost = false;
    std::string port;
    std::string syspath;
    std::string devnode;
    uint16_t pid;
    UMockdevIoctlBase* handler = nullptr;
    int fifo = -1;
    bool writable = false; // a page of the FIFO let out: libusb may reap
    bool gone = false;     // unplugged: requests fail with ENODEV
    bool removed = false;  // its uevent sent and its files gone
    bool driver_bound = true;
    bool other_holder = false;   // another program's claim on the interface
    bool always_ready = false;   // the node polls ready, as a plain file's does
    bool failing = false;        // the node answers no reap any more
    long long denied_until = -1; // the node refuses access until then (main thread's)
    unsigned halted = 0;         // OUT endpoints stalled, bit N for number N
    std::vector<bed_client*> clients;
};

// What the main thread and umockdev's worker thread share, under `lock` (device.cpp).
struct bed_shared {
    std::mutex lock;
    std::vector<bed_device*> devices; // kept to the end: fpusbd may still hold their files
    bed_device* main_dev = nullptr;   // the printer model's device while it is plugged in
    int wake_fd = -1;                 // the worker tells the main thread that something happened
    bool done = false;                // the updated firmware was opened and closed
    long long done_ms = -1;           // when
    bool slow = false;                // the update is done and --slow-bus is on
    int held_requests = 0;            // requests the slow bus is sitting on
    bool bus_released = false;        // fpusbd ended: the slow bus answers what it holds
    std::condition_variable slow_wait;
};
extern bed_shared bed;

// A connection to the socket at `path`, with a bound on every reply; -1 on failure.
int connect_socket(const std::string& path);

// ---- the usbdevfs emulation (device.cpp) --------------------------------------------------

// Serves the requests on device node `d` from umockdev's worker thread.
void device_serve(bed_device* d);
// Pulls the printer out: every request on it fails from now on. Under bed.lock; take_out()
// then tells fpusbd.
void device_unplug(bed_device* d);

// ---- the bus (bus.cpp) --------------------------------------------------------------------

// The emulated bus. False where umockdev cannot run.
bool bus_start();
bool plug_root_hub();
// Where the testbed's files are.
const std::string& bus_root();
// Plugs a device in at `port` ("B-P": bus B): the model's printer (an fpsim's, from its socket
// `attached`), or another that only takes and records: a second printer, or with PID_OTHER a
// product of the vendor that is no printer.
bed_device* plug(bool model, const std::string& port, uint16_t pid,
                 const std::string& attached = "");
// The model's printer, as what it runs now.
bool plug_main();
// The main thread's half of an unplug: the uevent, then the device's files.
void take_out(bed_device* d);
// Device nodes whose access is due back get the mode udev would give them; returns when the
// next one is due, or -1.
long long restore_modes();
void bus_stop();
