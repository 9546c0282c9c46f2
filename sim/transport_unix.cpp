// The simulated printer as a Linux device interface: one SOCK_SEQPACKET socket in the class
// directory while it is present, one packet per request.
#include <sys/socket.h>

#include "sim/fpsim.h"

static std::string name;
static di_socket sock;

static bool set_up(const sim_settings& run) {
    name = run.name;
    return di_open_class_dir();
}

static bool publish() {
    if (!di_publish(name, &sock))
        return false;
    di_log("published %s/%s", di_class_path().c_str(), name.c_str());
    return true;
}

static void unpublish() {
    di_unpublish(name, &sock);
    di_log("unpublished");
}

static int listener() {
    return sock.listen_fd;
}

static int accept_one() {
    return accept4(sock.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

static bool serve(sim_client* c) {
    uint8_t packet[DI_RECEIVE_SIZE];
    long n = di_receive(c->fd, packet);
    return n == 0 || (n > 0 && sim_answer(c, packet, static_cast<size_t>(n)));
}

static std::string ready_text() {
    return " " + di_class_path() + "/" + name;
}

const sim_transport sim_unix_transport = {set_up,     publish, unpublish,  listener,
                                          accept_one, serve,   ready_text, di_close_class_dir};
