// The simulated printer served by the in-process platform: enumerations count its away
// counts down, and the virtual clock runs as the program sleeps.
#pragma once

#include "sim/sim.h"
#include "tests/fake_platform.h"

// The backend to set in fake_backend_in_use. It keeps the connection the program opened last.
const fake_backend* sim_backend();

// Starts scenario `o` behind a freshly reset fake platform (log empty, clock at 0) and plugs
// the model in. The program's own process-wide state is left to the caller.
void sim_inproc_start(const sim_options& o);
