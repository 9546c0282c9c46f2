// fpsim's files, each keeping its state to itself: the run, its clients and the printer's
// presence (fpsim.cpp); answering requests from the model (answer.cpp); one transport per
// file (transport_unix.cpp: the Linux device interface; transport_tcp.cpp: the bridge for the
// Windows test driver under Wine), picked once, at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "di/kit.h"
#include "sim/driver.h"

struct sim_client {
    int fd;
    di_session s; // its number in the log, its OPEN and pipe
    sim_session model;
    bool watch;              // TCP: told of presence, asks nothing
    std::vector<uint8_t> in; // TCP: the start of a request still arriving
};

// ---- answering (answer.cpp) ---------------------------------------------------------------

// --cut-read: the reply to the Kth READ that carries data is cut short.
void sim_answer_cut(std::optional<int> k);

// --replay: requests are answered from the recording, not the model.
void sim_answer_replayed();

// Answers one request of `c` from the model. Returns false when `c` must go: its reply could
// not be sent, or was cut.
bool sim_answer(sim_client* c, const uint8_t* packet, size_t len);

// ---- transports (transport_unix.cpp, transport_tcp.cpp) -----------------------------------

struct sim_transport {
    // Before the first publication: the class directory, or the TCP listener.
    bool (*set_up)(const sim_settings& run);
    // The printer appears or disappears; unpublish runs after its clients were cut off.
    bool (*publish)();
    void (*unpublish)();
    // What to poll for new connections, -1 while there is nothing.
    int (*listener)();
    // The next connection waiting there, -1 when none is.
    int (*accept)();
    // Serves what `c` sent. Returns false when it has gone.
    bool (*serve)(sim_client* c);
    // The rest of the --ready line after the process id.
    std::string (*ready_text)();
    void (*shut_down)();
};

extern const sim_transport sim_unix_transport;
extern const sim_transport sim_tcp_transport;
