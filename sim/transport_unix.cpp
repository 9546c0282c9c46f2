// The simulated printer as a Linux device interface: one SOCK_SEQPACKET socket in the class
// directory while it is present, one packet per request.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/serve.h"
#include "usb/device_interface.h"
#include "usb/printer_class.h"

static std::string class_path;
static int class_fd = -1;
static dev_t sock_dev = 0;
static ino_t sock_ino = 0;

static bool dir_private(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           di_dir_trusted(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

// Opens `name` under `at` as a directory, creating it private first when it is missing.
static int make_dir(int at, const char* name, const std::string& shown) {
    if (mkdirat(at, name, DI_DIR_MODE) != 0 && errno != EEXIST) {
        complain("cannot create %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        complain("cannot open %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    // Someone else's directory is theirs to fix; the client will simply find nothing there.
    if (!dir_private(fd))
        complain("warning: %s is not private to this user; clients will ignore it", shown.c_str());
    return fd;
}

static bool set_up() {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0) {
        complain("the runtime directory's path is too long");
        return false;
    }
    int base_fd = make_dir(AT_FDCWD, base, base);
    if (base_fd < 0)
        return false;
    static const di_guid printer_class = FP_PRINTER_CLASS;
    char class_name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, class_name);
    class_path = std::string(base) + "/" + class_name;
    class_fd = make_dir(base_fd, class_name, class_path);
    close(base_fd);
    return class_fd >= 0;
}

// The socket's address; a path too long for sun_path goes through the directory's descriptor.
static bool socket_address(struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::string path = class_path + "/" + cfg.run.name;
    if (path.size() >= sizeof(addr->sun_path))
        path = "/proc/self/fd/" + std::to_string(class_fd) + "/" + cfg.run.name;
    if (path.size() >= sizeof(addr->sun_path))
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket left behind by a driver that died is removed; one that answers is another
// driver's, and two drivers must not share a name.
static bool clear_name() {
    const char* name = cfg.run.name.c_str();
    struct stat st;
    if (fstatat(class_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISSOCK(st.st_mode)) {
        complain("%s/%s exists and is not a socket", class_path.c_str(), name);
        return false;
    }
    struct sockaddr_un addr;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 && socket_address(&addr) &&
                 connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0)
        close(fd);
    if (alive) {
        complain("another driver publishes %s/%s", class_path.c_str(), name);
        return false;
    }
    return unlinkat(class_fd, name, 0) == 0 || errno == ENOENT;
}

static bool publish() {
    const char* name = cfg.run.name.c_str();
    struct sockaddr_un addr;
    if (!clear_name() || !socket_address(&addr))
        return false;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat st;
    if (fd < 0 || bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 || fstatat(class_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        complain("cannot publish %s/%s: %s", class_path.c_str(), name, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    listen_fd = fd;
    sock_dev = st.st_dev;
    sock_ino = st.st_ino;
    log_line("published %s/%s", class_path.c_str(), name);
    return true;
}

// Only our own socket goes: another driver may have taken the name since.
static void unpublish() {
    close(listen_fd);
    listen_fd = -1;
    const char* name = cfg.run.name.c_str();
    struct stat st;
    if (fstatat(class_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == sock_dev &&
        st.st_ino == sock_ino)
        unlinkat(class_fd, name, 0);
    log_line("unpublished");
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

static void ready_text(FILE* f) {
    fprintf(f, " %s/%s", class_path.c_str(), cfg.run.name.c_str());
}

static void shut_down() {
    if (class_fd >= 0)
        close(class_fd);
    class_fd = -1;
}

const sim_transport sim_unix_transport = {set_up,     publish,    unpublish, serve,
                                          accept_all, ready_text, shut_down};
