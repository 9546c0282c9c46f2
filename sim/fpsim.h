// fpsim's files, each keeping its state to itself: the run and the printer's presence
// (fpsim.cpp); answering requests from the model, or from a trace (answer.cpp); one transport
// per file (transport_unix.cpp: the Linux device interface; transport_tcp.cpp: the bridge for
// the Windows test driver under Wine), picked once, at start. The clients are the kit's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "di/kit.h"
#include "sim/driver.h"

// What fpsim keeps for a client of the kit's.
struct sim_client {
    sim_session model;
    std::vector<uint8_t> in; // TCP: the start of a request still arriving
};

inline sim_client* sim_client_of(const di_client* c) {
    return static_cast<sim_client*>(di_client_data(c));
}

// ---- answering (answer.cpp) ---------------------------------------------------------------

// The handlers of the requests: the model's, with --cut-read's fault, or the recorded
// printer's of --replay.
di_driver sim_answers(const fpsim_settings& own);

// ---- transports (transport_unix.cpp, transport_tcp.cpp) -----------------------------------

struct sim_transport {
    // Before the first publication: the class directory, or the TCP listener.
    bool (*set_up)(const sim_config& c, const fpsim_settings& own);
    // The printer appears or disappears; unpublish runs after its clients were cut off.
    bool (*publish)();
    void (*unpublish)();
    // What to poll for new connections, -1 while there is nothing.
    int (*listener)();
    // The next connection waiting there, -1 when none is.
    int (*accept)();
    // How a client's requests arrive, when not a packet each (di_driver's receive).
    long (*receive)(di_client* c, uint8_t (&buf)[DI_RECEIVE_SIZE]);
    // The rest of the --ready line after the process id.
    std::string (*ready_text)();
    void (*shut_down)();
};

extern const sim_transport sim_unix_transport;
extern const sim_transport sim_tcp_transport;
