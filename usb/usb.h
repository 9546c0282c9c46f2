// USB transport: finding and opening the printer, and transfers on its numbered endpoints.
#pragma once

#include <cstdint>

#include "usb/platform.h"

// Device-interface class the printer's driver publishes.
extern const di_guid GUID_CLASS_PRINTER;

// The one device handle of the run. Invalid at start; every openUSB overwrites it without
// closing what it held, so the update driver closes it before each reconnection.
extern usb_handle husb;

const int USB_EP_COUNT = 4;
const int EP_JSON = 1;   // application firmware: JSON documents and replies
const int EP_LOADER = 3; // loader: command packets, blocks, reply frames

const uint32_t EP_BUF_SIZE = 1088;

// Read-ahead of one endpoint: `addr` bytes held at the start of `buf`, in arrival order.
struct epInfo {
    unsigned char buf[EP_BUF_SIZE];
    uint32_t addr;
};

// One record per endpoint. Nothing clears them, so bytes held survive a reconnection.
extern epInfo ep_data[USB_EP_COUNT];

// Pipe-select control code of an endpoint: device type 0x950F, function 0x800 + endpoint,
// METHOD_BUFFERED, FILE_ANY_ACCESS.
inline uint32_t pipe_code(int ep_num) {
    return ((static_cast<uint32_t>(ep_num) | 0x800u) << 2) | 0x950F0000u;
}

// Reads up to `size` bytes of endpoint `ep_num` into `buf`, held bytes first, with at most one
// device read of USB_TRANSFER_MAX bytes; the surplus is held for the next call. Returns the
// number of bytes placed in `buf`, or -1 when the transfer failed and nothing was delivered.
// An endpoint outside 0..3 gives -1.
int readUSB(void* buf, uint32_t size, int ep_num);

// Writes at most USB_TRANSFER_MAX bytes of `buf` to endpoint `ep_num`. Returns the count the
// device accepted (possibly short), or -1 when the pipe-select or the write failed.
int writeUSB(const void* buf, uint32_t size, int ep_num);

// Room for the device path openUSB opens, and the most characters of it that are opened.
const size_t USB_PATH_SIZE = 512;
const size_t USB_PATH_MAX = 508;

// One attempt to find and open the printer; empties the loader reply buffer first.
// Returns 0 with the device open in husb, -1 with husb invalid. Prints nothing.
int openUSB();

// Up to 20 attempts of openUSB, 1000 ms apart, one line printed per attempt.
// Returns 0 when the device is open, -1 after 20 failed attempts.
int connect_ADM_USB();
