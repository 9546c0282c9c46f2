#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "di/kit.h"

static std::string class_path;
static int class_fd = -1;

// What is published, for di_unpublish_all_now from another thread; the lock is held only
// here.
struct published_socket {
    std::string name;
    uint64_t dev;
    uint64_t ino;
};
static std::mutex published_lock;
static std::vector<published_socket> published;

static int make_dir(int at, const char* name, const std::string& shown) {
    if (mkdirat(at, name, DI_DIR_MODE) != 0 && errno != EEXIST) {
        di_complain("cannot create %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        di_complain("cannot open %s: %s", shown.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // Planted by another user (anyone may create the fallback in /tmp first): whatever is
    // published there, fpflash ignores, and its owner could put a printer of their own in it.
    if (st.st_uid != geteuid()) {
        di_complain("%s belongs to user %u, not to this one (%u), so fpflash would never look in "
                    "it: remove it, or set XDG_RUNTIME_DIR to a directory of this user's",
                    shown.c_str(), static_cast<unsigned>(st.st_uid),
                    static_cast<unsigned>(geteuid()));
        close(fd);
        return -1;
    }
    // Ours but open to others is ours to fix; clients find nothing there meanwhile.
    if (!di_dir_trusted(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid()))
        di_warn("%s is not private to this user; clients will ignore it", shown.c_str());
    return fd;
}

bool di_open_class_dir() {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0) {
        di_complain("the runtime directory's path is too long");
        return false;
    }
    int base_fd = make_dir(AT_FDCWD, base, base);
    if (base_fd < 0)
        return false;
    static const di_guid printer_class = DI_PRINTER_CLASS;
    char class_name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, class_name);
    class_path = std::string(base) + "/" + class_name;
    class_fd = make_dir(base_fd, class_name, class_path);
    close(base_fd);
    return class_fd >= 0;
}

bool di_name_usable(const std::string& name) {
    return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

const std::string& di_class_path() {
    return class_path;
}

void di_close_class_dir() {
    if (class_fd >= 0)
        close(class_fd);
    class_fd = -1;
}

// A path too long for sun_path is reached through the directory's descriptor.
static bool socket_address(const std::string& name, struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::string path = class_path + "/" + name;
    if (path.size() >= sizeof(addr->sun_path))
        path = "/proc/self/fd/" + std::to_string(class_fd) + "/" + name;
    if (path.size() >= sizeof(addr->sun_path))
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Two drivers must not share a name.
static bool clear_name(const std::string& name) {
    struct stat st;
    if (fstatat(class_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        di_complain("cannot look at %s/%s: %s", class_path.c_str(), name.c_str(), strerror(errno));
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        di_complain("%s/%s exists and is not a socket", class_path.c_str(), name.c_str());
        return false;
    }
    struct sockaddr_un addr;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 && socket_address(name, &addr) &&
                 connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0)
        close(fd);
    if (alive) {
        di_complain("another driver publishes %s/%s", class_path.c_str(), name.c_str());
        return false;
    }
    if (unlinkat(class_fd, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    di_complain("cannot remove the stale socket %s/%s: %s", class_path.c_str(), name.c_str(),
                strerror(errno));
    return false;
}

bool di_publish(const std::string& name, di_socket* s) {
    struct sockaddr_un addr;
    if (!clear_name(name))
        return false;
    if (!socket_address(name, &addr)) {
        di_complain("cannot publish %s/%s: the path is too long", class_path.c_str(), name.c_str());
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat st;
    if (fd < 0 || bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 || fstatat(class_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        di_complain("cannot publish %s/%s: %s", class_path.c_str(), name.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    s->listen_fd = fd;
    s->dev = st.st_dev;
    s->ino = st.st_ino;
    std::lock_guard<std::mutex> hold(published_lock);
    published.push_back({name, s->dev, s->ino});
    return true;
}

void di_unpublish(const std::string& name, di_socket* s) {
    if (s->listen_fd < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(published_lock);
        for (size_t i = published.size(); i-- > 0;)
            if (published[i].name == name)
                published.erase(published.begin() + static_cast<long>(i));
    }
    close(s->listen_fd);
    s->listen_fd = -1;
    struct stat st;
    if (fstatat(class_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == s->dev &&
        st.st_ino == s->ino)
        unlinkat(class_fd, name.c_str(), 0);
}

void di_unpublish_all_now() {
    std::lock_guard<std::mutex> hold(published_lock);
    for (const published_socket& s : published) {
        std::string path = class_path + "/" + s.name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
            unlink(path.c_str());
    }
    published.clear();
}
