// fpusbd: printers on the USB bus, reached through libusb and published as device interfaces
// under the same contract as fpsim, so fpflash updates real hardware on Linux unchanged.
//
// This header holds what needs no libusb: the command line and the setup (options.cpp,
// setup.cpp), what is a printer and the names the interfaces get (policy.cpp), and the buffer
// behind READ (fifo.cpp). fpusbd.cpp is the daemon; the tests take these pieces alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "di/kit.h"

struct usbd_id {
    uint16_t vid;
    uint16_t pid;
    bool any_pid = false; // --device VID: every product of the vendor
};

// The bulk endpoints a pipe-select code names: writes go to `out`, reads come from `in`.
struct usbd_pipe {
    uint8_t out;
    uint8_t in;
};

// A bulk OUT that the printer has not taken whole by then fails, and the WRITE with it. A
// printer takes a block in a few (micro)frames: one that has held a WRITE back for 2 s is not
// listening. fpflash waits 5 s for a reply and then drops the connection; the failure must
// reach it before that, as a failed WRITE on a connection it still has.
const int USBD_WRITE_TIMEOUT_MS = 2000;
const int USBD_WRITE_TIMEOUT_MAX_MS = 4000;

// How long the place of a printer that left is kept for it: longer than fpflash looks for the
// printer after any of its closes (3 s, then 20 attempts a second apart).
const int USBD_FOLLOW_GRACE_MS = 30000;

// How long a printer stays claimed once no client has it open: longer than fpflash's longest
// gap between closing it and opening it again (3 s after the switch to the loader, then 20
// attempts a second apart), so that its kernel driver cannot take it mid-update.
const int USBD_QUIET_MS = 25000;

// The longest --idle-exit, a day; the user unit's is two minutes.
const int USBD_IDLE_EXIT_MAX_S = 86400;

// What `fpusbd --setup` writes, below its --root: the device list that the user unit
// (fpusbd.service) reads and the udev rule, both in one directory that is replaced whole, and
// a link to the rule where udev reads it.
const char* const USBD_SETUP_DIR = "/etc/fpusbd";
const char* const USBD_DEVICES_PATH = "/etc/fpusbd/devices";
const char* const USBD_RULE_NAME = "70-fpusbd.rules";
const char* const USBD_RULE_PATH = "/etc/udev/rules.d/70-fpusbd.rules";
const char* const USBD_RULE_LINK = "../../fpusbd/70-fpusbd.rules";

// The one-time setup, as root: the IDs to write (the loaders' among them), the group whose
// users may open the printers from anywhere (none: only the user at the machine), and the root
// to write under; or, with `undo`, what an earlier setup wrote to remove.
struct usbd_setup {
    std::vector<usbd_id> ids;
    bool loader_given = false;
    bool undo = false;
    std::string group;
    std::string root; // empty: the system's
};

// A fixed name for the printer at one port, in place of the port path.
struct usbd_alias {
    std::string port;
    std::string name;
};

struct usbd_config {
    std::vector<usbd_id> ids;
    const char* devices = nullptr; // --devices: more IDs, from a file
    int idle_exit_s = 0;           // 0: run until a signal
    usbd_setup setup;              // --setup given: write the files and exit
    int interface = 0;
    usbd_pipe pipes[DI_ENDPOINTS];
    bool pipe_given[DI_ENDPOINTS] = {};
    std::vector<usbd_alias> aliases;
    bool list = false;
    const char* log = nullptr;
    const char* ready = nullptr;
    const char* record = nullptr; // the trace of every exchange, a file not there yet
    bool record_blocks = true;    // the image's records in it whole, not their length alone
    int write_timeout_ms = USBD_WRITE_TIMEOUT_MS;
    int poll_ms = 0; // 0: hotplug events where libusb has them
};

// Endpoint N of the contract is OUT 0x0N and IN 0x8N unless --pipe says otherwise.
void usbd_default_pipes(usbd_pipe (&pipes)[DI_ENDPOINTS]);

// VID:PID, or VID alone for every product of the vendor, each one to four hex digits.
// Returns false for anything else.
bool usbd_parse_id(const char* s, usbd_id* out);

// N=OUT,IN: N 0 to 3, OUT an OUT endpoint address (0x01 to 0x0F), IN an IN one (0x81 to 0x8F),
// each in C notation (0x83 or 131). Returns false for anything else.
bool usbd_parse_pipe(const char* s, int* endpoint, usbd_pipe* out);

// PORT=NAME: a port path (1-2 or 1-2.3) and a usable socket file name.
bool usbd_parse_alias(const char* s, usbd_alias* out);

// Parses argv into `c`, and reads the list of --devices. Returns -1 to go on, or the status to
// exit with after --help, a bad command line, a device list it cannot use (the complaint
// printed to stderr as "fpusbd: ...") or --unsetup, which is run here: it needs nothing else.
int usbd_parse_command_line(int argc, char** argv, usbd_config* c);

// The device list's text: an ID a line (VID:PID or VID, as --device takes them), empty lines
// and lines starting with '#' ignored. Appends the IDs to `ids`; returns false at the first
// other line, having complained with `name` and its line number.
bool usbd_parse_devices(const std::string& text, const char* name, std::vector<usbd_id>* ids);

// Reads the device list at `path` (at most USBD_DEVICES_MAX bytes) into `ids`. Returns
// false, having complained.
const size_t USBD_DEVICES_MAX = 65536;
bool usbd_read_devices(const char* path, std::vector<usbd_id>* ids);

