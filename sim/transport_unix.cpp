// The simulated printer as a Linux device interface: one SOCK_SEQPACKET socket in the class
// directory while it is present, one packet per request.
#include <sys/socket.h>

#include "sim/fpsim.h"

static std::string name;
static di_socket sock;

static bool set_up(const sim_config& c, const fpsim_settings&) {
    name = c.run.name;
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

static std::string ready_text() {
    return " " + di_class_path() + "/" + name;
}

// Packets, one request each: the kit's own.
const sim_transport sim_unix_transport = {set_up,     publish, unpublish,  listener,
                                          accept_one, nullptr, ready_text, di_close_class_dir};
