// fpsim: the simulated printer published as a device interface, so that fpflash (or any
// other client of the same sockets) can run a whole update against it.
//
// The model reacts to requests only; fpsim adds the wall clock. It reads every away count of
// the model as milliseconds: when the printer goes away it takes its interface down and
// publishes it again once that long has passed, or never.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "di/kit.h"
#include "sim/serve.h"
#include "sim/sim.h"

static const char INTRO[] =
    "Usage: fpsim [OPTION]...\n"
    "Publishes a simulated fiscal printer as a device interface under\n"
    "$XDG_RUNTIME_DIR/device-interfaces (or /tmp/device-interfaces-UID) and serves it\n"
    "until a signal or the scenario stops it. Times are in milliseconds; an away time\n"
    "may be 'never'.\n";

static const size_t CLIENTS_MAX = 16;

sim_config cfg;
std::vector<sim_client> clients;
bool published = false;
int listen_fd = -1;

static const sim_transport* transport = &sim_unix_transport;
static int next_client_id = 1;
static int absent_ms = 0; // --absent, which --hold counts from SIGUSR1
static long long back_at_ms = -1;
static int data_reads = 0;
static bool done = false;
static size_t notes_logged = 0;

static void log_notes() {
    for (; notes_logged < sim_rec.log.size(); notes_logged++)
        di_log("    %s", sim_rec.log[notes_logged].c_str());
}

// ---- clients and presence -----------------------------------------------------------------

void add_client(int fd) {
    if (clients.size() >= CLIENTS_MAX) {
        close(fd);
        return;
    }
    clients.push_back({fd, {next_client_id++, false, -1}, 0, false, false, {}});
    di_log("#%d connected", clients.back().s.id);
}

void drop_client(size_t i) {
    close(clients[i].fd);
    clients.erase(clients.begin() + static_cast<long>(i));
}

void client_gone(size_t i) {
    sim_client c = clients[i];
    drop_client(i);
    di_log("#%d closed", c.s.id);
    if (c.con > 0)
        sim_close(c.con);
    if (c.after_exit && cfg.run.stop_when_done)
        done = true;
}

static bool publish() {
    // Set first: the TCP transport tells its watchers what it says.
    published = true;
    if (!transport->publish())
        published = false;
    return published;
}

// The interface disappears with every connection to it, as an unplugged device does.
static void unpublish() {
    for (size_t i = clients.size(); i-- > 0;) {
        if (clients[i].watch)
            continue;
        di_log("#%d cut off", clients[i].s.id);
        drop_client(i);
    }
    if (!published)
        return;
    published = false;
    transport->unpublish();
}

// After every event: the printer may have gone away (or be due back).
static bool follow_presence() {
    log_notes();
    if (published && !sim_is_present()) {
        unpublish();
        int away = sim_away_left();
        back_at_ms = away == SIM_NEVER ? -1 : di_now_ms() + away;
        if (away == SIM_NEVER)
            di_log("away for good");
        else
            di_log("away for %d ms", away);
    }
    if (!published && sim_is_present())
        return publish();
    if (!published && back_at_ms >= 0 && di_now_ms() >= back_at_ms) {
        back_at_ms = -1;
        sim_come_back();
        log_notes();
        return publish();
    }
    return true;
}

// ---- requests -----------------------------------------------------------------------------

bool reply_to(size_t i, const uint8_t* packet, size_t len) {
    sim_client& c = clients[i];
    di_request r;
    bool ok = false;
    uint32_t count = 0;
    uint8_t data[DI_TRANSFER_MAX];
    if (di_check(c.s, packet, len, &r)) {
        switch (r.op) {
        case DI_OP_OPEN:
            c.con = sim_open();
            ok = c.con > 0;
            c.after_exit = ok && sim_current_mode() == SIM_APP && sim_rec.left_loader;
            if (!ok)
                c.con = 0;
            break;
        case DI_OP_IOCTL:
            ok = sim_ioctl(c.con, r.value);
            break;
        case DI_OP_READ:
            ok = sim_read(c.con, data, r.value, &count);
            break;
        default:
            ok = sim_write(c.con, r.payload, r.value, &count);
            break;
        }
    }
    count = di_answered(&c.s, r, ok, count, "");
    size_t size = r.op == DI_OP_READ ? count : 0;
    // The header still announces every byte the printer gave up.
    bool cut = size > 0 && ++data_reads == cfg.run.cut_read;
    if (cut) {
        size = count / 2;
        di_log("#%d READ reply cut to %zu of %u bytes", c.s.id, size, count);
    }
    if (!di_reply(c.fd, ok, count, data, size) || cut) {
        client_gone(i);
        return false;
    }
    return true;
}

