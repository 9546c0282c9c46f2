// TCP link from the test driver to the simulator's bridge on 127.0.0.1. Every call returns within
// a bounded time, so a request never outlives a simulator that went away.
#pragma once

#include <stdint.h>

// Longest wait for one step of a connection, a send or the rest of a reply.
#define LINK_WAIT_MS 3000u
#define LINK_TIMEOUT (-2)

int link_startup(void);

// A connected socket, or -1.
intptr_t link_connect(unsigned short port);

// 0 when all of `size` bytes went out, -1 otherwise.
int link_send(intptr_t s, const void* buf, unsigned size);

// 0 when `size` bytes arrived, LINK_TIMEOUT when none came within `ms`, -1 on a closed or
// failed connection.
int link_recv(intptr_t s, void* buf, unsigned size, unsigned ms);

// Closes `s`; -1, no socket, is left alone.
void link_close(intptr_t s);
