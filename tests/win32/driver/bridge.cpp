// fpsim-tcp: the simulated printer served over TCP on 127.0.0.1 to the test driver inside a Wine
// prefix. Each device handle is one connection carrying the Linux device-interface messages
// (OPEN, IOCTL, READ, WRITE, same layout); a WATCH connection instead receives one byte per
// presence change (1 present, 0 away), starting with the current state, so the driver can make
// the device interface disappear and reappear.
//
// Like fpsim, it reads the model's away counts as milliseconds.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/sim.h"

static const char USAGE[] =
    "usage: fpsim-tcp --port-file FILE [--log FILE] [--save FILE] [--lifetime S]\n"
    "                 [--absent MS|never] [--arm] [--reenum MS] [--block I:CODE[:TIMES]]\n"
    "                 [--state-write-fails N] [--state-fail-away MS|never]\n"
    "  --arm   the --absent time starts at SIGUSR1 rather than at start-up\n";

static const uint8_t OP_OPEN = 0, OP_IOCTL = 1, OP_READ = 2, OP_WRITE = 3, OP_WATCH = 4;
static const size_t HEADER_SIZE = 5;
static const uint32_t TRANSFER_MAX = 1024;
static const int AWAY_UNSET = -2;

enum role { ROLE_NEW, ROLE_DEVICE, ROLE_WATCH };

struct client {
    int fd;
    role kind;
    int con; // the model's connection, 0 until an OPEN succeeds
    std::vector<uint8_t> in;
};

static std::vector<client> clients;
static FILE* log_file;
static struct timespec start_time;
static long long back_at_ms = -1; // when an away printer comes back; -1 never
static size_t notes_logged;
static volatile sig_atomic_t stop_signal;
static volatile sig_atomic_t arm_signal;

static long long now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec - start_time.tv_sec) * 1000 +
           (t.tv_nsec - start_time.tv_nsec) / 1000000;
}

static void log_line(const std::string& s) {
    if (log_file == nullptr)
        return;
    long long t = now_ms();
    fprintf(log_file, "%5lld.%03lld %s\n", t / 1000, t % 1000, s.c_str());
    fflush(log_file);
}

static void log_notes() {
    for (; notes_logged < sim_rec.log.size(); notes_logged++)
        log_line("    " + sim_rec.log[notes_logged]);
}

static void on_stop(int) {
    stop_signal = 1;
}

static void on_arm(int) {
    arm_signal = 1;
}

