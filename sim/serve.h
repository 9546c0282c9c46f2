// fpsim's pieces: the request answering and run loop in fpsim.cpp, and one transport per file
// (transport_unix.cpp: the Linux device interface; transport_tcp.cpp: the bridge for the
// Windows test driver under Wine). The transport is picked once, at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "di/kit.h"
#include "sim/options.h"

struct sim_client {
    int fd;
    di_session s;            // its number in the log, its OPEN and pipe
    int con;                 // the model's connection, 0 until an OPEN succeeds
    bool after_exit;         // opened the new firmware the loader left behind
    bool watch;              // TCP: told of presence, asks nothing
    std::vector<uint8_t> in; // TCP: the start of a request still arriving
};

struct sim_transport {
    // Before the first publication: the class directory, or the TCP listener.
    bool (*set_up)();
    // The printer appears or disappears; unpublish runs after its clients were cut off.
    bool (*publish)();
    void (*unpublish)();
    // Serves what client `i` sent. Returns false when the client went.
    bool (*serve)(size_t i);
    // Adds each waiting connection with add_client.
    void (*accept_all)(int listen_fd);
    // The rest of the --ready line after the process id.
    std::string (*ready_text)();
    void (*shut_down)();
};

extern const sim_transport sim_unix_transport;
extern const sim_transport sim_tcp_transport;

extern sim_config cfg;
extern std::vector<sim_client> clients;
extern bool published;
extern int listen_fd; // polled for new clients while >= 0

void add_client(int fd);
void drop_client(size_t i);
// Client `i` went: dropped, its model connection closed.
void client_gone(size_t i);
// Answers one request of client `i` and sends the reply. Returns false when the client went.
bool reply_to(size_t i, const uint8_t* req, size_t len);
