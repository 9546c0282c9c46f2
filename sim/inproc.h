// The simulated printer served in-process, to a platform that runs in the same process: the
// tests' platform with its call log, or the bare one below for programs that only want the
// model behind the seam (the pause-budget bench). Enumerations count the away counts down, so
// a scenario plays out on a virtual clock in microseconds.
#pragma once

#include <cstdint>

#include "sim/sim.h"

// Starts scenario `o` with no connection open.
void sim_inproc_reset(const sim_options& o);

// The device calls, on the connection opened last.
bool sim_inproc_find();
bool sim_inproc_open();
void sim_inproc_close();
bool sim_inproc_ioctl(uint32_t code);
bool sim_inproc_read(uint8_t* buf, uint32_t size, uint32_t* count);
bool sim_inproc_write(const uint8_t* buf, uint32_t size, uint32_t* count);

// The bare platform (library fp_sim_platform): the seam on these calls, and a clock that adds
// up every plat_sleep without waiting.
extern uint64_t sim_inproc_clock_ms;
