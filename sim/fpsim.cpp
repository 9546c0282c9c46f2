// fpsim: the simulated printer published as a device interface, so that fpflash (or any
// other client of the same sockets) can run a whole update against it.
//
// The model reacts to requests only; fpsim adds the wall clock. It reads every away count of
// the model as milliseconds: when the printer goes away it takes its interface down and
// publishes it again once that long has passed, or never.
#include <cerrno>
#include <cstring>
#include <vector>

#include <poll.h>

#include "sim/fpsim.h"
#include "sim/replay.h"

static const char INTRO[] =
    "Usage: fpsim [OPTION]...\n"
    "Publishes a simulated fiscal printer as a device interface under\n"
    "$XDG_RUNTIME_DIR/device-interfaces (or /tmp/device-interfaces-UID) and serves it\n"
    "until a signal or the scenario stops it. Times are in milliseconds; an away time\n"
    "may be 'never'.\n";

static const size_t CLIENTS_MAX = 16;

static sim_config cfg;
static fpsim_settings own;
static const sim_transport* transport = &sim_unix_transport;
static bool published = false;
static bool done = false; // the updated firmware was opened and closed

// ---- clients and presence -----------------------------------------------------------------

static void client_came(di_client* c) {
    di_client_set_data(c, new sim_client());
}

// A client that went itself takes its connection to the model with it; one cut off went
// with the printer.
static void client_went(di_client* c, bool cut) {
    sim_client* s = sim_client_of(c);
    if (!cut && sim_session_close(&s->model))
        done = true;
    delete s;
}

static bool publish() {
    published = transport->publish();
    if (published)
        di_clients_tell(1);
    return published;
}

// The interface disappears with every connection to it, as an unplugged device does.
static void unpublish() {
    di_clients_cut(nullptr);
    if (!published)
        return;
    published = false;
    transport->unpublish();
    di_clients_tell(0);
}

// After every event: the printer may have gone away (or be due back).
static bool follow_presence() {
    if (own.replay != nullptr) {
        bool want = replay_published();
        if (published && !want)
            unpublish();
        return published || !want || publish();
    }
    sim_log_notes();
    if (published && !sim_is_present()) {
        unpublish();
        sim_went_away();
    }
    if (!published && (sim_is_present() || sim_comes_back()))
        return publish();
    return true;
}

// Between requests: whatever comes after the printer has gone was meant for it.
static bool still_there() {
    sim_log_notes();
    return !published || sim_is_present();
}

// ---- the run ------------------------------------------------------------------------------

// Until a signal, the scenario's end or a failure; returns the exit status.
static int run(const sigset_t* wait_mask) {
    std::vector<struct pollfd> fds;
    while (di_stop_signal() == 0 && !done && !replay_diverged()) {
        if (!follow_presence())
            return DI_EXIT_FAILED;
        if (sim_lifetime_over())
            break;
        fds.clear();
        di_clients_poll(&fds);
        int listener = transport->listener();
        if (listener >= 0)
            fds.push_back({listener, POLLIN, 0});
        long long due = sim_next_due();
        if (own.replay != nullptr) {
            long long back = replay_due();
            due = due < 0 || (back >= 0 && back < due) ? back : due;
        }
        int r = di_poll(fds.data(), fds.size(), due, wait_mask);
        if (r < 0 && errno != EINTR) {
            di_complain("poll: %s", strerror(errno));
            return DI_EXIT_FAILED;
        }
        if (r <= 0)
            continue;

        // Clients first, in the order polled; one of them may take the printer away.
        di_clients_serve(fds, 0, still_there);
        if (still_there() && listener >= 0 && fds.back().revents != 0)
            for (int fd; (fd = transport->accept()) >= 0;)
                di_client_add(fd, nullptr, cfg.run.name.c_str());
    }
    if (replay_diverged())
        return DI_EXIT_FAILED;
    if (di_stop_signal() != 0)
        di_log("stopped by signal %d", di_stop_signal());
    else if (done)
        di_log("done: the updated firmware was opened and closed");
    return DI_EXIT_OK;
}

static void shut_down() {
    sim_log_notes();
    unpublish();
    di_clients_close();
    transport->shut_down();
    sim_save_image(cfg.run.save, own.replay != nullptr ? replay_kept() : sim_rec.image);
    di_log_close();
}

int main(int argc, char** argv) {
    di_start("fpsim");
    int status = fpsim_parse_command_line(argc, argv, INTRO, &cfg, &own);
    if (status >= 0)
        return status;
    if (own.summary != nullptr)
        return replay_summary(own.summary, own.replay_device) ? DI_EXIT_OK : DI_EXIT_FAILED;
    if (own.tcp_port)
        transport = &sim_tcp_transport;
    di_driver answers = sim_answers(own);
    answers.connected = client_came;
    answers.gone = client_went;
    answers.receive = transport->receive;
    di_clients_start(answers, CLIENTS_MAX);
    di_signals signals;
    di_take_signals(cfg.run.hold, &signals);
    if (cfg.run.log != nullptr && !di_log_open(cfg.run.log, true))
        return DI_EXIT_FAILED;
    sim_driver_start(cfg);
    if (own.replay != nullptr && !replay_load(own.replay, own.replay_device))
        return DI_EXIT_FAILED;
    status = DI_EXIT_FAILED;
    if (transport->set_up(cfg, own) && follow_presence() &&
        (cfg.run.ready == nullptr || di_write_ready(cfg.run.ready, transport->ready_text())))
        status = run(&signals.wait);
    shut_down();
    return status;
}
