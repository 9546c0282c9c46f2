// fpusbd's files, each the one owner of its state: one printer's USB device, its endpoints,
// claim and transfers (device.cpp); the bus, where printers come and go and keep their places
// while they re-enumerate (bus.cpp); the requests of the kit's clients, carried out on the
// device (answer.cpp); the run and the signal watch (fpusbd.cpp). What needs no libusb is in
// usbd.h. Everything here lives on the loop's thread; the signal watch touches only
// di_unpublish_all_now().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <libusb.h>
#include <poll.h>

#include "di/kit.h"
#include "usbd/usbd.h"

// fpusbd's status when the USB bus itself failed it, on which the user unit starts it again.
const int USBD_EXIT_BUS_GONE = 75;

// ---- one printer's USB device (device.cpp) ------------------------------------------------

// A printer's device, from its arrival until its transfers are all back after it went.
struct printer;

// `dev`, found at `port` with ID `id`, read for the bulk endpoints of the configured
// interface (its shape: empty without that interface); nothing is opened yet. nullptr,
// having said why, when its configuration can't be read.
printer* usbd_dev_new(libusb_device* dev, const std::string& port, usbd_id id,
                      const usbd_config& c);
// Opens the device and makes its transfers. Returns 0 or a libusb error code, having said
// why unless it is LIBUSB_ERROR_ACCESS: the device node not open to this user (yet).
int usbd_dev_open(printer* p);
void usbd_dev_free(printer* p);

// libusb's word that it polls `fd`: the device node of the device being opened, if any.
void LIBUSB_CALL usbd_dev_fd_added(int fd, short events, void* unused);

libusb_device* usbd_dev_device(const printer* p);
const std::string& usbd_dev_port(const printer* p);
usbd_id usbd_dev_id(const printer* p);
const usbd_shape& usbd_dev_shape(const printer* p);
int usbd_dev_fd(const printer* p);
// Whether a client holds the printer (or waits for its OPEN's answer).
bool usbd_dev_held(const printer* p);
// When its last holder let go of it; -1 if none ever held it.
long long usbd_dev_let_go_ms(const printer* p);
// Whether its interface is claimed, and no release of it on the way.
bool usbd_dev_claimed(const printer* p);
// Whether a claim refused has been said on stderr; a device that follows the printer is told.
bool usbd_dev_said_refused(const printer* p);
void usbd_dev_take_up(printer* p, bool said_refused);

// Claims the interface (the kernel's driver detached) unless it is claimed already, and then
// selects the alternate setting that carries the pipes; a claim refused is said on stderr
// once. Returns whether the interface is ours.
bool usbd_dev_claim(printer* p);
// Its transfers cancelled, the interface released and the kernel's driver attached again;
// without waiting.
void usbd_dev_release(printer* p);

// After libusb's events: the WRITE whose transfer came back answered, the halts the callbacks
// noted sent to be cleared, a WRITE waiting for the bus failed when its time is over.
void usbd_dev_after_events(printer* p);
// When usbd_dev_after_events has something to do by the clock; -1 for never.
long long usbd_dev_due_ms(const printer* p);

// The device is going, `gone` from the bus or let go by fpusbd: a WRITE it finished is
// answered, one it cut short said on stderr, and its holder let go. Its clients are to be
// cut off next, then the device retired.
void usbd_dev_going(printer* p, bool gone);
// Cancels what the device has on the bus, and releases its interface (the kernel's driver
// attached again) when `release`, without waiting for either.
void usbd_dev_retire(printer* p, bool release);
// Closes the device node whatever the device has on it, its transfers forgotten by libusb
// and freed: for a node that stopped answering. Waits for nothing.
void usbd_dev_drop(printer* p);
// Whether transfers or calls on the bus are out, and since when the cancelled transfers are
// (-1: none is).
bool usbd_dev_busy(const printer* p);
long long usbd_dev_cancelled_ms(const printer* p);

