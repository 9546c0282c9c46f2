// fpusbd's parts, one file each: the run and its messages (fpusbd.cpp), the class directory
// and its sockets (publish.cpp), the clients' requests and the transfers that answer them
// (serve.cpp), and the printers coming and going on the bus (bus.cpp). Everything here lives
// on the one thread of the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <libusb.h>
#include <sys/types.h>

#include "usb/di_publish.h"
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
    di_socket sock; // published while its listen_fd >= 0
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

extern usbd_config cfg;
extern libusb_context* ctx;
extern std::vector<printer*> printers;
extern std::vector<printer*> stuck; // transfers that never came back: never freed
extern std::vector<client> clients;
extern std::vector<hotplug_event> events;
extern std::vector<libusb_device*> rejected; // matching devices that could not be served

// ---- messages (fpusbd.cpp) ----------------------------------------------------------------

// Milliseconds since the start.
long long now_ms();
#if defined(__GNUC__)
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#else
void log_line(const char* fmt, ...);
void complain(const char* fmt, ...);
#endif
// A libusb call's failure, into the log with libusb's name for it.
void usb_error(const printer* p, const char* what, int err);

// ---- publishing (usb/di_publish.h) --------------------------------------------------------

bool publish(printer* p);
// Removes the socket, if it is still ours.
void unpublish(printer* p);

// ---- requests and transfers (serve.cpp) ---------------------------------------------------

bool claimed(const printer* p);
// Keeps one IN transfer pending on `e` while the interface is held and a packet fits.
void in_refill(in_endpoint* e);
// Cancels the printer's transfers and waits for them; false when they never came back.
bool drain(printer* p);
// Lets go of the interface after its holder went.
void release(printer* p);
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
// What the callbacks noted, dealt with outside libusb's event handling.
void after_events();
// Where libusb has no hotplug events: the bus now against what is published.
void poll_bus();
void device_arrived(libusb_device* dev);
void device_left(libusb_device* dev);
// Printer `k` goes: unplugged or re-enumerating (`gone`), or fpusbd stopping.
void leave(size_t k, bool gone);
int list_devices();
// Every printer released and unpublished, every device let go of.
void forget_bus();
