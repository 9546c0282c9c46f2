// What every program that serves the simulated printer as a driver shares (fpsim, the tests'
// USB bus): its command line (options.cpp), and the printer's comings and goings on the wall
// clock, where the model's away counts are milliseconds, the model's notes in the log and the
// image saved at the end (driver.cpp).
#pragma once

#include "sim/options.h"

// Resets the model as `c` says; with --hold, the printer stays away until SIGUSR1.
void sim_driver_start(const sim_config& c);

// A client's connection to the model.
struct sim_session {
    int con = 0;             // 0 until it opens the printer
    bool after_exit = false; // it opened the new firmware the loader left behind
};

// Opens the printer for `s`. False when it is away, held or refusing.
bool sim_session_open(sim_session* s);

// Closes `s` if it is open. True when that ends the scenario (--stop-when-done): the new
// firmware was opened, and is closed now.
bool sim_session_close(sim_session* s);

// The model's notes since the last call, into the log.
void sim_log_notes();

// The printer has just gone away: its return is timed.
void sim_went_away();

// Whether the printer that was away is back now, its time having come; the model has it back.
bool sim_comes_back();

// When the next of these is due, as di_now_ms: the printer's return, the end of --lifetime;
// -1 for neither.
long long sim_next_due();

// Whether --lifetime has run out.
bool sim_lifetime_over();

// --save: `image`, what the printer kept, written to `path`.
void sim_save_image(const char* path, const std::vector<uint8_t>& image);
