// fpusbd: each printer on the USB bus with a configured ID, published as a device interface
// (one SOCK_SEQPACKET socket per printer) and served through libusb.
//
// One loop and one poll: the listening sockets, the kit's clients and libusb's own
// descriptors. libusb calls back only from inside the event handling this loop runs, and the
// callbacks do no more than note results, so no state is touched from two places at once.
//
// Signals are taken by a thread of their own. It wakes the loop, and should the loop not have
// finished within STOP_BOUND_MS it removes the sockets and ends the process: the loop can be
// held up inside libusb by a device node that does not answer (an emulated one blocks every
// signal while it waits), and a stop must not wait for the bus.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "di/trace.h"
#include "usbd/fpusbd.h"

// Within a second of the signal, whatever the bus does.
static const int STOP_BOUND_MS = 800;
static const size_t CLIENTS_MAX = 16; // per printer

static std::atomic<int> stop_signal(0);
static int stop_fd = -1; // readable once a signal came
static std::mutex stop_lock;
static std::condition_variable stop_done;
static bool finished = false; // under stop_lock: the loop and its shutdown are over

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
    _exit(DI_EXIT_OK);
}

// Whether --idle-exit's time without an update is over; else brings `wake` forward to when it
// will be. Started by udev for a printer, fpusbd outlives an update's every re-enumeration:
// an update goes on until its printer has not been held for the quiet period, also while it is
// away; a printer nobody holds, there or not, is no update.
static bool idle_over(const usbd_config& cfg, long long* wake) {
    static long long idle_since = -1;
    if (cfg.idle_exit_s <= 0)
        return false;
    long long now = di_now_ms();
    if (usbd_bus_updating()) {
        idle_since = -1;
        return false;
    }
    if (idle_since < 0)
        idle_since = now;
    long long end = idle_since + cfg.idle_exit_s * 1000LL;
    if (*wake < 0 || end < *wake)
        *wake = end;
    return now >= end;
}

static int run(const usbd_config& cfg) {
    std::vector<struct pollfd> fds;
    while (stop_signal == 0) {
        fds.assign(1, {stop_fd, POLLIN, 0});
        usbd_bus_listeners(&fds);
        size_t clients_from = fds.size();
        di_clients_poll(&fds);
        size_t usb_from = fds.size();
        long long wake = usbd_bus_poll_fds(&fds);
        if (idle_over(cfg, &wake)) {
            di_log("no update for %d s: exiting", cfg.idle_exit_s);
            return DI_EXIT_OK;
        }
        int r = di_poll(fds.data(), fds.size(), wake, nullptr);
        if (r < 0 && errno != EINTR) {
            di_complain("poll: %s", strerror(errno));
            return DI_EXIT_FAILED;
        }
        if (r < 0 || fds[0].revents != 0)
            continue;

        bool usb_ready = r == 0;
        for (size_t k = usb_from; k < fds.size(); k++)
            usb_ready = usb_ready || fds[k].revents != 0;
        if (usb_ready && !usbd_bus_events(fds, usb_from))
            return stop_signal != 0 ? DI_EXIT_OK : USBD_EXIT_BUS_GONE;
        usbd_bus_accept(fds, 1);
        di_clients_serve(fds, clients_from, nullptr);
        usbd_bus_after_events();
    }
    di_log("stopped by signal %d", stop_signal.load());
    return DI_EXIT_OK;
}

// --record: a technician sends the file, so it says where it is.
static bool start_trace(const usbd_config& cfg) {
    std::string comment = std::string("fpusbd ") + FP_VERSION + " --record" +
                          (cfg.record_blocks ? "" : " --record-no-blocks");
    if (!di_trace_start(cfg.record, cfg.record_blocks, comment))
        return false;
    char* where = realpath(cfg.record, nullptr);
    printf("fpusbd: recording every exchange with the printers to %s\n",
           where != nullptr ? where : cfg.record);
    free(where);
    return true;
}

// The stop watch stands down: nothing it could do is left.
static void finish() {
    std::lock_guard<std::mutex> hold(stop_lock);
    finished = true;
    stop_done.notify_all();
}

int main(int argc, char** argv) {
    di_start("fpusbd");
    static usbd_config parsed;
    int status = usbd_parse_command_line(argc, argv, &parsed);
    if (status >= 0)
        return status;
    const usbd_config& cfg = parsed;
    // Lines as they happen, also into a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (cfg.setup.undo)
        return usbd_unsetup_run(cfg.setup);
    if (!cfg.setup.ids.empty())
        return usbd_setup_run(cfg.setup);

    // Taken before any other thread starts (libusb's too), so that only the watch takes them.
    static di_signals signals;
    di_take_signals(false, &signals);
    stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd < 0) {
        di_complain("cannot make an eventfd: %s", strerror(errno));
        return DI_EXIT_FAILED;
    }
    pthread_t watch;
    int err = pthread_create(&watch, nullptr, watch_signals, &signals.caught);
    if (err != 0) {
        di_complain("cannot start the signal watch: %s", strerror(err));
        return DI_EXIT_FAILED;
    }
    pthread_detach(watch);

    if ((cfg.log != nullptr && !di_log_open(cfg.log, false)) || !usbd_bus_open(cfg))
        return DI_EXIT_FAILED;
    if (cfg.list || !di_open_class_dir()) {
        status = cfg.list ? usbd_bus_list() : DI_EXIT_FAILED;
        usbd_bus_close();
        finish();
        return status;
    }
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (geteuid() == 0 && (xdg == nullptr || *xdg == '\0'))
        di_warn("as root, the printers are published in %s, where only root's fpflash looks; "
                "run fpusbd as the user who runs fpflash, after fpusbd --setup (see fpusbd(1))",
                di_class_path().c_str());

    di_clients_start(usbd_answers, CLIENTS_MAX);
    status = DI_EXIT_FAILED;
    if (cfg.record == nullptr || start_trace(cfg)) {
        usbd_bus_follow();
        if (cfg.ready == nullptr || di_write_ready(cfg.ready, usbd_bus_ready_text()))
            status = run(cfg);
    }
    di_clients_close();
    usbd_bus_close();
    di_close_class_dir();
    di_trace_end();
    finish();
    di_log_close();
    return status;
}
