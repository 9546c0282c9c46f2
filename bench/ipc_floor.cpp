// The floor under fpflash's time and CPU per block on Linux: what the kernel charges for the
// exchanges a block needs with a user-space driver (pipe-select and write, pause, pipe-select
// and read, pause: four request/reply round trips over SOCK_SEQPACKET and two pauses), with
// no protocol logic at all. The driver side answers at once, as fpsim does.
//
//     bench_ipc_floor [BLOCKS [PAUSE_MS]]
//
// Prints CSV: the wall time and the CPU time of this process per block. The pauses are the
// protocol's 20 ms unless told otherwise, and as exact as the kernel allows, so that wall
// time minus the pauses is the transport's own overhead.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static const size_t HEADER = 5;
static const size_t BLOCK = 528;
static const size_t REPLY_FRAME = 4; // what a block's acknowledgement brings back

static double cpu_us(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

static double now_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

static bool exchange(int fd, const unsigned char* request, size_t len) {
    unsigned char reply[HEADER + 1024];
    return send(fd, request, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len) &&
           recv(fd, reply, sizeof(reply), MSG_TRUNC) >= static_cast<ssize_t>(HEADER);
}

int main(int argc, char** argv) {
    long blocks = argc > 1 ? strtol(argv[1], nullptr, 10) : 2000;
    long pause_ms = argc > 2 ? strtol(argv[2], nullptr, 10) : 20;
    int sv[2];
    if (blocks <= 0 || blocks > 1000000 || pause_ms < 0 || pause_ms > 1000 ||
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        return 2;
    pid_t driver = fork();
    if (driver < 0)
        return 2;
    if (driver == 0) {
        close(sv[0]);
        unsigned char packet[HEADER + 1024];
        while (recv(sv[1], packet, sizeof(packet), 0) > 0) {
            size_t len = packet[0] == 2 ? HEADER + REPLY_FRAME : HEADER;
            if (send(sv[1], packet, len, MSG_NOSIGNAL) != static_cast<ssize_t>(len))
                break;
        }
        _exit(0);
    }
    close(sv[1]);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    unsigned char select[HEADER] = {1};
    unsigned char write[HEADER + BLOCK] = {3};
    unsigned char read[HEADER] = {2};
    struct timespec pause = {static_cast<time_t>(pause_ms / 1000), (pause_ms % 1000) * 1000000L};
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    double start = now_us();
    for (long b = 0; b < blocks; b++) {
        // In the order of a block: the driver has been idle for a pause before each pair.
        if (!exchange(sv[0], select, sizeof(select)) || !exchange(sv[0], write, sizeof(write)))
            return 1;
        nanosleep(&pause, nullptr);
        if (!exchange(sv[0], select, sizeof(select)) || !exchange(sv[0], read, sizeof(read)))
            return 1;
        nanosleep(&pause, nullptr);
    }
    double wall = now_us() - start;
    getrusage(RUSAGE_SELF, &after);
    close(sv[0]);
    waitpid(driver, nullptr, 0);
    double n = static_cast<double>(blocks);
    printf("blocks,pause_ms,wall_us_per_block,cpu_us_per_block\n");
    printf("%ld,%ld,%.1f,%.1f\n", blocks, pause_ms, wall / n, (cpu_us(after) - cpu_us(before)) / n);
    return 0;
}
