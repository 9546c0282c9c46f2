// fpusbd's files, each keeping its state to itself: the run and the signal watch (fpusbd.cpp);
// answering the clients' requests, and the transfers that do (answer.cpp); the printers
// coming and going on the bus, their sockets, and --list (bus.cpp). Everything here lives on
// the loop's thread; the signal watch touches only di_unpublish_all_now().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <libusb.h>
#include <poll.h>

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

// ---- answering (answer.cpp) ---------------------------------------------------------------

// What the requests are answered by: the interface, the pipes and the write timeout.
void answer_start(const usbd_config& c);
// Claims the interface (the kernel's driver detached) unless it is claimed already; a claim
// another program refuses is said on stderr once. Returns a libusb error code.
int claim(printer* p);
// Cancels what the printer has on the bus, without waiting for it to come back.
void cancel_transfers(printer* p);
bool busy(const printer* p);
// Clears the halts that the callbacks noted.
void clear_stalls(printer* p);
// Answers the WRITE whose transfer came back.
void finish_write(printer* p);
// The clients' connections to poll, and their ids: all but those whose WRITE is on the bus.
void clients_to_poll(std::vector<struct pollfd>* fds, std::vector<int>* ids);
// Reads and answers what client `id` sent, if it is still there.
void serve_client(int id);
void accept_clients(printer* p);
// Every connection to `p` cut, as its device goes.
void cut_clients(const printer* p);
void close_clients();

// ---- the bus (bus.cpp) --------------------------------------------------------------------

// libusb started for the printers `c` names, its warnings into the log. Returns false,
// having complained.
bool bus_open(const usbd_config& c);
int list_devices();
// Follows the bus by hotplug events where libusb has them, else by listing it; the printers
// present are taken at once.
void bus_follow();
// The published printers' listening sockets, and those printers.
void bus_listeners(std::vector<struct pollfd>* fds, std::vector<printer*>* ps);
bool bus_serves(const printer* p);
// Whether a printer is there, away with its place kept, or waiting for access to its node.
bool bus_has_printers();
// libusb's descriptors to poll. Returns when the bus next wants attention by the clock (as
// di_now_ms), -1 for never.
long long bus_poll_fds(std::vector<struct pollfd>* fds);
// libusb's events handled. False when libusb failed.
bool bus_events();
// What the callbacks noted, dealt with outside libusb's event handling, and what is due.
void bus_after_events();
// " PATH" for each socket published, for the --ready line.
std::string bus_ready_text();
// Every socket removed, then every printer released and given back to its kernel driver, and
// libusb ended unless some transfers never came back.
void bus_close();
// A libusb call's failure, into the log with libusb's name for it.
void usb_error(const printer* p, const char* what, int err);
