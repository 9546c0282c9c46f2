// The one in-process platform, for the unit tests, the bench and the fuzzers: a scripted device,
// a log of every call, and a virtual clock behind plat_sleep that adds the milliseconds up
// without waiting.
//
// With no backend set, the device is scripted per call (see fake_device). A backend (the
// simulated printer, a fuzz target's device) can take the device's place; the log and the
// clock stay the same.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "usb/platform.h"

enum fake_op { OP_FIND, OP_OPEN, OP_CLOSE, OP_IOCTL, OP_READ, OP_WRITE, OP_SLEEP };

struct fake_call {
    fake_op op;
    uint32_t arg;   // ioctl code, bytes asked for or offered, or milliseconds
    int ep;         // endpoint selected at the time of a read or write, else -1
    bool ok;        // what the call returned
    uint32_t count; // bytes delivered or accepted
    long con_pos;   // console bytes printed before the call
};

// One scripted device read: `fail`, or these bytes (empty: nothing pending).
struct fake_read {
    bool fail;
    std::vector<uint8_t> data;
};

// One scripted device write: `fail`, or accept `accept` bytes (-1: all offered).
struct fake_write {
    bool fail;
    int accept;
};

// The device behind the seam when no backend is set. Each queue is consumed one entry per
// call; an empty queue means the ordinary answer (present, opens, selects, nothing to read,
// accepts everything).
struct fake_device {
    std::deque<bool> present;                     // plat_find_interface answers
    std::deque<bool> opens;                       // plat_open answers
    std::deque<bool> ioctls;                      // plat_ioctl answers
    std::deque<fake_read> reads[4];               // per endpoint
    std::deque<fake_write> writes[4];             // per endpoint
    std::string path = "fake-printer";            // what plat_find_interface reports
    std::vector<std::vector<uint8_t>> written[4]; // every accepted write, per endpoint
    std::string opened;                           // last path given to plat_open
};

// A replacement for the scripted device, call by call: each function set answers in its place,
// each left null leaves that call to the scripted device.
struct fake_backend {
    bool (*present)();
    bool (*open)();
    void (*close)();
    bool (*ioctl)(uint32_t code);
    bool (*read)(uint8_t* buf, uint32_t size, uint32_t* count);
    bool (*write)(const uint8_t* buf, uint32_t size, uint32_t* count);
};

extern fake_device fake;
extern std::vector<fake_call> fake_log;
extern uint64_t fake_clock_ms;
extern const fake_backend* fake_backend_in_use;

// Back to a fresh device, empty log, clock at 0, no backend.
void fake_reset();

// fake_reset, then the simulated printer in the device's place, playing scenario `o`. The
// program's own process-wide state is left to the caller. (fake_sim.cpp, with the model.)
void fake_serve_sim(const sim_options& o);

// Calls of one kind in the log, in order.
std::vector<fake_call> fake_calls(fake_op op);
