// One printer's update, in a process of its own so that nothing one printer does can spoil
// another's. fpflash runs unchanged, in a runtime directory of its own where the only printer
// is the relay's socket, under the printer's own name; the relay forwards each connection to
// the printer's socket packet for packet, both ways, and ends it when either side does. So
// fpflash finds, opens and loses its printer exactly as it would with that printer alone, and
// only that printer: through both re-enumerations it asks for it by name.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "all/all.h"
#include "di/kit.h"

// A transcript line longer than this goes up in pieces; fpflash's longest is a 1024-byte
// reply with a message behind it.
static const size_t LINE_MAX_BYTES = 2048;
// fpflash holds one connection at a time; a few more are closed at once.
static const size_t LINKS_MAX = 4;
// Asked to stop, the update stops at fpflash's next write, which comes within this while
// connected (a block, a command, or the next state query).
static const int STOP_WAIT_MS = 5000;

// A connection of fpflash's and the one it is relayed to.
struct relay_link {
    int client;
    int printer;
};

static int report_fd = -1;
static std::vector<relay_link> links;
static bool stopping = false;   // asked to stop: fpflash's next WRITE is not passed on ...
static bool write_held = false; // ... and here it is

static bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// One line up to the parent; one that has gone hears nothing.
static void report(char tag, const std::string& text) {
    std::string line = tag + text + "\n";
    (void)write_all(report_fd, line.data(), line.size());
}

// ---- the relay ----------------------------------------------------------------------------

// A non-blocking connection to the printer's socket; -1 when it can't be reached at once.
static int connect_printer(const std::string& path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    int path_fd = -1;
    if (path.size() < sizeof(addr.sun_path)) {
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    } else {
        // A deep runtime directory: reached through a descriptor of the socket file.
        path_fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (path_fd < 0)
            return -1;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d", path_fd);
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 &&
        connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        fd = -1;
    }
    if (path_fd >= 0)
        close(path_fd);
    return fd;
}

