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

#include "sim/fpsim.h"

static int listen_fd = -1;
static int bound_port = 0;
static bool present = false;

static bool set_up(const sim_settings& run) {
    int requested_port = run.tcp_port.value_or(0);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(requested_port));
    socklen_t len = sizeof(addr);
    // The Wine driver keeps its port for the whole test run while fpsim comes and goes.
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        di_complain("cannot listen on 127.0.0.1:%d: %s", requested_port, strerror(errno));
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
    present = true;
    di_log("published");
    return true;
}

static void unpublish() {
    present = false;
    di_log("unpublished");
}

static int listener() {
    return listen_fd;
}

static int accept_one() {
    int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    // Every request waits for its reply: nothing is gained by holding one back.
    int one = 1;
    if (c >= 0)
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return c;
}

// Serves every whole request that has arrived, until the printer goes. Returns false when the
// client went.
static bool serve(sim_client* c) {
    uint8_t buf[DI_PACKET_MAX];
    ssize_t n;
    do {
        n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    // A watcher only listens: anything it sends ends it.
    if (n <= 0 || c->watch)
        return false;
    c->in.insert(c->in.end(), buf, buf + n);
    for (;;) {
        if (c->in.size() < DI_HEADER_SIZE)
            return true;
        uint8_t op = c->in[0];
        uint32_t value = di_get_u32(&c->in[1]);
        // Past a length no write may have, the stream has no boundaries left to find.
        if (op == DI_OP_WRITE && value > DI_TRANSFER_MAX) {
            di_log("#%d WRITE %u: refused", c->s.id, value);
            return false;
        }
        size_t len = DI_HEADER_SIZE + (op == DI_OP_WRITE ? value : 0);
        if (c->in.size() < len)
            return true;
        if (op == DI_OP_WATCH && c->model.con == 0) {
            c->watch = true;
            c->in.clear();
            di_log("#%d watching", c->s.id);
            uint8_t state = present ? 1 : 0;
            return send(c->fd, &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1;
        }
        uint8_t req[DI_PACKET_MAX];
        memcpy(req, c->in.data(), len);
        c->in.erase(c->in.begin(), c->in.begin() + static_cast<long>(len));
        bool was_present = sim_is_present();
        if (!sim_answer(c, req, len))
            return false;
        // What is left was meant for a printer that is gone.
        if (was_present && !sim_is_present())
            return true;
    }
}

static std::string ready_text() {
    return " " + std::to_string(bound_port);
}

static void shut_down() {
    if (listen_fd >= 0)
        close(listen_fd);
    listen_fd = -1;
}

const sim_transport sim_tcp_transport = {set_up,     publish, unpublish,  listener,
                                         accept_one, serve,   ready_text, shut_down};
