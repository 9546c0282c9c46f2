// Requests a client may get wrong, in an order that reaches each check, and what a driver must
// answer: failure for each. The printer has bulk pipes 1 and 3 only, as the tests' printer
// does. The kit's test plays them in-process (tests/di_test.cpp); the USB testbed sends them
// to fpusbd (--rude-client).
#pragma once

#include <cstdint>
#include <vector>

#include "di/contract.h"

// A request with its header and `payload` bytes after it.
inline std::vector<uint8_t> di_test_request(uint8_t op, uint32_t value, size_t payload = 0) {
    std::vector<uint8_t> r(DI_HEADER_SIZE + payload, 0x5A);
    di_header(r.data(), op, value);
    return r;
}

struct rude_step {
    const char* what;
    std::vector<uint8_t> req;
    int status;
    const char* logged; // the request's line in the driver's log, after the time
};

inline std::vector<rude_step> rude_steps() {
    const uint32_t pipe1 = DI_PIPE_SELECT | 1u << 2;
    const size_t packet = 512; // the printer's wMaxPacketSize: the write ends with a ZLP
    return {
        {"a 3-byte packet", {DI_OP_OPEN, 0, 0}, DI_FAILURE, "#1 request of 3 bytes: refused"},
        {"OPEN for read access only", di_test_request(DI_OP_OPEN, 0x80000000u), DI_FAILURE,
         "#1 OPEN 0x80000000: refused"},
        {"IOCTL before OPEN", di_test_request(DI_OP_IOCTL, pipe1), DI_FAILURE,
         "#1 IOCTL 0x950F2004: failed"},
        {"READ before OPEN", di_test_request(DI_OP_READ, 64), DI_FAILURE, "#1 READ 64: failed 0"},
        {"OPEN", di_test_request(DI_OP_OPEN, DI_ACCESS), DI_SUCCESS, "#1 OPEN 0xC0000000: ok"},
        {"a second OPEN", di_test_request(DI_OP_OPEN, DI_ACCESS), DI_FAILURE,
         "#1 OPEN 0xC0000000: refused"},
        {"READ before IOCTL", di_test_request(DI_OP_READ, 64), DI_FAILURE, "#1 READ 64: failed 0"},
        {"IOCTL with no pipe-select code", di_test_request(DI_OP_IOCTL, 0x12345678u), DI_FAILURE,
         "#1 IOCTL 0x12345678: failed"},
        {"IOCTL of pipe 0, the control endpoint", di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT),
         DI_FAILURE, "#1 IOCTL 0x950F2000: failed"},
        {"IOCTL of pipe 2, which the printer lacks",
         di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 8u), DI_FAILURE,
         "#1 IOCTL 0x950F2008: failed"},
        {"IOCTL of pipe 1", di_test_request(DI_OP_IOCTL, pipe1), DI_SUCCESS,
         "#1 IOCTL 0x950F2004: ok"},
        {"READ of 0 bytes", di_test_request(DI_OP_READ, 0), DI_FAILURE, "#1 READ 0: failed 0"},
        {"READ of 1025 bytes", di_test_request(DI_OP_READ, 1025), DI_FAILURE,
         "#1 READ 1025: failed 0"},
        {"READ with a payload", di_test_request(DI_OP_READ, 64, 1), DI_FAILURE,
         "#1 READ 64: failed 0"},
        {"READ with nothing pending", di_test_request(DI_OP_READ, 1024), DI_SUCCESS,
         "#1 READ 1024: ok 0"},
        {"WRITE of a whole number of packets", di_test_request(DI_OP_WRITE, packet, packet),
         DI_SUCCESS, "#1 WRITE 512: ok 512"},
        {"WRITE shorter than it says", di_test_request(DI_OP_WRITE, 10, 5), DI_FAILURE,
         "#1 WRITE 10: failed 0"},
        {"WRITE of 1025 bytes", di_test_request(DI_OP_WRITE, 1025, 1025), DI_FAILURE,
         "#1 WRITE 1025: failed 0"},
        {"an unknown op", di_test_request(7, 0), DI_FAILURE, "#1 op 7: refused"},
        {"a packet past the largest request", di_test_request(DI_OP_WRITE, 1024, 1025), DI_FAILURE,
         "#1 WRITE 1024: failed 0"},
    };
}
