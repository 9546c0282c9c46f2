// Linux side of the seam: a user-space driver publishes each device interface as a
// SOCK_SEQPACKET socket under a per-user directory, and every device call is one request
// packet answered by one reply packet.
#include "usb/platform.h"

#include "di/contract.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static_assert(DI_TRANSFER_MAX == USB_TRANSFER_MAX, "one transfer is one packet");

// Reads never block on the device side, so a reply this late means a driver that is stuck.
static const int REPLY_TIMEOUT_MS = 5000;

// In nanoseconds; 0 would mean the default again.
static const unsigned long TIMER_SLACK_NS = 1;
static bool timer_slack_set = false;

static bool dir_trusted(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           di_dir_trusted(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

int plat_find_interface(const di_guid* cls, char* path, size_t size) {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0)
        return -1;
    char cls_name[DI_CLASS_NAME_SIZE];
    di_class_name(*cls, cls_name);

    // Directories are opened once and checked through their descriptors, so what is checked
    // is what is listed; symbolic links are refused rather than followed.
    int base_fd = open(base, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (base_fd < 0)
        return -1;
    int cls_fd = -1;
    if (dir_trusted(base_fd))
        cls_fd = openat(base_fd, cls_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(base_fd);
    if (cls_fd < 0)
        return -1;
    if (!dir_trusted(cls_fd)) {
        close(cls_fd);
        return -1;
    }
    DIR* dir = fdopendir(cls_fd);
    if (dir == nullptr) {
        close(cls_fd);
        return -1;
    }

    char first[NAME_MAX + 1] = "";
    bool found = false;
    const struct dirent* ent = nullptr;
    while ((ent = readdir(dir)) != nullptr) {
        size_t len = strnlen(ent->d_name, sizeof(first));
        if (len == 0 || len >= sizeof(first))
            continue;
        if (found && strcmp(ent->d_name, first) >= 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISSOCK(st.st_mode))
            continue;
        memcpy(first, ent->d_name, len + 1);
        found = true;
    }
    closedir(dir);
    if (!found)
        return -1;

    int n = snprintf(path, size, "%s/%s/%s", base, cls_name, first);
    return n >= 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

static int handle_fd(usb_handle h) {
    return h >= 0 && h <= INT_MAX ? static_cast<int>(h) : -1;
}

static bool connect_path(int fd, const char* path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    int path_fd = -1;
    if (len < sizeof(addr.sun_path)) {
        memcpy(addr.sun_path, path, len + 1);
    } else {
        // sun_path holds about a hundred characters; a deeper socket is reached through a
        // descriptor of the socket file itself.
        path_fd = open(path, O_PATH | O_CLOEXEC);
        if (path_fd < 0)
            return false;
        (void)snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d", path_fd);
    }
    int r;
    do {
        r = connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr));
    } while (r != 0 && errno == EINTR);
    // A connect interrupted by a signal goes on in the background and may have finished.
    bool ok = r == 0 || errno == EISCONN;
    if (path_fd >= 0)
        close(path_fd);
    return ok;
}

static bool send_packet(int fd, const uint8_t* p, size_t len) {
    ssize_t r;
    do {
        r = send(fd, p, len, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r >= 0 && static_cast<size_t>(r) == len;
}

// One request, one reply. Returns the reply's length (header included), or -1 when the
// connection failed or the reply can't be a reply at all.
static long exchange(int fd, const uint8_t* req, size_t req_len, uint8_t* reply) {
    if (!send_packet(fd, req, req_len))
        return -1;
    // The receive timeout set at open bounds the wait: one blocking recv per reply, as every
    // block costs four exchanges.
    ssize_t r;
    do {
        r = recv(fd, reply, DI_PACKET_MAX, MSG_TRUNC);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // A reply that turns up later would be taken for the answer to the next request.
        shutdown(fd, SHUT_RDWR);
        return -1;
    }
    if (r < static_cast<ssize_t>(DI_HEADER_SIZE) || static_cast<size_t>(r) > DI_PACKET_MAX)
        return -1;
    return static_cast<long>(r);
}

// Sends a request without payload and checks for a plain success reply.
static bool simple_request(int fd, uint8_t op, uint32_t value) {
    uint8_t req[DI_HEADER_SIZE];
    di_header(req, op, value);
    uint8_t reply[DI_PACKET_MAX];
    long n = exchange(fd, req, sizeof(req), reply);
    return n == static_cast<long>(DI_HEADER_SIZE) && reply[0] == DI_SUCCESS;
}

usb_handle plat_open(const char* path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return USB_INVALID_HANDLE;
    // Bounds connect and send too: both block while a stuck driver's queue is full.
    struct timeval tv = {REPLY_TIMEOUT_MS / 1000, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0 || !connect_path(fd, path) ||
        !simple_request(fd, DI_OP_OPEN, DI_ACCESS)) {
        close(fd);
        return USB_INVALID_HANDLE;
    }
    return static_cast<usb_handle>(fd);
}

int plat_close(usb_handle h) {
    int fd = handle_fd(h);
    if (fd < 0)
        return -1;
    return close(fd) == 0 ? 0 : -1;
}

int plat_ioctl(usb_handle h, uint32_t code) {
    int fd = handle_fd(h);
    return fd >= 0 && simple_request(fd, DI_OP_IOCTL, code) ? 1 : 0;
}

int plat_read(usb_handle h, void* buf, uint32_t size, uint32_t* count) {
    *count = 0;
    int fd = handle_fd(h);
    if (fd < 0)
        return 0;
    uint32_t wanted = std::min(size, USB_TRANSFER_MAX);
    // The device can't be asked for nothing; nothing is what it would have delivered.
    if (wanted == 0)
        return 1;

    uint8_t req[DI_HEADER_SIZE];
    di_header(req, DI_OP_READ, wanted);
    uint8_t reply[DI_PACKET_MAX];
    long n = exchange(fd, req, sizeof(req), reply);
    if (n < 0 || reply[0] != DI_SUCCESS)
        return 0;
    uint32_t got = di_get_u32(reply + 1);
    if (got > wanted || static_cast<size_t>(n) != DI_HEADER_SIZE + got)
        return 0;
    if (got > 0)
        memcpy(buf, reply + DI_HEADER_SIZE, got);
    *count = got;
    return 1;
}

int plat_write(usb_handle h, const void* buf, uint32_t size, uint32_t* count) {
    *count = 0;
    int fd = handle_fd(h);
    if (fd < 0)
        return 0;
    uint32_t len = std::min(size, USB_TRANSFER_MAX);

    uint8_t req[DI_PACKET_MAX];
    di_header(req, DI_OP_WRITE, len);
    if (len > 0)
        memcpy(req + DI_HEADER_SIZE, buf, len);
    uint8_t reply[DI_PACKET_MAX];
    long n = exchange(fd, req, DI_HEADER_SIZE + len, reply);
    if (n != static_cast<long>(DI_HEADER_SIZE) || reply[0] != DI_SUCCESS)
        return 0;
    uint32_t accepted = di_get_u32(reply + 1);
    if (accepted > len)
        return 0;
    *count = accepted;
    return 1;
}

FILE* plat_open_regular(const char* path) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int flags = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        flags = fcntl(fd, F_GETFL);
    FILE* f = nullptr;
    if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        f = fdopen(fd, "rb");
    if (f == nullptr)
        close(fd);
    return f;
}

void plat_sleep(uint32_t ms) {
    // The default slack of 50 us lets the kernel end a sleep that much later, twice in every
    // block; the finest it allows keeps the waits as long as the program says, as the timer
    // period does on Windows. A kernel that refuses leaves them as they were.
    if (!timer_slack_set) {
        timer_slack_set = true;
        (void)prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS, 0UL, 0UL, 0UL);
    }
    struct timespec left;
    left.tv_sec = static_cast<time_t>(ms / 1000);
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