// ---- the run ------------------------------------------------------------------------------

static void save_image() {
    if (cfg.run.save == nullptr)
        return;
    FILE* f = fopen(cfg.run.save, "wb");
    bool ok = f != nullptr;
    if (ok && !sim_rec.image.empty())
        ok = fwrite(sim_rec.image.data(), 1, sim_rec.image.size(), f) == sim_rec.image.size();
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok)
        di_complain("cannot save the image to %s", cfg.run.save);
}

// Until a signal, the scenario's end or a failure; returns the exit status.
static int run(const sigset_t* wait_mask) {
    long long end_ms = cfg.run.lifetime_s > 0 ? cfg.run.lifetime_s * 1000LL : -1;
    std::vector<struct pollfd> fds;
    bool held = cfg.run.hold;
    while (di_stop_signal() == 0 && !done) {
        if (di_released() && held) {
            held = false;
            if (absent_ms != SIM_NEVER) {
                back_at_ms = di_now_ms() + absent_ms;
                di_log("released: due in %d ms", absent_ms);
            }
        }
        if (!follow_presence())
            return SIM_EXIT_FAILED;
        long long now = di_now_ms();
        if (end_ms >= 0 && now >= end_ms) {
            di_log("lifetime over");
            break;
        }
        long long wake = back_at_ms;
        if (end_ms >= 0 && (wake < 0 || end_ms < wake))
            wake = end_ms;

        fds.clear();
        for (const sim_client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (listen_fd >= 0)
            fds.push_back({listen_fd, POLLIN, 0});
        struct timespec ts;
        struct timespec* timeout = nullptr;
        if (wake >= 0) {
            long long left = wake > now ? wake - now : 0;
            ts.tv_sec = static_cast<time_t>(left / 1000);
            ts.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
            timeout = &ts;
        }
        int r = ppoll(fds.data(), fds.size(), timeout, wait_mask);
        if (r < 0 && errno != EINTR) {
            di_complain("poll: %s", strerror(errno));
            return SIM_EXIT_FAILED;
        }
        if (r <= 0)
            continue;

        // Clients first, in the order polled; one of them may take the printer away.
        size_t polled = clients.size();
        size_t i = 0;
        bool gone = false;
        for (size_t k = 0; k < polled && !gone; k++) {
            if (fds[k].revents == 0) {
                i++;
                continue;
            }
            bool stays = transport->serve(i);
            log_notes();
            gone = published && !sim_is_present();
            if (stays)
                i++;
        }
        if (!gone && listen_fd >= 0 && fds.back().fd == listen_fd && fds.back().revents != 0)
            transport->accept_all(listen_fd);
    }
    if (di_stop_signal() != 0)
        di_log("stopped by signal %d", di_stop_signal());
    else if (done)
        di_log("done: the updated firmware was opened and closed");
    return SIM_EXIT_OK;
}

static void shut_down() {
    log_notes();
    unpublish();
    while (!clients.empty())
        drop_client(clients.size() - 1);
    if (listen_fd >= 0)
        close(listen_fd);
    listen_fd = -1;
    transport->shut_down();
    save_image();
    di_log_close();
}

int main(int argc, char** argv) {
    di_start("fpsim", false);
    int status = sim_parse_command_line(argc, argv, "fpsim", INTRO, &cfg, nullptr, 0);
    if (status >= 0)
        return status;
    if (cfg.run.tcp_port >= 0)
        transport = &sim_tcp_transport;
    di_signals signals;
    di_take_signals(cfg.run.hold, &signals);
    if (cfg.run.log != nullptr && !di_log_open(cfg.run.log, true))
        return SIM_EXIT_FAILED;
    sim_options& model = cfg.model;
    absent_ms = model.absent_enums;
    if (cfg.run.hold)
        model.absent_enums = SIM_NEVER;
    sim_reset(model);
    if (!sim_is_present() && model.absent_enums != SIM_NEVER)
        back_at_ms = absent_ms;
    status = SIM_EXIT_FAILED;
    if (transport->set_up() && follow_presence() &&
        (cfg.run.ready == nullptr || di_write_ready(cfg.run.ready, transport->ready_text())))
        status = run(&signals.wait);
    shut_down();
    return status;
}
