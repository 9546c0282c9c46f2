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
#include <sys/socket.h>
#include <unistd.h>

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
static const sim_transport* transport = &sim_unix_transport;
static std::vector<sim_client> clients;
static int next_client_id = 1;
static bool published = false;
static bool done = false; // the updated firmware was opened and closed
static const char* replay = nullptr;
static const char* replay_device = nullptr;
static const char* summary = nullptr;

// fpsim's own: the testbed, which also takes the table of options.cpp, plays no traces.
static const std::vector<di_option> fpsim_options = {
    {"replay", "FILE", SIM_GROUP_PRINTER,
     "play back the printer of a trace that fpusbd --record\n"
     "wrote, or of a capture of the USB bus (pcap or pcapng,\n"
     "USBPcap or usbmon), in place of the simulated one, by what\n"
     "it did on its endpoints; a write the printer did not take\n"
     "at that point ends the replay, and fpsim fails",
     [](const char* a) {
         replay = a;
         return di_usable(*a != '\0');
     }},
    {"replay-device", "BUS.ADDR", SIM_GROUP_PRINTER,
     "the printer of a capture that holds several: its bus and\n"
     "address (any one of its, where it re-enumerated)",
     [](const char* a) {
         replay_device = a;
         return di_usable(*a != '\0');
     }},
    {"replay-summary", "FILE", SIM_GROUP_PRINTER,
     "print what a trace or capture holds of the printer (its\n"
     "IDs, re-enumerations, transfers per endpoint, the loader's\n"
     "answers, duration) and exit",
     [](const char* a) {
         summary = a;
         return di_usable(*a != '\0');
     }},
};

// ---- clients and presence -----------------------------------------------------------------

static void add_client(int fd) {
    if (clients.size() >= CLIENTS_MAX) {
        close(fd);
        return;
    }
    clients.push_back({fd, {next_client_id++, false, -1}, {}, false, {}});
    di_log("#%d connected", clients.back().s.id);
}

static void drop_client(size_t i) {
    close(clients[i].fd);
    clients.erase(clients.begin() + static_cast<long>(i));
}

// The client closed its connection, or it is closed for it: its model connection goes too.
static void client_closed(size_t i) {
    sim_client c = clients[i];
    drop_client(i);
    di_log("#%d closed", c.s.id);
    if (sim_session_close(&c.model))
        done = true;
}

// TCP watchers stand in for the socket's appearing and going; one that doesn't take its byte
// can no longer be told anything.
static void tell_watchers() {
    uint8_t state = published ? 1 : 0;
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i].watch && send(clients[i].fd, &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
            di_log("#%d lost", clients[i].s.id);
            drop_client(i);
        }
}

static bool publish() {
    published = transport->publish();
    if (published)
        tell_watchers();
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
    tell_watchers();
}

// After every event: the printer may have gone away (or be due back).
static bool follow_presence() {
    if (replay != nullptr) {
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
        for (const sim_client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        int listener = transport->listener();
        if (listener >= 0)
            fds.push_back({listener, POLLIN, 0});
        long long due = sim_next_due();
        if (replay != nullptr) {
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
        size_t polled = clients.size();
        size_t i = 0;
        bool gone = false;
        for (size_t k = 0; k < polled && !gone; k++) {
            if (fds[k].revents == 0) {
                i++;
                continue;
            }
            if (transport->serve(&clients[i]))
                i++;
            else
                client_closed(i);
            sim_log_notes();
            gone = published && !sim_is_present();
        }
        if (!gone && listener >= 0 && fds.back().revents != 0)
            for (int fd; (fd = transport->accept()) >= 0;)
                add_client(fd);
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
    while (!clients.empty())
        drop_client(clients.size() - 1);
    transport->shut_down();
    sim_save_image(cfg.run.save, replay != nullptr ? replay_kept() : sim_rec.image);
    di_log_close();
}

int main(int argc, char** argv) {
    di_start("fpsim", false);
    int status = sim_parse_command_line(argc, argv, "fpsim", INTRO, &cfg, fpsim_options);
    if (status >= 0)
        return status;
    if (summary != nullptr)
        return replay_summary(summary, replay_device) ? DI_EXIT_OK : DI_EXIT_FAILED;
    if (cfg.run.tcp_port)
        transport = &sim_tcp_transport;
    sim_answer_cut(cfg.run.cut_read);
    di_signals signals;
    di_take_signals(cfg.run.hold, &signals);
    if (cfg.run.log != nullptr && !di_log_open(cfg.run.log, true))
        return DI_EXIT_FAILED;
    sim_driver_start(cfg);
    if (replay != nullptr) {
        if (!replay_load(replay, replay_device))
            return DI_EXIT_FAILED;
        sim_answer_replayed();
    }
    status = DI_EXIT_FAILED;
    if (transport->set_up(cfg.run) && follow_presence() &&
        (cfg.run.ready == nullptr || di_write_ready(cfg.run.ready, transport->ready_text())))
        status = run(&signals.wait);
    shut_down();
    return status;
}
