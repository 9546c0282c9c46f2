// fpusbd: each printer on the USB bus with a configured ID, published as a device interface
// (one SOCK_SEQPACKET socket per printer) and served through libusb.
//
// One loop and one poll: the listening sockets, the clients and libusb's own descriptors.
// A READ is answered from what the printer has already sent, so one bulk IN transfer stays
// pending on every IN endpoint in use; a WRITE is one bulk OUT transfer, answered when it
// completes. libusb calls back only from inside the event handling this loop runs, and the
// callbacks do no more than note results, so no state is touched from two places at once.
//
// Signals are taken by a thread of their own. It wakes the loop, and should the loop not have
// finished within STOP_BOUND_MS it removes the sockets and ends the process: the loop can be
// held up inside libusb by a device node that does not answer (an emulated one blocks every
// signal while it waits), and a stop must not wait for the bus.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include <libusb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "usbd/daemon.h"

usbd_config cfg;
libusb_context* ctx = nullptr;
std::vector<printer*> printers;
std::vector<client> clients;

// Within a second of the signal, whatever the bus does.
static const int STOP_BOUND_MS = 800;

static std::atomic<int> stop_signal(0);
static int stop_fd = -1; // readable once a signal came
static std::mutex stop_lock;
static std::condition_variable stop_done;
static bool finished = false; // under stop_lock: the loop and its shutdown are over

// ---- messages -----------------------------------------------------------------------------

void usb_error(const printer* p, const char* what, int err) {
    di_log("%s: %s: %s", p ? p->port.c_str() : "usb", what, libusb_error_name(err));
}

static void LIBUSB_CALL libusb_says(libusb_context*, enum libusb_log_level, const char* text) {
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    di_log("%s", s.c_str());
}

// ---- the run ------------------------------------------------------------------------------

static void* watch_signals(void* arg) {
    int s = 0;
    if (sigwait(static_cast<const sigset_t*>(arg), &s) != 0)
        return nullptr;
    std::unique_lock<std::mutex> hold(stop_lock);
    if (finished)
        return nullptr;
    stop_signal = s;
    uint64_t one = 1;
    if (write(stop_fd, &one, sizeof(one)) < 0)
        di_log("cannot wake the loop: %s", strerror(errno));
    if (stop_done.wait_for(hold, std::chrono::milliseconds(STOP_BOUND_MS), [] { return finished; }))
        return nullptr;
    di_unpublish_all_now();
    di_log("stopped by signal %d; the bus did not answer within %d ms, so the printers were "
           "not given back to their kernel driver",
           s, STOP_BOUND_MS);
    _exit(USBD_EXIT_OK);
}

// The process id and every socket published.
static std::string ready_text() {
    std::string s;
    for (const printer* p : printers)
        s += " " + di_class_path() + "/" + p->name;
    return s;
}

static bool handle_usb_events() {
    struct timeval zero = {0, 0};
    int r = libusb_handle_events_timeout_completed(ctx, &zero, nullptr);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED) {
        usb_error(nullptr, "event handling", r);
        return false;
    }
    after_events();
    return true;
}

static int run() {
    bool use_poll = cfg.poll_ms > 0;
    long long next_poll = use_poll ? di_now_ms() + cfg.poll_ms : -1;
    std::vector<struct pollfd> fds;
    std::vector<int> fd_client; // the client id of each entry, 0 for the others
    std::vector<printer*> fd_printer;
    while (stop_signal == 0) {
        fds.clear();
        fd_client.clear();
        fd_printer.clear();
        fds.push_back({stop_fd, POLLIN, 0});
        fd_client.push_back(0);
        fd_printer.push_back(nullptr);
        for (printer* p : printers) {
            fds.push_back({p->sock.listen_fd, POLLIN, 0});
            fd_client.push_back(0);
            fd_printer.push_back(p);
        }
        for (const client& c : clients)
            if (!c.waiting) {
                fds.push_back({c.fd, POLLIN, 0});
                fd_client.push_back(c.s.id);
                fd_printer.push_back(nullptr);
            }
        size_t usb_from = fds.size();
        const libusb_pollfd** usb_fds = libusb_get_pollfds(ctx);
        for (size_t k = 0; usb_fds != nullptr && usb_fds[k] != nullptr; k++)
            fds.push_back({usb_fds[k]->fd, usb_fds[k]->events, 0});
        libusb_free_pollfds(usb_fds);

        long long wait = -1;
        struct timeval tv;
        if (libusb_get_next_timeout(ctx, &tv) == 1)
            wait = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
        for (long long due : {next_poll, bus_next_due()})
            if (due >= 0) {
                long long left = std::max(0LL, due - di_now_ms());
                wait = wait < 0 ? left : std::min(wait, left);
            }
        int timeout = wait < 0 ? -1 : static_cast<int>(std::min(wait, 3600000LL));
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            di_complain("poll: %s", strerror(errno));
            return USBD_EXIT_FAILED;
        }
        if (r < 0 || fds[0].revents != 0)
            continue;

        bool usb_ready = r == 0;
        for (size_t k = usb_from; k < fds.size(); k++)
            usb_ready = usb_ready || fds[k].revents != 0;
        if (usb_ready && !handle_usb_events())
            return stop_signal != 0 ? USBD_EXIT_OK : USBD_EXIT_FAILED;
        // By id: serving one client may drop others, or a whole printer.
        for (size_t k = 1; k < usb_from; k++) {
            if (fds[k].revents == 0)
                continue;
            if (fd_client[k] != 0) {
                size_t i = client_index(fd_client[k]);
                if (i != SIZE_MAX)
                    serve(i);
            } else if (std::find(printers.begin(), printers.end(), fd_printer[k]) !=
                       printers.end()) {
                accept_all(fd_printer[k]);
            }
        }
        after_events();
        if (next_poll >= 0 && di_now_ms() >= next_poll) {
            poll_bus();
            next_poll = di_now_ms() + cfg.poll_ms;
        }
    }
    di_log("stopped by signal %d", stop_signal.load());
    return USBD_EXIT_OK;
}