// Calls that wait on the bus (clearing a halt, selecting an alternate setting, releasing an
// interface and re-binding its kernel driver) each run on a thread of their own, one device's
// one after another: `fd` turns readable as one returns, and usbd_dev_calls_back deals with
// what they brought, on the loop's thread. False, having complained, when that can't start.
bool usbd_dev_calls_start();
int usbd_dev_calls_fd();
void usbd_dev_calls_back();

// What the request handlers do on it, for client `client`. An OPEN holds the printer: refused
// (`why`) while another client holds it, or when the interface cannot be claimed. Returns 1
// held, 0 refused, -1 to be answered by di_client_answer once the bus's calls are back.
int usbd_dev_hold(printer* p, int client, const char** why);
// The holder lets go: its transfers cancelled, the bytes already received kept.
void usbd_dev_let_go(printer* p, int client);
// A pipe-select: whether the device has the pipe's endpoints; reading starts on it.
bool usbd_dev_select(printer* p, int pipe);
// A READ: what has arrived on the pipe, at once, kept until usbd_dev_read_sent. False for a
// pipe with no IN endpoint, or once for a transfer that failed, behind every byte that came
// before it.
bool usbd_dev_read(printer* p, int pipe, uint8_t* data, uint32_t wanted, uint32_t* count);
// The reply of a READ went with `count` bytes: those are let go of.
void usbd_dev_read_sent(printer* p, int pipe, uint32_t count);
// A WRITE: one bulk OUT transfer, answered by di_client_answer when it comes back. False
// when it cannot start.
bool usbd_dev_write(printer* p, int pipe, const uint8_t* data, uint32_t len, int client);
// The USB endpoint a READ (`in`) or WRITE on `pipe` goes to.
uint8_t usbd_dev_endpoint(const printer* p, int pipe, bool in);

// ---- the bus (bus.cpp) --------------------------------------------------------------------

// libusb started for the printers `c` names, its own messages into the log. `c` is kept to
// the end. Returns false, having complained.
bool usbd_bus_open(const usbd_config& c);
int usbd_bus_list();
// Follows the bus by hotplug events where libusb has them, else by listing it; the printers
// present are taken at once.
void usbd_bus_follow();
// The published printers' listening sockets to poll, appended to `fds`, and the connections
// waiting there taken by the kit, from `from` of what poll returned.
void usbd_bus_listeners(std::vector<struct pollfd>* fds);
void usbd_bus_accept(const std::vector<struct pollfd>& fds, size_t from);
// The printer's device at a client's place, nullptr while it is away.
printer* usbd_bus_printer(const void* place);
// Whether an update is going on: a printer held by a client, or within USBD_QUIET_MS of being
// let go, here or away re-enumerating.
bool usbd_bus_updating();
// libusb's descriptors to poll. Returns when the bus next wants attention by the clock (as
// di_now_ms), -1 for never.
long long usbd_bus_poll_fds(std::vector<struct pollfd>* fds);
// libusb's events handled, `fds` from `from` being what poll made of usbd_bus_poll_fds'. A
// device node libusb fails on retires its printer; false when libusb failed on none, which is
// the bus itself gone.
bool usbd_bus_events(const std::vector<struct pollfd>& fds, size_t from);
// What the callbacks noted, dealt with outside libusb's event handling, and what is due.
void usbd_bus_after_events();
// " PATH" for each socket published, for the --ready line.
std::string usbd_bus_ready_text();
// Every socket removed, then every printer released and given back to its kernel driver, and
// libusb ended unless a call on the bus never came back.
void usbd_bus_close();
// A libusb call's failure in the log, or on stderr too as a warning, with libusb's name for
// it and the port (`where`, nullptr for the bus).
void usbd_usb_error(const char* where, const char* what, int err, bool warn);

// ---- the requests (answer.cpp) ------------------------------------------------------------

// The handlers of the kit's clients.
extern const di_driver usbd_answers;