// fpflash connected: it is put through to the printer, or, where the printer's socket can't be
// reached (gone, or refusing), its connection fails as a direct one would.
static void accept_clients(int listen_fd, const std::string& printer) {
    for (int fd; (fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        int to = links.size() < LINKS_MAX ? connect_printer(printer) : -1;
        if (to < 0)
            close(fd);
        else
            links.push_back({fd, to});
    }
}

// Moves every packet waiting on `from` to `to`, each as it came (one cut to what no reply or
// request can be stays too long, as it was). False when `from` has closed, or `to` can't take
// a packet at once: a peer that doesn't take its packets must not hold up the others. A stop
// keeps fpflash's next WRITE from the printer: stopped there, fpflash has taken every answer
// the printer gave, so that none is left in the printer for the rerun to take for its own.
static bool forward(int from, int to, bool from_client) {
    uint8_t packet[DI_PACKET_MAX + 1];
    for (;;) {
        ssize_t n = recv(from, packet, sizeof(packet), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0)
            return false;
        if (from_client && stopping && packet[0] == DI_OP_WRITE) {
            write_held = true;
            return false;
        }
        size_t len =
            static_cast<size_t>(n) < sizeof(packet) ? static_cast<size_t>(n) : sizeof(packet);
        if (send(to, packet, len, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(len))
            return false;
    }
}

static void drop_link(size_t i) {
    close(links[i].client);
    close(links[i].printer);
    links.erase(links.begin() + static_cast<long>(i));
}

// ---- fpflash ------------------------------------------------------------------------------

// Starts fpflash with the image; its output comes through `*out`. Its standard input holds the
// one key its closing prompt waits for, so that it never waits for a technician.
static pid_t start_fpflash(const all_work& w, int* out) {
    int in[2], o[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(o, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    std::string program = w.fpflash, image = w.image;
    pid_t pid = fork();
    if (pid == 0) {
        char* argv[] = {&program[0], &image[0], nullptr};
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(in[0], STDIN_FILENO);
        dup2(o[1], STDOUT_FILENO);
        dup2(w.log_fd, STDERR_FILENO);
        // As a shell would start it.
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv);
        di_complain("cannot run %s: %s", argv[0], strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(o[1]);
    if (pid > 0 && !write_all(in[1], "\n", 1))
        di_warn("cannot give fpflash its key: %s", strerror(errno));
    close(in[1]);
    if (pid < 0)
        close(o[0]);
    *out = pid < 0 ? -1 : o[0];
    return pid;
}

// fpflash's output: into the log as it came, and up to the parent line by line. False at its
// end.
static bool take_output(int fd, int log_fd, std::string* partial) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0) {
        if (!partial->empty())
            report('L', *partial);
        partial->clear();
        return false;
    }
    if (!write_all(log_fd, buf, static_cast<size_t>(n)))
        di_warn("cannot write the log: %s", strerror(errno));
    for (ssize_t i = 0; i < n; i++) {
        if (buf[i] != '\n')
            partial->push_back(buf[i]);
        if (buf[i] == '\n' || partial->size() >= LINE_MAX_BYTES) {
            report('L', *partial);
            partial->clear();
        }
    }
    return true;
}

// Relays and reads until fpflash has ended, stopping it after a stop signal. Returns its wait
// status.
static int serve(pid_t pid, int out, int log_fd, int listen_fd, const std::string& printer,
                 const sigset_t* wait_mask) {
    std::string partial;
    std::vector<struct pollfd> fds;
    long long stop_by = -1;
    bool killed = false;
    for (bool more = true; more;) {
        if (di_stop_signal() != 0 && !stopping) {
            stopping = true;
            stop_by = di_now_ms() + STOP_WAIT_MS;
        }
        // Between connections fpflash is waiting, and may stop at once.
        if (stopping && !killed && (links.empty() || write_held || di_now_ms() >= stop_by)) {
            kill(pid, SIGTERM);
            killed = true;
        }
        fds.assign({{out, POLLIN, 0}, {listen_fd, POLLIN, 0}});
        for (const relay_link& l : links) {
            fds.push_back({l.client, POLLIN, 0});
            fds.push_back({l.printer, POLLIN, 0});
        }
        if (di_poll(fds.data(), fds.size(), stopping && !killed ? stop_by : -1, wait_mask) <= 0)
            continue;
        // Each link's two ends, then the new connections; a closed link goes with its two.
        for (size_t i = links.size(); i-- > 0;) {
            short to_printer = fds[2 + 2 * i].revents, to_client = fds[3 + 2 * i].revents;
            if ((to_printer != 0 && !forward(links[i].client, links[i].printer, true)) ||
                (to_client != 0 && !forward(links[i].printer, links[i].client, false)))
                drop_link(i);
        }
        if (fds[1].revents != 0)
            accept_clients(listen_fd, printer);
        if (fds[0].revents != 0)
            more = take_output(out, log_fd, &partial);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    return status;
}

int all_worker(const all_work& w) {
    report_fd = w.report_fd;
    // Its own process group, out of the terminal's reach; it ends with the command.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != w.parent)
        return DI_EXIT_FAILED;
    dup2(w.log_fd, STDERR_FILENO);
    di_signals signals;
    di_take_signals(false, &signals);

    std::string dir = all_private_dir("fpflash-all");
    di_socket sock;
    if (dir.empty() || setenv("XDG_RUNTIME_DIR", dir.c_str(), 1) != 0 || !di_open_class_dir() ||
        !di_publish(w.port, &sock)) {
        report('E', "its private runtime directory could not be set up: " +
                        std::string(dir.empty() ? strerror(errno) : "see the log"));
        if (!dir.empty())
            all_remove_runtime_dir(dir);
        return DI_EXIT_FAILED;
    }
    int out = -1;
    pid_t pid = start_fpflash(w, &out);
    int status = -1;
    if (pid < 0)
        report('E', std::string("fpflash could not be started: ") + strerror(errno));
    else
        status = serve(pid, out, w.log_fd, sock.listen_fd, w.socket, &signals.wait);
    while (!links.empty())
        drop_link(links.size() - 1);
    if (out >= 0)
        close(out);
    di_unpublish(w.port, &sock);
    di_close_class_dir();
    all_remove_runtime_dir(dir);
    if (pid > 0)
        report('S', std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " +
                        std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0));
    return pid > 0 ? DI_EXIT_OK : DI_EXIT_FAILED;
}
