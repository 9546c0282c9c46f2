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

static bool set_up(const sim_config&, const fpsim_settings& own) {
    int requested_port = own.tcp_port.value_or(0);
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

// A watcher is told the printer's presence at once, and asks nothing more.
static long watch(di_client* c) {
    sim_client_of(c)->in.clear();
    di_client_watch(c);
    uint8_t state = present ? 1 : 0;
    return send(di_client_fd(c), &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1 ? 0 : -1;
}

// The next whole request in the stream, once it has come; a watch request, the first a
// connection may make, makes it a watcher.
static long receive(di_client* c, uint8_t (&packet)[DI_RECEIVE_SIZE]) {
    std::vector<uint8_t>& in = sim_client_of(c)->in;
    for (;;) {
        if (in.size() >= DI_HEADER_SIZE) {
            uint8_t op = in[0];
            uint32_t value = di_get_u32(&in[1]);
            // Past a length no write may have, the stream has no boundaries left to find.
            if (op == DI_OP_WRITE && value > DI_TRANSFER_MAX) {
                di_log("#%d WRITE %u: refused", di_client_id(c), value);
                return -1;
            }
            size_t len = DI_HEADER_SIZE + (op == DI_OP_WRITE ? value : 0);
            if (in.size() >= len && op == DI_OP_WATCH && sim_client_of(c)->model.con == 0)
                return watch(c);
            if (in.size() >= len) {
                memcpy(packet, in.data(), len);
                in.erase(in.begin(), in.begin() + static_cast<long>(len));
                return static_cast<long>(len);
            }
        }
        uint8_t buf[DI_PACKET_MAX];
        ssize_t n;
        do {
            n = recv(di_client_fd(c), buf, sizeof(buf), MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // A watcher only listens: anything it sends ends it.
        if (n <= 0 || di_client_watching(c))
            return -1;
        in.insert(in.end(), buf, buf + n);
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
                                         accept_one, receive, ready_text, shut_down};
