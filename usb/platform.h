// The platform seam: everything fpflash takes from the operating system.
//
// One implementation per platform, chosen at link time: platform_win32.cpp (SetupAPI and the
// printer's driver), platform_posix.cpp (device interfaces published as sockets), and, for the
// tests, an in-process platform. Nothing above this header knows which one it runs on, and this
// header never includes <windows.h>: the handle is an opaque integer.
//
// All functions are mandatory. None of them prints, retries or keeps state visible to callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// di_guid: the class of an interface, in the GUID layout of every platform.
#include "di/contract.h"

// An open device. On Windows the HANDLE value, on Linux the socket descriptor.
typedef intptr_t usb_handle;

// INVALID_HANDLE_VALUE on Windows is (HANDLE)-1; the other platforms use the same value.
const usb_handle USB_INVALID_HANDLE = -1;

// Room for a device path as a platform finds it, whole.
const size_t USB_FOUND_PATH_SIZE = 4096;

// Largest single device read or write.
const uint32_t USB_TRANSFER_MAX = 1024;

// Finds the first present device interface of class `cls` (enumeration index 0) and stores its
// whole path, terminated, in `path` (`size` bytes). Returns 0 when found; -1 when no interface
// is present, any step of the lookup fails or the path does not fit, and then `path` is left
// unspecified. Releases everything it acquires on every path.
int plat_find_interface(const di_guid* cls, char* path, size_t size);

// Opens `path` for synchronous read and write with exclusive access. Returns the handle, or
// USB_INVALID_HANDLE on any failure (missing, busy, refused).
usb_handle plat_open(const char* path);

// Closes `h`. Returns 0 on success, -1 otherwise; callers do not look at it.
int plat_close(usb_handle h);

// The pipe-select call: a device control call with `code` and no data. Returns non-zero when
// the next read or write on `h` goes to the pipe the code names, 0 on failure.
int plat_ioctl(usb_handle h, uint32_t code);

// One device read of at most `size` (<= USB_TRANSFER_MAX) bytes into `buf`; never waits for the
// device to have something. Stores the count delivered in `*count` (0 when nothing is pending)
// and returns non-zero; returns 0 on failure, with `*count` 0.
int plat_read(usb_handle h, void* buf, uint32_t size, uint32_t* count);

// One device write of `size` (<= USB_TRANSFER_MAX) bytes from `buf`. Stores the count the device
// accepted in `*count` and returns non-zero; returns 0 on failure, with `*count` 0.
int plat_write(usb_handle h, const void* buf, uint32_t size, uint32_t* count);

// Blocks the thread for `ms` milliseconds.
void plat_sleep(uint32_t ms);

// Opens `path` for reading in binary mode, only when it names a regular file. A directory,
// FIFO, socket or device (NUL and CON on Windows) is refused at once: opening a FIFO without a
// writer must not hold the run, and what is checked is the file that was opened, never a name
// looked up before. Returns the stream, which the caller closes with fclose, or null on any
// failure.
FILE* plat_open_regular(const char* path);