static bool parse_int(const char* s, long lo, long hi, int* out) {
    if (s == nullptr || *s == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(s, &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

static bool parse_away(const char* s, int* out) {
    if (s != nullptr && strcmp(s, "never") == 0) {
        *out = SIM_NEVER;
        return true;
    }
    return parse_int(s, 0, 24 * 3600 * 1000, out);
}

// INDEX:CODE[:TIMES], CODE 'none' for no reply
static bool parse_block(const char* s, sim_block_rule* r) {
    std::string t = s;
    size_t a = t.find(':');
    if (a == std::string::npos)
        return false;
    size_t b = t.find(':', a + 1);
    int index = 0;
    std::string code = t.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (!parse_int(t.substr(0, a).c_str(), 0, 0xFFFF, &index))
        return false;
    r->index = static_cast<uint32_t>(index);
    if (code == "none")
        r->code = SIM_NO_REPLY;
    else if (!parse_int(code.c_str(), 0, 255, &r->code))
        return false;
    r->times = SIM_ALWAYS;
    return b == std::string::npos || parse_int(t.c_str() + b + 1, 1, INT_MAX, &r->times);
}

static void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

static uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static bool send_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

static bool reply(int fd, bool ok, uint32_t count, const uint8_t* data = nullptr) {
    std::vector<uint8_t> out(HEADER_SIZE);
    out[0] = ok ? 1 : 0;
    put_u32(&out[1], count);
    if (data != nullptr)
        out.insert(out.end(), data, data + count);
    return send_all(fd, out.data(), out.size());
}

static void drop(client& c) {
    if (c.fd < 0)
        return;
    if (c.con > 0)
        sim_close(c.con);
    close(c.fd);
    c.fd = -1;
    log_line(c.kind == ROLE_WATCH ? "watch closed" : "connection closed");
}

static void tell_watchers(bool present) {
    uint8_t b = present ? 1 : 0;
    for (client& c : clients)
        if (c.fd >= 0 && c.kind == ROLE_WATCH && !send_all(c.fd, &b, 1))
            drop(c);
}

// After every step of the model: a printer that left takes its connections with it and says
// when it is back.
static void follow_presence(bool was_present) {
    log_notes();
    bool now = sim_is_present();
    if (was_present == now)
        return;
    if (!now) {
        for (client& c : clients)
            if (c.kind == ROLE_DEVICE)
                drop(c);
        int away = sim_away_left();
        back_at_ms = away == SIM_NEVER ? -1 : now_ms() + away;
        log_line(away == SIM_NEVER ? "away for good" : "away for " + std::to_string(away) + " ms");
    } else {
        back_at_ms = -1;
        log_line("present");
    }
    tell_watchers(now);
}

// One whole request at the front of `c.in`, if there is one. Returns false to drop `c`.
static bool serve_one(client& c, bool* served) {
    *served = false;
    if (c.in.size() < HEADER_SIZE)
        return true;
    uint8_t op = c.in[0];
    uint32_t value = get_u32(&c.in[1]);
    size_t need = HEADER_SIZE;
    if (op == OP_WRITE) {
        if (value > TRANSFER_MAX)
            return false;
        need += value;
    }
    if (c.in.size() < need)
        return true;
    std::vector<uint8_t> payload(c.in.data() + HEADER_SIZE, c.in.data() + need);
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(need));
    *served = true;

    if (c.kind == ROLE_NEW && op == OP_WATCH) {
        c.kind = ROLE_WATCH;
        log_line("watch");
        uint8_t b = sim_is_present() ? 1 : 0;
        return send_all(c.fd, &b, 1);
    }
    if (c.kind == ROLE_WATCH)
        return false;
    bool ok = false;
    uint32_t count = 0;
    switch (op) {
    case OP_OPEN:
        if (c.kind != ROLE_NEW)
            return false;
        c.kind = ROLE_DEVICE;
        c.con = sim_open();
        ok = c.con > 0;
        if (!ok)
            c.con = 0;
        log_line(std::string("OPEN: ") + (ok ? "ok" : "refused"));
        return reply(c.fd, ok, 0);
    case OP_IOCTL: {
        ok = c.con > 0 && sim_ioctl(c.con, value);
        char line[40];
        snprintf(line, sizeof(line), "IOCTL 0x%08X: %s", value, ok ? "ok" : "failed");
        log_line(line);
        return reply(c.fd, ok, 0);
    }
    case OP_READ: {
        if (value == 0 || value > TRANSFER_MAX)
            return false;
        uint8_t buf[TRANSFER_MAX];
        ok = c.con > 0 && sim_read(c.con, buf, value, &count);
        if (!ok)
            count = 0;
        if (count > 0 || !ok)
            log_line("READ " + std::to_string(value) + ": " +
                     (ok ? std::to_string(count) : "failed"));
        return reply(c.fd, ok, count, buf);
    }
    case OP_WRITE:
        ok = c.con > 0 && sim_write(c.con, payload.data(), value, &count);
        if (!ok)
            count = 0;
        log_line("WRITE " + std::to_string(value) + ": " + (ok ? std::to_string(count) : "failed"));
        return reply(c.fd, ok, count);
    default:
        return false;
    }
}

static void serve_client(client& c) {
    uint8_t buf[4096];
    ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
    bool was_present = sim_is_present();
    if (n <= 0) {
        if (n < 0 && errno == EINTR)
            return;
        drop(c);
        follow_presence(was_present);
        return;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    for (;;) {
        was_present = sim_is_present();
        bool served = false;
        bool keep = serve_one(c, &served);
        if (!keep)
            drop(c);
        follow_presence(was_present);
        if (!keep || !served || c.fd < 0)
            return;
    }
}

static bool save_image(const char* path) {
    FILE* f = fopen(path, "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(sim_rec.image.data(), 1, sim_rec.image.size(), f) == sim_rec.image.size();
    return fclose(f) == 0 && ok;
}

int main(int argc, char** argv) {
    const char* port_file = nullptr;
    const char* log_path = nullptr;
    const char* save_path = nullptr;
    int lifetime_s = 300;
    int absent = 0;
    int reenum = 200;
    int state_fail_away = AWAY_UNSET;
    bool arm = false;
    sim_options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool good = true;
        if (a == "--arm") {
            arm = true;
            continue;
        }
        if (a == "--port-file")
            port_file = v;
        else if (a == "--log")
            log_path = v;
        else if (a == "--save")
            save_path = v;
        else if (a == "--lifetime")
            good = parse_int(v, 1, 86400, &lifetime_s);
        else if (a == "--absent")
            good = parse_away(v, &absent);
        else if (a == "--reenum")
            good = parse_int(v, 0, 60000, &reenum);
        else if (a == "--state-write-fails")
            good = parse_int(v, 0, INT_MAX, &o.state_write_fails);
        else if (a == "--state-fail-away")
            good = parse_away(v, &state_fail_away);
        else if (a == "--block") {
            sim_block_rule r;
            good = v != nullptr && parse_block(v, &r);
            if (good)
                o.block_rules.push_back(r);
        } else
            good = false;
        if (!good || v == nullptr) {
            fprintf(stderr, "fpsim-tcp: bad option %s\n%s", a.c_str(), USAGE);
            return 2;
        }
        i++;
    }
    if (port_file == nullptr) {
        fputs(USAGE, stderr);
        return 2;
    }
    // A re-enumeration must last long enough for the driver to take the interface down.
    o.upgrade_away = reenum;
    o.exit_away = reenum;
    o.state_fail_away = state_fail_away == AWAY_UNSET ? reenum : state_fail_away;
    // Held back: with --arm the printer stays away until the signal.
    o.absent_enums = absent == 0 && !arm ? 0 : SIM_NEVER;
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    sim_reset(o);
    if (absent != SIM_NEVER && !arm)
        back_at_ms = absent;

    if (log_path != nullptr && (log_file = fopen(log_path, "w")) == nullptr) {
        fprintf(stderr, "fpsim-tcp: cannot write %s: %s\n", log_path, strerror(errno));
        return 1;
    }
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(lfd, 16) != 0 || getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        fprintf(stderr, "fpsim-tcp: cannot listen on 127.0.0.1: %s\n", strerror(errno));
        return 1;
    }
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    signal(SIGUSR1, on_arm);
    // Written whole under another name, so a reader never sees half a number.
    std::string tmp = std::string(port_file) + ".tmp";
    FILE* pf = fopen(tmp.c_str(), "w");
    if (pf == nullptr || fprintf(pf, "%u\n", ntohs(addr.sin_port)) < 0 || fclose(pf) != 0 ||
        rename(tmp.c_str(), port_file) != 0) {
        fprintf(stderr, "fpsim-tcp: cannot write %s\n", port_file);
        return 1;
    }
    log_line("listening on port " + std::to_string(ntohs(addr.sin_port)));

    while (stop_signal == 0 && now_ms() < lifetime_s * 1000LL) {
        if (arm_signal != 0) {
            arm_signal = 0;
            if (!sim_is_present() && absent != SIM_NEVER) {
                back_at_ms = now_ms() + absent;
                log_line("armed: present in " + std::to_string(absent) + " ms");
            }
        }
        if (back_at_ms >= 0 && now_ms() >= back_at_ms) {
            bool was = sim_is_present();
            sim_come_back();
            follow_presence(was);
        }
        std::vector<pollfd> fds;
        fds.push_back({lfd, POLLIN, 0});
        for (client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        int timeout = 100;
        if (back_at_ms >= 0)
            timeout = static_cast<int>(std::max(0LL, std::min(100LL, back_at_ms - now_ms())));
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 1; i < fds.size(); i++)
            if (fds[i].revents != 0 && clients[i - 1].fd >= 0)
                serve_client(clients[i - 1]);
        if (fds[0].revents & POLLIN) {
            int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                clients.push_back({fd, ROLE_NEW, 0, {}});
            }
        }
        std::vector<client> live;
        for (client& c : clients)
            if (c.fd >= 0)
                live.push_back(c);
        clients.swap(live);
    }
    for (client& c : clients)
        drop(c);
    close(lfd);
    log_notes();
    log_line("stopped");
    if (save_path != nullptr && !save_image(save_path)) {
        fprintf(stderr, "fpsim-tcp: cannot write %s\n", save_path);
        return 1;
    }
    return 0;
}
