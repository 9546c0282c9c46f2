// The command line of a program that serves the simulated printer (fpsim, and the emulated USB
// bus of the tests): one table of options for the kit's parser (di/kit.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "di/kit.h"
#include "sim/sim.h"

// How the driver serves the printer, as opposed to what the printer does.
struct sim_settings {
    std::string name = "printer"; // the instance name, the socket's file name
    bool named = false;           // --name given
    const char* ready = nullptr;
    const char* log = nullptr;
    const char* save = nullptr;
    int reenum_ms = 200;
    bool stop_when_done = false;
    long lifetime_s = 0;
    bool hold = false;
};

struct sim_config {
    sim_settings run;
    sim_options model;
};

// The headings of --help the options stand under.
enum { SIM_GROUP_DRIVER, SIM_GROUP_PRINTER };

// Parses argv into `c` against the table of options.cpp and, after it, `extra` (a program's
// own options, with what they set; none when its count is 0). `intro` opens --help. Returns
// -1 to go on, or the status to exit with after --help, --version or a bad command line (said
// on stderr as "PROGRAM: ...").
int sim_parse_command_line(int argc, char** argv, const char* program, const char* intro,
                           sim_config* c, const di_table& extra = {nullptr, 0, nullptr});

// What fpsim alone has, beside the printer: its transport for the Windows test driver, a
// fault of its socket, and a printer recorded on a real bus in the model's place.
struct fpsim_settings {
    std::optional<int> tcp_port; // serve on it instead of publishing a socket
    std::optional<int> cut_read; // the Kth READ with data has its reply cut
    const char* replay = nullptr;
    const char* replay_device = nullptr; // which printer of a capture
    const char* summary = nullptr;       // --replay-summary: what a recording holds, and exit
};

// fpsim's command line: the table of options.cpp and fpsim's own, into `c` and `own`.
int fpsim_parse_command_line(int argc, char** argv, const char* intro, sim_config* c,
                             fpsim_settings* own);
