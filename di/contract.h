/* The device-interface contract on Linux, shared by fpflash's platform and every driver that
   publishes printers (fpsim, fpusbd). It is fixed: other programs speak it too.

   Each interface is a SOCK_SEQPACKET socket in <base>/<class>/, its file name the instance
   name. Every request is one packet (u8 op, u32 value, payload for WRITE) answered by one
   packet (u8 status, u32 count, data for READ); integers are little-endian.

   Plain C up to the helpers at the end: the Windows test driver takes the class and the
   messages from here too. Nothing here touches the operating system, so both sides can be
   checked against it alone. */
#ifndef DI_CONTRACT_H
#define DI_CONTRACT_H

#include <stdint.h>

/* A device-interface class, in Windows' GUID layout. */
typedef struct di_guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} di_guid;

/* The class the printer's USB driver publishes its interface under. */
/* clang-format off */
#define DI_PRINTER_CLASS \
    {0x594538DA, 0x78A8, 0x06C1, {0x16, 0xB5, 0x17, 0x77, 0x9E, 0x24, 0xDF, 0x87}}
/* clang-format on */

enum {
    DI_OP_OPEN = 0,  /* value: desired access, DI_ACCESS */
    DI_OP_IOCTL = 1, /* value: control code */
    DI_OP_READ = 2,  /* value: bytes wanted, 1 to DI_TRANSFER_MAX */
    DI_OP_WRITE = 3, /* value: payload length, 0 to DI_TRANSFER_MAX */
    /* Not on the Linux sockets: fpsim's TCP bridge for the Windows test driver answers a
       connection that starts with it by a byte, 1 present or 0 away, at once and at every
       change. */
    DI_OP_WATCH = 4
};

enum { DI_FAILURE = 0, DI_SUCCESS = 1 };

enum {
    DI_HEADER_SIZE = 5,
    DI_TRANSFER_MAX = 1024,
    DI_PACKET_MAX = DI_HEADER_SIZE + DI_TRANSFER_MAX,
    DI_ENDPOINTS = 4
};

#define DI_ACCESS 0xC0000000u /* GENERIC_READ | GENERIC_WRITE */

/* Pipe-select codes: 0x950F2000 | endpoint << 2 for endpoints 0 to 3; any other code fails. */
#define DI_PIPE_SELECT 0x950F2000u

#ifdef __cplusplus

#include <cstddef>
#include <cstdio>

const char DI_BASE_NAME[] = "device-interfaces";
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its terminator.
const size_t DI_CLASS_NAME_SIZE = 39;

inline void di_put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t di_get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Writes a request or reply header into `p` (DI_HEADER_SIZE bytes).
inline void di_header(uint8_t* p, uint8_t op_or_status, uint32_t value) {
    p[0] = op_or_status;
    di_put_u32(p + 1, value);
}

// The endpoint a pipe-select code names, or -1 when the code is no pipe-select.
inline int di_pipe_endpoint(uint32_t code) {
    if ((code & ~0xCu) != DI_PIPE_SELECT)
        return -1;
    return static_cast<int>((code >> 2) & 3u);
}

// The base directory: $XDG_RUNTIME_DIR/device-interfaces when `xdg` is set and not empty, else
// /tmp/device-interfaces-<euid>. Returns 0, or -1 when it does not fit in `size`.
inline int di_base_dir(const char* xdg, unsigned euid, char* out, size_t size) {
    int n;
    if (xdg != nullptr && xdg[0] != '\0')
        n = snprintf(out, size, "%s/%s", xdg, DI_BASE_NAME);
    else
        n = snprintf(out, size, "/tmp/%s-%u", DI_BASE_NAME, euid);
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

// The class directory's name: the GUID in registry form, upper case, with braces.
inline void di_class_name(const di_guid& g, char (&out)[DI_CLASS_NAME_SIZE]) {
    (void)snprintf(out, sizeof(out), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                   static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                   static_cast<unsigned>(g.data3), static_cast<unsigned>(g.data4[0]),
                   static_cast<unsigned>(g.data4[1]), static_cast<unsigned>(g.data4[2]),
                   static_cast<unsigned>(g.data4[3]), static_cast<unsigned>(g.data4[4]),
                   static_cast<unsigned>(g.data4[5]), static_cast<unsigned>(g.data4[6]),
                   static_cast<unsigned>(g.data4[7]));
}

// Mode bits a directory must not have: anyone who could write there could plant a printer and
// be sent the firmware.
const unsigned DI_UNTRUSTED_MODE = 0022; // S_IWGRP | S_IWOTH

// Whether the base or class directory may be believed: a directory, owned by the effective
// user, writable by nobody else. Clients find nothing in one that is not; drivers warn.
inline bool di_dir_trusted(bool is_dir, unsigned owner, unsigned mode, unsigned euid) {
    return is_dir && owner == euid && (mode & DI_UNTRUSTED_MODE) == 0;
}

// Directories a driver creates are private to its user.
const unsigned DI_DIR_MODE = 0700;

#endif
#endif
