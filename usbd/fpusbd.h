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

// ---- one printer's USB device (device.cpp) ------------------------------------------------

// A printer's device, from its arrival until its transfers are all back after it went.
struct printer;

// `dev`, found at `port` with ID `id`, read for the bulk endpoints of the configured
// interface; nothing is opened yet. nullptr, having said why, when its configuration can't be
// read or has no such interface.
printer* usbd_dev_new(libusb_device* dev, const std::string& port, usbd_id id,
                      const usbd_config& c);
// Opens the device and makes its transfers. Returns 0 or a libusb error code, having said
// why unless it is LIBUSB_ERROR_ACCESS: the device node not open to this user (yet).
int usbd_dev_open(printer* p);
void usbd_dev_free(printer* p);

libusb_device* usbd_dev_device(const printer* p);
const std::string& usbd_dev_port(const printer* p);
usbd_id usbd_dev_id(const printer* p);
const usbd_shape& usbd_dev_shape(const printer* p);
// Whether its interface was claimed for an update at some time.
bool usbd_dev_updating(const printer* p);

// Claims the interface (the kernel's driver detached) unless it is claimed already; a claim
// refused is said on stderr once. Returns whether the interface is ours.
bool usbd_dev_claim(printer* p);

// After libusb's events: the WRITE whose transfer came back answered, the halts the callbacks
// noted cleared.
void usbd_dev_after_events(printer* p);

// The device is going, `gone` from the bus or let go by fpusbd: a WRITE it finished is
// answered, one it cut short said on stderr, and its holder let go. Its clients are to be
// cut off next, then the device retired.
void usbd_dev_going(printer* p, bool gone);
// Cancels what the device has on the bus, and releases its interface (the kernel's driver
// attached again) when `release`, without waiting for the transfers to come back.
void usbd_dev_retire(printer* p, bool release);
// Whether transfers are out, and since when the cancelled ones are (-1: none is).
bool usbd_dev_busy(const printer* p);
long long usbd_dev_cancelled_ms(const printer* p);

// What the request handlers do on it, for client `client`. An OPEN holds the printer: refused
// (`why`) while another client holds it, or when the interface cannot be claimed.
bool usbd_dev_hold(printer* p, int client, const char** why);
// The holder lets go: its transfers cancelled, the bytes already received kept.
void usbd_dev_let_go(printer* p, int client);
// A pipe-select: whether the device has the pipe's endpoints; reading starts on it.
bool usbd_dev_select(printer* p, int pipe);
// A READ: what has arrived on the pipe, at once. False for a pipe with no IN endpoint, or
// once for a transfer that failed, behind every byte that came before it.
bool usbd_dev_read(printer* p, int pipe, uint8_t* data, uint32_t wanted, uint32_t* count);
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
// Whether a printer is there, away with its place kept, or waiting for access to its node.
bool usbd_bus_has_printers();
// libusb's descriptors to poll. Returns when the bus next wants attention by the clock (as
// di_now_ms), -1 for never.
long long usbd_bus_poll_fds(std::vector<struct pollfd>* fds);
// libusb's events handled. False when libusb failed.
bool usbd_bus_events();
// What the callbacks noted, dealt with outside libusb's event handling, and what is due.
void usbd_bus_after_events();
// " PATH" for each socket published, for the --ready line.
std::string usbd_bus_ready_text();
// Every socket removed, then every printer released and given back to its kernel driver, and
// libusb ended unless some transfers never came back.
void usbd_bus_close();
// A libusb call's failure in the log, or on stderr too as a warning, with libusb's name for
// it and the port (`where`, nullptr for the bus).
void usbd_usb_error(const char* where, const char* what, int err, bool warn);

// ---- the requests (answer.cpp) ------------------------------------------------------------

// The handlers of the kit's clients.
extern const di_driver usbd_answers;
