// The floor under fpflash's CPU time per block on Linux: what the kernel charges for the
// exchanges a block needs with a user-space driver (pipe-select and write, pipe-select and
// read: four request/reply round trips over SOCK_SEQPACKET) and its two pauses, with no
// protocol logic at all. The driver side answers at once, as fpsim does.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static const int EXCHANGES_PER_BLOCK = 4;
static const long PAUSE_NS = 1000000; // the real pauses are 20 ms; their CPU cost is the same

static double cpu_us(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

int main(int argc, char** argv) {
    int blocks = argc > 1 ? atoi(argv[1]) : 2000;
    int sv[2];
    if (blocks <= 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        return 2;
    pid_t driver = fork();
    if (driver == 0) {
        close(sv[0]);
        unsigned char packet[1029];
        ssize_t n;
        while ((n = recv(sv[1], packet, sizeof(packet), 0)) > 0)
            if (send(sv[1], packet, 5, 0) != 5)
                break;
        _exit(0);
    }
    close(sv[1]);
    unsigned char request[533] = {3};
    unsigned char reply[1029];
    struct timespec pause = {0, PAUSE_NS};
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (int b = 0; b < blocks; b++) {
        for (int e = 0; e < EXCHANGES_PER_BLOCK; e++) {
            // The block write carries its 528 bytes; the others are bare headers.
            size_t len = e == 1 ? sizeof(request) : 5;
            if (send(sv[0], request, len, 0) != static_cast<ssize_t>(len) ||
                recv(sv[0], reply, sizeof(reply), 0) < 5)
                return 1;
        }
        nanosleep(&pause, nullptr);
        nanosleep(&pause, nullptr);
    }
    getrusage(RUSAGE_SELF, &after);
    close(sv[0]);
    waitpid(driver, nullptr, 0);
    printf("%d blocks: %.1f us of CPU per block (4 round trips, 2 pauses)\n", blocks,
           (cpu_us(after) - cpu_us(before)) / blocks);
    return 0;
}
