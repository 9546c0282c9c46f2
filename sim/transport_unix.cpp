// The simulated printer as a Linux device interface: one SOCK_SEQPACKET socket in the class
// directory while it is present, one packet per request.
#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

#include "di/kit.h"
#include "sim/serve.h"

static di_socket sock;

static bool set_up() {
    return di_open_class_dir();
}

static bool publish() {
    if (!di_publish(cfg.run.name, &sock))
        return false;
    listen_fd = sock.listen_fd;
    di_log("published %s/%s", di_class_path().c_str(), cfg.run.name.c_str());
    return true;
}

static void unpublish() {
    di_unpublish(cfg.run.name, &sock);
    listen_fd = -1;
    di_log("unpublished");
}

static bool serve(size_t i) {
    uint8_t req[DI_PACKET_MAX + 1];
    ssize_t n;
    do {
        n = recv(clients[i].fd, req, sizeof(req), MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (n <= 0) {
        client_gone(i);
        return false;
    }
    // An oversized packet is answered as one, never read past the buffer.
    size_t len =
        static_cast<size_t>(n) <= DI_PACKET_MAX ? static_cast<size_t>(n) : DI_PACKET_MAX + 1;
    return reply_to(i, req, len);
}

static void accept_all(int fd) {
    int c;
    while ((c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0)
        add_client(c);
}

static std::string ready_text() {
    return " " + di_class_path() + "/" + cfg.run.name;
}

const sim_transport sim_unix_transport = {set_up,     publish,    unpublish,         serve,
                                          accept_all, ready_text, di_close_class_dir};