static void shut_down(libusb_hotplug_callback_handle* hotplug) {
    while (!clients.empty()) {
        close(clients.back().fd);
        clients.pop_back();
    }
    if (hotplug != nullptr)
        libusb_hotplug_deregister_callback(ctx, *hotplug);
    // Transfers that never came back still belong to libusb; without a context they can do
    // no harm.
    if (forget_bus())
        libusb_exit(ctx);
    di_close_class_dir();
}

// The stop watch stands down: nothing it could do is left.
static void finish() {
    std::lock_guard<std::mutex> hold(stop_lock);
    finished = true;
    stop_done.notify_all();
}

int main(int argc, char** argv) {
    di_start("fpusbd", true);
    int status = usbd_parse_command_line(argc, argv, &cfg);
    if (status >= 0)
        return status;
    // Lines as they happen, also into a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Taken before any other thread starts (libusb's too), so that only the watch takes them.
    static di_signals signals;
    di_take_signals(false, &signals);
    stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd < 0) {
        di_complain("cannot make an eventfd: %s", strerror(errno));
        return USBD_EXIT_FAILED;
    }
    pthread_t watch;
    int err = pthread_create(&watch, nullptr, watch_signals, &signals.caught);
    if (err != 0) {
        di_complain("cannot start the signal watch: %s", strerror(err));
        return USBD_EXIT_FAILED;
    }
    pthread_detach(watch);

    if (cfg.log != nullptr && !di_log_open(cfg.log, false))
        return USBD_EXIT_FAILED;
    int r = libusb_init(&ctx);
    if (r != 0) {
        di_complain("cannot start libusb: %s", libusb_error_name(r));
        return USBD_EXIT_FAILED;
    }
    if (cfg.log != nullptr) {
        // Global: libusb writes to stderr whatever no global handler takes.
        libusb_set_log_cb(nullptr, libusb_says, LIBUSB_LOG_CB_GLOBAL);
        libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
    }
    if (cfg.list) {
        status = list_devices();
        libusb_exit(ctx);
        finish();
        return status;
    }
    if (!di_open_class_dir()) {
        libusb_exit(ctx);
        finish();
        return USBD_EXIT_FAILED;
    }
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (geteuid() == 0 && (xdg == nullptr || *xdg == '\0'))
        di_complain("note: as root, the printers are published in %s, where only root's fpflash "
                    "looks; run fpusbd as the user who runs fpflash, with its udev rule (see "
                    "fpusbd(1))",
                    di_class_path().c_str());

    libusb_hotplug_callback_handle hotplug;
    bool have_hotplug = cfg.poll_ms == 0 && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (have_hotplug) {
        // Devices already present are announced too, from within the registration.
        r = libusb_hotplug_register_callback(
            ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, nullptr, &hotplug);
        if (r != 0) {
            usb_error(nullptr, "hotplug registration; listing the bus instead", r);
            have_hotplug = false;
        }
    }
    if (!have_hotplug && cfg.poll_ms == 0)
        cfg.poll_ms = 1000;
    di_log("following the bus by %s", have_hotplug ? "hotplug events" : "listing it");
    if (have_hotplug)
        after_events();
    else
        poll_bus();

    status = USBD_EXIT_FAILED;
    if (cfg.ready == nullptr || di_write_ready(cfg.ready, ready_text()))
        status = run();
    shut_down(have_hotplug ? &hotplug : nullptr);
    finish();
    di_log_close();
    return status;
}
