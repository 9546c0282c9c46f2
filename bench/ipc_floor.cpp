// The floor under fpflash's time and CPU per block on Linux: what the kernel charges for the
// exchanges a block needs with a user-space driver (pipe-select and write, pause, pipe-select
// and read, pause: four request/reply round trips over SOCK_SEQPACKET and two pauses), with
// no protocol logic at all. The driver side is an echo that answers at once; or, given the
// socket of a published printer in its loader (fpsim --start-loader), that driver, which
// then takes every block as an image block: the same exchanges with its answering. Each block
// carries its own number, as records do: a loader takes a block equal to the one it kept last
// for that record sent again.
//
//     bench_ipc_floor [BLOCKS [PAUSE_MS [SOCKET]]]
//
// Prints CSV: the wall time and the CPU time of this process per block. The pauses are the
// protocol's 20 ms unless told otherwise, and as exact as the kernel allows, so that wall
// time minus the pauses is the transport's own overhead.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "di/contract.h"

static const size_t HEADER = DI_HEADER_SIZE;
static const uint32_t BLOCK = 528;
static const size_t REPLY_FRAME = 4; // what a block's acknowledgement brings back
static const uint32_t LOADER_PIPE = DI_PIPE_SELECT | 3 << 2;

static double cpu_us(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

static double now_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

static bool exchange(int fd, const uint8_t* request, size_t len) {
    uint8_t reply[DI_PACKET_MAX];
    return send(fd, request, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len) &&
           recv(fd, reply, sizeof(reply), MSG_TRUNC) >= static_cast<ssize_t>(HEADER) &&
           reply[0] == DI_SUCCESS;
}

// The echo driver in a child process; returns the client's end, or -1.
static int start_echo(pid_t* child) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        return -1;
    *child = fork();
    if (*child < 0)
        return -1;
    if (*child == 0) {
        close(sv[0]);
        uint8_t packet[DI_PACKET_MAX];
        while (recv(sv[1], packet, sizeof(packet), 0) > 0) {
            size_t len = packet[0] == DI_OP_READ ? HEADER + REPLY_FRAME : HEADER;
            packet[0] = DI_SUCCESS;
            if (send(sv[1], packet, len, MSG_NOSIGNAL) != static_cast<ssize_t>(len))
                break;
        }
        _exit(0);
    }
    close(sv[1]);
    return sv[0];
}

// A published printer, connected and opened; -1 on any failure.
static int open_device(const char* path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(addr.sun_path))
        return -1;
    memcpy(addr.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    uint8_t open_req[HEADER];
    di_header(open_req, DI_OP_OPEN, DI_ACCESS);
    uint8_t reply[DI_PACKET_MAX];
    if (fd < 0 || connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        send(fd, open_req, sizeof(open_req), MSG_NOSIGNAL) != static_cast<ssize_t>(HEADER) ||
        recv(fd, reply, sizeof(reply), 0) != static_cast<ssize_t>(HEADER) ||
        reply[0] != DI_SUCCESS) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char** argv) {
    long blocks = argc > 1 ? strtol(argv[1], nullptr, 10) : 2000;
    long pause_ms = argc > 2 ? strtol(argv[2], nullptr, 10) : 20;
    if (blocks <= 0 || blocks > 1000000 || pause_ms < 0 || pause_ms > 1000)
        return 2;
    pid_t driver = -1;
    int fd = argc > 3 ? open_device(argv[3]) : start_echo(&driver);
    if (fd < 0) {
        fprintf(stderr, "bench_ipc_floor: no driver to talk to\n");
        return 2;
    }
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    uint8_t select_req[HEADER], write_req[HEADER + BLOCK] = {}, read_req[HEADER];
    di_header(select_req, DI_OP_IOCTL, LOADER_PIPE);
    di_header(write_req, DI_OP_WRITE, BLOCK);
    di_header(read_req, DI_OP_READ, DI_TRANSFER_MAX);
    struct timespec pause = {static_cast<time_t>(pause_ms / 1000), (pause_ms % 1000) * 1000000L};
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    double start = now_us();
    for (long b = 0; b < blocks; b++) {
        uint32_t n = static_cast<uint32_t>(b);
        memcpy(write_req + HEADER, &n, sizeof(n));
        // In the order of a block: the driver has been idle for a pause before each pair.
        if (!exchange(fd, select_req, sizeof(select_req)) ||
            !exchange(fd, write_req, sizeof(write_req)))
            return 1;
        nanosleep(&pause, nullptr);
        if (!exchange(fd, select_req, sizeof(select_req)) ||
            !exchange(fd, read_req, sizeof(read_req)))
            return 1;
        nanosleep(&pause, nullptr);
    }
    double wall = now_us() - start;
    getrusage(RUSAGE_SELF, &after);
    close(fd);
    if (driver > 0)
        waitpid(driver, nullptr, 0);
    double n = static_cast<double>(blocks);
    printf("blocks,pause_ms,wall_us_per_block,cpu_us_per_block\n");
    printf("%ld,%ld,%.1f,%.1f\n", blocks, pause_ms, wall / n, (cpu_us(after) - cpu_us(before)) / n);
    return 0;
}
