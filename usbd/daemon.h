// fpusbd's parts, one file each: the run and its messages (fpusbd.cpp), the class directory
// and its sockets (publish.cpp), the clients' requests and the transfers that answer them
// (serve.cpp), and the printers coming and going on the bus (bus.cpp). Everything here lives
// on the loop's thread; the signal watch in fpusbd.cpp touches only di_unpublish_all_now().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <libusb.h>
#include <sys/types.h>

#include "di/kit.h"
#include "usbd/usbd.h"

const int IN_PACKET_DEFAULT = 64;

struct printer;

// One IN endpoint of a printer: its buffered bytes and the transfer that fills them. Each
// transfer asks for one packet, so a reply that ends on a packet boundary still comes at once.
struct in_endpoint {
    printer* owner = nullptr;
    uint8_t address = 0;
    int packet = IN_PACKET_DEFAULT;
    libusb_transfer* t = nullptr;
    bool busy = false;    // submitted and not called back yet
    bool failed = false;  // ended in an error that the next READ with nothing buffered reports
    bool stalled = false; // its halt still to be cleared, outside the callback
    usbd_fifo fifo;
};

// A printer as fpflash sees it: a place, published under one name for the printer at one
// port, and the device there now. The place outlives its device while the printer
// re-enumerates (into its loader and back), so that no other printer takes its turn; the
// device that comes back to the port, of the same vendor, takes the place over.
struct printer {
    std::string port;
    std::string name;
    uint16_t vid = 0;
    di_socket sock; // published while its listen_fd >= 0
    int holder = 0; // the client whose OPEN holds the printer, 0 when none
    // Opened once: from then on the interface is claimed on every device at the place, so
    // that the kernel's driver stays off the printer for the whole update.
    bool updating = false;
    bool said_busy = false;      // a refused claim said on stderr; said again after a good one
    long long left_ms = -1;      // when its device left; -1 while one is there
    long long cancelled_ms = -1; // transfers cancelled and not all back yet; -1 when none

    // The device at the place; none while it is away.
    libusb_device* dev = nullptr;
    libusb_device_handle* handle = nullptr;
    usbd_id id = {0, 0};
    bool claimed = false;  // the interface, ours on `handle`
    uint16_t out_mask = 0; // bulk endpoints of the interface, bit N for number N
    uint16_t in_mask = 0;
    int out_packet[16] = {};
    in_endpoint in[16];
    libusb_transfer* out = nullptr;
    bool out_busy = false;
    bool out_done = false; // called back, the reply still to send
    int out_client = 0;
    uint32_t out_len = 0;
};

struct client {
    int fd;
    di_session s;
    printer* p;
    bool waiting; // a WRITE is on the bus; nothing more is read from it until the reply
};

extern usbd_config cfg;
extern libusb_context* ctx;
extern std::vector<printer*> printers; // the places, present or away
extern std::vector<client> clients;

// ---- messages (fpusbd.cpp) ----------------------------------------------------------------

// A libusb call's failure, into the log with libusb's name for it.
void usb_error(const printer* p, const char* what, int err);

// ---- publishing (di/kit.h) ----------------------------------------------------------------

bool publish(printer* p);
// Removes the socket, if it is still ours.
void unpublish(printer* p);

// ---- requests and transfers (serve.cpp) ---------------------------------------------------

bool held(const printer* p);
// Claims the interface (the kernel's driver detached) unless it is claimed already; a claim
// another program refuses is said on stderr once. Returns a libusb error code.
int claim(printer* p);
// Keeps one IN transfer pending on `e` while a client holds the printer and a packet fits.
void in_refill(in_endpoint* e);
// Cancels what the printer has on the bus, without waiting for it to come back.
void cancel_transfers(printer* p);
bool busy(const printer* p);
// Its holder went: what is in flight is cancelled; the interface stays claimed.
void let_go(printer* p);
// Clears the halts that the callbacks noted.
void clear_stalls(printer* p);
// The index of client `id`, SIZE_MAX when it has gone.
size_t client_index(int id);
void client_gone(size_t i, const char* how);
// Answers the WRITE whose transfer came back.
void finish_write(printer* p);
// Reads and answers what client `i` sent; the client may be gone afterwards.
void serve(size_t i);
void accept_all(printer* p);

// ---- the bus (bus.cpp) --------------------------------------------------------------------

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event ev, void*);
// What the callbacks noted, dealt with outside libusb's event handling, and what is due.
void after_events();
// When after_events() next has something to do by the clock (ms, as di_now_ms()), or -1.
long long bus_next_due();
// Where libusb has no hotplug events: the bus now against what is published.
void poll_bus();
int list_devices();
// Every socket removed, then every printer released and given back to its kernel driver.
// False when some transfers never came back (libusb must then be left as it is).
bool forget_bus();