// What --setup writes: the udev rule, a line per ID of `s.ids`, and the device list.
std::string usbd_rule_text(const usbd_setup& s);
std::string usbd_devices_text(const usbd_setup& s);

// Whether `name` may stand in the rule as a group: a plain POSIX user or group name.
bool usbd_group_usable(const std::string& name);

// How many products the hardware database at `path` (systemd's hwdb source or usb.ids) lists
// under vendor `vid`, its name for the vendor in `vendor`; -1 when it cannot be read.
long usbd_database_products(const char* path, uint16_t vid, std::string* vendor);

// Writes both files below `s.root`, which must exist, into a directory of their own swapped
// in whole; with no root, into the system's, then reloads udev and has it look again at the
// devices of `s.ids` plugged in already. Returns the exit status, having said what it did.
int usbd_setup_run(const usbd_setup& s);

// Removes below `s.root` what --setup wrote, only files that say so, and reloads udev when
// the root is the system's. Returns the exit status, having said what it did.
int usbd_unsetup_run(const usbd_setup& s);

// ---- what is a printer, and its name (policy.cpp) -----------------------------------------

// The pipes fpflash uses: the firmware's JSON commands, and the loader's commands and blocks.
const int USBD_FIRMWARE_PIPE = 1;
const int USBD_LOADER_PIPE = 3;

// Whether --device names a device of this vendor and product; of this vendor.
bool usbd_wanted(const usbd_config& c, uint16_t vid, uint16_t pid);
bool usbd_vendor_named(const usbd_config& c, uint16_t vid);

// The bulk endpoints of a device's configured interface, bit N for number N, in the alternate
// setting that has most of fpflash's pipes.
struct usbd_shape {
    uint16_t out = 0;
    uint16_t in = 0;
    uint8_t alt = 0;
    bool missing = false; // the device has no such interface
};

// Which of fpflash's two pipes `s` has both ways, bit N for pipe N as --pipe maps it.
unsigned usbd_pipes_of(const usbd_config& c, const usbd_shape& s);

// A place fpusbd keeps for a printer: its port, its vendor, and when its device left (-1
// while one is there).
struct usbd_place_facts {
    std::string port;
    uint16_t vid;
    long long left_ms;
};

// A device as it arrives: where, the port that shares its connector on the other bus of a
// USB 2/USB 3 pair ("" for none), its ID and its shape.
struct usbd_arrival {
    std::string port;
    std::string peer;
    usbd_id id;
    usbd_shape shape;
};

enum usbd_take {
    USBD_SKIPPED,     // another vendor's, or a product no --device names that is no loader
    USBD_NOT_PRINTER, // of a vendor --device names, without fpflash's pipes: never served
    USBD_NEW,         // a printer of its own
    USBD_FOLLOWED     // the printer that left the place at its connector, back
};

struct usbd_verdict {
    usbd_take take;
    // The place it follows; else a place kept at its connector, which it ends. SIZE_MAX: none.
    size_t place;
    bool rescued;     // new by the loader's pipes alone: a printer found in its loader
    std::string name; // a new printer's, to publish it under
};

// What device `a` is, at `now_ms`, among `places`. A printer is a shape, not an ID alone: a
// vendor makes hubs, keyboards and keys too. It has fpflash's pipes, and either an ID that
// --device names or, of such a vendor, the loader's pipe, whatever its product ID: a printer
// left in its loader. A printer re-enumerating (into its loader and back) comes back to its
// connector, on either bus, of its vendor, within USBD_FOLLOW_GRACE_MS.
usbd_verdict usbd_judge(const usbd_config& c, const std::vector<usbd_place_facts>& places,
                        const usbd_arrival& a, long long now_ms);

// The port path of the port a sysfs `peer` link names ("../../../usb2/2-0:1.0/usb2-port1" is
// "2-1", ".../2-1:1.0/2-1-port3" is "2-1.3"); "" when it names none.
std::string usbd_peer_port(const std::string& link);

// The device's port path as sysfs writes it: "1-2.3" for port 3 of the hub at port 2 of bus
// 1, "usb1" for bus 1's root hub.
std::string usbd_port_path(uint8_t bus, const uint8_t* ports, int count);

// The instance name of the printer at `port`: its alias, else the port path itself.
std::string usbd_instance_name(const usbd_config& c, const std::string& port);

// ---- the READ buffer ----------------------------------------------------------------------

// Bytes an IN endpoint delivered that no READ has taken yet, in the order they arrived. A
// transfer is only started when its whole length fits, so nothing the device sends is dropped.
const size_t USBD_FIFO_SIZE = 8192;

struct usbd_fifo {
    uint8_t buf[USBD_FIFO_SIZE];
    size_t head = 0; // the oldest byte
    size_t count = 0;
};

inline size_t usbd_fifo_room(const usbd_fifo& f) {
    return USBD_FIFO_SIZE - f.count;
}

// Appends `n` bytes. Returns false, storing nothing, when they do not fit.
bool usbd_fifo_put(usbd_fifo* f, const uint8_t* data, size_t n);

// Copies up to `max` of the oldest bytes to `out`, keeping them; returns how many.
size_t usbd_fifo_peek(const usbd_fifo& f, uint8_t* out, size_t max);
// Lets go of the `n` oldest bytes (at most all there are).
void usbd_fifo_drop(usbd_fifo* f, size_t n);

// Moves up to `max` of the oldest bytes to `out`; returns how many.
inline size_t usbd_fifo_take(usbd_fifo* f, uint8_t* out, size_t max) {
    size_t n = usbd_fifo_peek(*f, out, max);
    usbd_fifo_drop(f, n);
    return n;
}
