// The simulated printer as a Linux device interface: one SOCK_SEQPACKET socket in the class
// directory while it is present, one packet per request.

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
    uint8_t packet[DI_RECEIVE_SIZE];
    long n = di_receive(clients[i].fd, packet);
    if (n < 0) {
        client_gone(i);
        return false;
    }
    return n == 0 || reply_to(i, packet, static_cast<size_t>(n));
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
