// The command line of a program that serves the simulated printer (fpsim, and the emulated USB
// bus of the tests): one table of options, each written once with its argument, help text and
// setter; the parser and --help are made from it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "sim/sim.h"

// How the driver serves the printer, as opposed to what the printer does.
struct sim_settings {
    std::string name = "printer"; // the instance name, the socket's file name
    const char* ready = nullptr;
    const char* log = nullptr;
    const char* save = nullptr;
    int reenum_ms = 200;
    bool stop_when_done = false;
    long lifetime_s = 0;
    int cut_read = 0;  // 0: no reply is cut
    int tcp_port = -1; // -1: publish a socket instead
    bool hold = false;
};

struct sim_config {
    sim_settings run;
    sim_options model;
};

enum sim_option_group { SIM_GROUP_DRIVER, SIM_GROUP_PRINTER };

struct sim_option {
    const char* name; // without the dashes
    const char* arg;  // the argument's name in --help; nullptr for a flag
    sim_option_group group;
    const char* help; // lines separated by '\n'
    // Takes the option's argument (nullptr for a flag); false when it is no good. --version's
    // prints and exits.
    bool (*set)(sim_config* c, const char* arg);
};

extern const sim_option sim_option_table[];
extern const size_t sim_option_count;

// Exit statuses of the drivers.
enum { SIM_EXIT_OK = 0, SIM_EXIT_FAILED = 1, SIM_EXIT_USAGE = 2 };

// Parses argv into `c` against the shared table and, after it, `extra` (a program's own
// options; may be null). `intro` opens --help. Returns -1 to go on, or the status to exit with
// after --help or a bad command line (the complaint printed to stderr as "PROGRAM: ...").
int sim_parse_command_line(int argc, char** argv, const char* program, const char* intro,
                           sim_config* c, const sim_option* extra, size_t extra_count);
