// The simulated printer for a driver that cannot reach the Linux sockets (the Windows test
// driver inside Wine): the same messages over TCP streams on 127.0.0.1, and watch connections
// that stand in for the socket's appearing and disappearing.
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "di/kit.h"
#include "sim/serve.h"

static int bound_port = 0;

// A watcher that doesn't take its byte can no longer be told anything.
static void tell_watchers() {
    uint8_t state = published ? 1 : 0;
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i].watch && send(clients[i].fd, &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
            di_log("#%d lost", clients[i].s.id);
            drop_client(i);
        }
}

static bool set_up() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(cfg.run.tcp_port));
    socklen_t len = sizeof(addr);
    // The Wine driver keeps its port for the whole test run while fpsim comes and goes.
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        di_complain("cannot listen on 127.0.0.1:%d: %s", cfg.run.tcp_port, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    listen_fd = fd;
    bound_port = ntohs(addr.sin_port);
    di_log("listening on 127.0.0.1:%d", bound_port);
    return true;
}

static bool publish() {
    di_log("published");
    tell_watchers();
    return true;
}

static void unpublish() {
    di_log("unpublished");
    tell_watchers();
}

// Serves every whole request that has arrived, until the printer goes. Returns false when the
// client went.
static bool serve(size_t i) {
    uint8_t buf[DI_PACKET_MAX];
    ssize_t n;
    do {
        n = recv(clients[i].fd, buf, sizeof(buf), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    // A watcher only listens: anything it sends ends it.
    if (n <= 0 || clients[i].watch) {
        client_gone(i);
        return false;
    }
    clients[i].in.insert(clients[i].in.end(), buf, buf + n);
    for (;;) {
        sim_client* c = &clients[i];
        if (c->in.size() < DI_HEADER_SIZE)
            return true;
        uint8_t op = c->in[0];
        uint32_t value = di_get_u32(&c->in[1]);
        // Past a length no write may have, the stream has no boundaries left to find.
        if (op == DI_OP_WRITE && value > DI_TRANSFER_MAX) {
            di_log("#%d WRITE %u: refused", c->s.id, value);
            client_gone(i);
            return false;
        }
        size_t len = DI_HEADER_SIZE + (op == DI_OP_WRITE ? value : 0);
        if (c->in.size() < len)
            return true;
        if (op == DI_OP_WATCH && c->con == 0) {
            c->watch = true;
            c->in.clear();
            di_log("#%d watching", c->s.id);
            uint8_t state = published ? 1 : 0;
            if (send(c->fd, &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
                client_gone(i);
                return false;
            }
            return true;
        }
        uint8_t req[DI_PACKET_MAX];
        memcpy(req, c->in.data(), len);
        c->in.erase(c->in.begin(), c->in.begin() + static_cast<long>(len));
        bool was_present = sim_is_present();
        if (!reply_to(i, req, len))
            return false;
        // What is left was meant for a printer that is gone.
        if (was_present && !sim_is_present())
            return true;
    }
}

static void accept_all(int fd) {
    int c;
    while ((c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        // Every request waits for its reply: nothing is gained by holding one back.
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        add_client(c);
    }
}

static std::string ready_text() {
    return " " + std::to_string(bound_port);
}

static void shut_down() {}

const sim_transport sim_tcp_transport = {set_up,     publish,    unpublish, serve,
                                         accept_all, ready_text, shut_down};
