// The driver's side of the TCP link to the simulator. Kept apart from the driver proper because
// the kernel headers and Winsock cannot share a translation unit.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

#include "link.h"

int link_startup(void) {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

static int wait_for(SOCKET s, int for_write, unsigned ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    struct timeval tv;
    tv.tv_sec = (long)(ms / 1000);
    tv.tv_usec = (long)(ms % 1000) * 1000;
    int n = for_write ? select(0, NULL, &set, NULL, &tv) : select(0, &set, NULL, NULL, &tv);
    if (n == 0)
        return LINK_TIMEOUT;
    return n == 1 ? 0 : -1;
}

intptr_t link_connect(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return -1;
    // A connect that hangs would hang the request that made it: bound it like every wait.
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int ok = connect(s, (struct sockaddr*)&addr, sizeof(addr)) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK && wait_for(s, 1, LINK_WAIT_MS) == 0) {
        int err = 0;
        int len = sizeof(err);
        ok = getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&err, &len) == 0 && err == 0;
    }
    nonblocking = 0;
    if (!ok || ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        closesocket(s);
        return -1;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof(one));
    return (intptr_t)s;
}

// Moves `size` bytes one way, the first wait bounded by `ms`; returns as link_recv does.
static int move_all(SOCKET s, char* p, unsigned size, int out, unsigned ms) {
    while (size > 0) {
        int w = wait_for(s, out, ms);
        if (w != 0)
            return w;
        int n = out ? send(s, p, (int)size, 0) : recv(s, p, (int)size, 0);
        if (n <= 0)
            return -1;
        p += n;
        size -= (unsigned)n;
        // Once a message has begun, the rest of it follows at once.
        ms = LINK_WAIT_MS;
    }
    return 0;
}

int link_send(intptr_t s, const void* buf, unsigned size) {
    return move_all((SOCKET)s, (char*)buf, size, 1, LINK_WAIT_MS) == 0 ? 0 : -1;
}

int link_recv(intptr_t s, void* buf, unsigned size, unsigned ms) {
    return move_all((SOCKET)s, buf, size, 0, ms);
}

void link_close(intptr_t s) {
    if (s >= 0)
        closesocket((SOCKET)s);
}
