// fpusb-testbed: the simulated printer as a USB device on a bus that umockdev emulates, with
// the real fpusbd serving it through the real libusb. It takes fpsim's command line, so a
// scenario that runs fpflash against fpsim runs the same way through the whole USB path.
//
// fpusbd runs as our child under umockdev's preload: its sysfs, its udev events and its
// /dev/bus/usb are the testbed's, and every usbdevfs ioctl it makes on a printer comes to the
// emulation in device.cpp. The model's switch to the loader and back is played as an unplug
// and a new device with another product ID at the same port, with their uevents (bus.cpp).
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "di/kit.h"
#include "sim/driver.h"
#include "tests/rude_client.h"
#include "tests/usbd/testbed.h"
#include "usbd/usbd.h"

#ifndef FPUSBD_PATH
#error "FPUSBD_PATH names the fpusbd that the testbed runs"
#endif

static const char INTRO[] =
    "Usage: fpusb-testbed [OPTION]...\n"
    "The simulated fiscal printer as a USB device on a bus emulated by umockdev, served\n"
    "by the real fpusbd through the real libusb and published by it as a device\n"
    "interface, until a signal or the scenario stops it. Takes fpsim's options with\n"
    "their meaning; the printer is on USB port 1-1 and is named by it unless --name is\n"
    "given. Exits with 77 where umockdev cannot run.\n";

static const int EXIT_SKIP = 77;
static const char PRELOAD[] = "libumockdev-preload.so.0";
static const int START_MS = 15000;
static const int STOP_MS = 5000;
static const int SHORT_TIMEOUT_MS = 1000;
// How late past its --idle-exit fpusbd may end, on a busy machine, and how early.
static const int IDLE_SLACK_MS = 5000;
static const int IDLE_EARLY_MS = 500;

// ---- the command line beyond fpsim's ------------------------------------------------------

// What the testbed's own options set, beside fpsim's.
struct bed_options {
    bed_faults faults;
    std::string fpusbd = FPUSBD_PATH;
    bool second_printer = false;
    bool other_product = false;
    long driver_back_ms = 0;
    bool second_client = false;
    bool rude_client = false;
    long bus_poll_ms = 0;
    long idle_exit_s = 0;
    const char* ids = "both";
    const char* record = nullptr;    // fpusbd's --record
    std::vector<std::string> attach; // the sockets of --attach's fpsims, in order
};

static sim_config cfg;
static bed_options opt;
const bed_faults& faults = opt.faults;
static bool printer_seen = false; // the model's printer was plugged in at some time
static long long started_ms = 0;  // when fpusbd was started
static long long update_ms = -1;  // when the updated firmware was closed

// A printer of --attach: plugged in while its fpsim's socket is there, the socket it was
// plugged in for (its inode, and when it was made). One per --attach, made at the start.
struct attached_printer {
    std::string socket;
    std::string port;
    bed_device* dev = nullptr;
    struct timespec made = {0, 0};
    ino_t ino = 0;
};
static std::vector<attached_printer> attached;
static const int ATTACHED_POLL_MS = 20;

static bool parse_ms(const char* a, long* out) {
    return di_parse_long(a, 10, 1, 600000, out);
}

static bool parse_index(const char* a, long* out) {
    return di_parse_long(a, 10, 0, 0xFFFF, out);
}

static bed_options& bed_opt(void* t) {
    return *static_cast<bed_options*>(t);
}

static bed_faults& bed_fault(void* t) {
    return bed_opt(t).faults;
}

// clang-format off
static const di_option bed_option_table[] = {
    {"fpusbd", "PATH", SIM_GROUP_DRIVER, "the fpusbd to run (default: the one built with this)",
     [](void* t, const char* a) { bed_opt(t).fpusbd = a; return di_usable(*a != '\0'); }},
    {"bus-poll", "MS", SIM_GROUP_DRIVER, "fpusbd lists the bus every MS instead of taking uevents",
     [](void* t, const char* a) { return di_usable(di_parse_long(a, 10, 10, 0xFFFF, &bed_opt(t).bus_poll_ms)); }},
    {"second-printer", nullptr, SIM_GROUP_PRINTER,
     "another printer on USB port 1-2, plugged in first and named\n"
     "after this one; the log says if anything claims it",
     [](void* t, const char*) { bed_opt(t).second_printer = true; return DI_TAKEN; }},
    {"other-product", nullptr, SIM_GROUP_PRINTER,
     "another product of the vendor, no printer (one interrupt\n"
     "endpoint), plugged in first at the port after the printers'",
     [](void* t, const char*) { bed_opt(t).other_product = true; return DI_TAKEN; }},
    {"loader-on-peer", nullptr, SIM_GROUP_PRINTER,
     "the loader comes up at port 2-1, the peer of 1-1 on a USB 3 bus",
     [](void* t, const char*) { bed_fault(t).loader_on_peer = true; return DI_TAKEN; }},
    {"attach", "SOCKET", SIM_GROUP_PRINTER,
     "one more printer, at the next port (1-2, 1-3, ...), played\n"
     "by the fpsim published at SOCKET: its transfers go to that\n"
     "fpsim as requests, and it is unplugged and plugged in again\n"
     "as the socket goes and comes; repeat for more",
     [](void* t, const char* a) {
         bed_opt(t).attach.emplace_back(a);
         return di_usable(*a != '\0');
     }},
    {"second-client", nullptr, SIM_GROUP_PRINTER,
     "another client opens the printer once fpusbd has published\nit at the start, and holds it",
     [](void* t, const char*) { bed_opt(t).second_client = true; return DI_TAKEN; }},
    {"rude-client", nullptr, SIM_GROUP_DRIVER,
     "before anyone else, a client sends fpusbd every kind of\n"
     "malformed request and checks that each fails",
     [](void* t, const char*) { bed_opt(t).rude_client = true; return DI_TAKEN; }},
    {"stall-at", "I", SIM_GROUP_PRINTER,
     "the first write of block I stalls the loader's OUT endpoint\ninstead of reaching the loader",
     [](void* t, const char* a) { return di_usable(parse_index(a, &bed_fault(t).stall_at)); }},
    {"slow-clear-halt", "MS", SIM_GROUP_PRINTER,
     "each CLEAR_HALT is answered MS late",
     [](void* t, const char* a) { return di_usable(parse_ms(a, &bed_fault(t).slow_clear_ms)); }},
    {"node-fails-at", "I", SIM_GROUP_PRINTER,
     "from the first write of block I on, no reap answers (EIO)",
     [](void* t, const char* a) { return di_usable(parse_index(a, &bed_fault(t).node_fails_at)); }},
    {"short-at", "I", SIM_GROUP_PRINTER,
     "the first write of block I is taken only in half and never\n"
     "finished; fpusbd's write timeout (1000 ms here) ends it",
     [](void* t, const char* a) { return di_usable(parse_index(a, &bed_fault(t).short_at)); }},
    {"fpusbd-ids", "WHICH", SIM_GROUP_DRIVER,
     "what fpusbd is told to serve: 'both' IDs (the default),\n"
     "'firmware' (only the ID --list shows before an update) or\n"
     "'vendor' (--device VID)",
     [](void* t, const char* a) {
         bed_opt(t).ids = a;
         return di_usable(strcmp(a, "both") == 0 || strcmp(a, "firmware") == 0 ||
                          strcmp(a, "vendor") == 0);
     }},
    {"rebinding-driver", nullptr, SIM_GROUP_PRINTER,
     "the printer's kernel driver binds to its interface again\n"
     "whenever the interface is released",
     [](void* t, const char*) { bed_fault(t).rebinding_driver = true; return DI_TAKEN; }},
    {"other-holder", nullptr, SIM_GROUP_PRINTER,
     "another program has claimed the printer's interface, and\nkeeps it",
     [](void* t, const char*) { bed_fault(t).other_holder = true; return DI_TAKEN; }},
    {"access-denied", "MS", SIM_GROUP_PRINTER,
     "each device node of the printer refuses access for MS after\n"
     "it appears, until udev would have set its mode",
     [](void* t, const char* a) { return di_usable(parse_ms(a, &bed_fault(t).access_denied_ms)); }},
    {"record", "FILE", SIM_GROUP_DRIVER, "fpusbd records every exchange to FILE (--record)",
     [](void* t, const char* a) { bed_opt(t).record = a; return di_usable(*a != '\0'); }},
    {"idle-exit", "SECONDS", SIM_GROUP_DRIVER,
     "fpusbd runs with --idle-exit SECONDS and must end by itself,\n"
     "status 0, that long after the update's quiet period, the\n"
     "printer still plugged in, or after its start without one",
     [](void* t, const char* a) { return di_usable(di_parse_long(a, 10, 1, 600, &bed_opt(t).idle_exit_s)); }},
    {"driver-back-within", "MS", SIM_GROUP_DRIVER,
     "fpusbd must give the printer back to its kernel driver\nwithin MS of the update's end",
     [](void* t, const char* a) { return di_usable(parse_ms(a, &bed_opt(t).driver_back_ms)); }},
    {"slow-bus", "MS", SIM_GROUP_DRIVER,
     "once the update is done (--stop-when-done), every request\n"
     "is answered MS late and the device node polls ready, as a\n"
     "plain file's does; fpusbd is stopped while it waits",
     [](void* t, const char* a) { return di_usable(parse_ms(a, &bed_fault(t).slow_bus_ms)); }},
};
// clang-format on

// ---- fpusbd -------------------------------------------------------------------------------

static pid_t child = -1;
static int child_fd = -1; // a pidfd: readable once fpusbd has ended
static std::string child_ready;
static int child_status = 0;
static bool child_ended = false;

static std::string class_dir() {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0)
        return "";
    static const di_guid printer_class = DI_PRINTER_CLASS;
    char name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, name);
    return std::string(base) + "/" + name;
}

static std::string main_name() {
    return cfg.run.named ? cfg.run.name : "1-1";
}

static std::vector<std::string> fpusbd_args(const std::string& ready, const char* log) {
    std::vector<std::string> a = {opt.fpusbd};
    bool vendor = strcmp(opt.ids, "vendor") == 0;
    for (uint16_t pid : {PID_APP, PID_LOADER}) {
        if (pid == PID_LOADER && (vendor || strcmp(opt.ids, "firmware") == 0))
            break;
        char id[16];
        snprintf(id, sizeof(id), vendor ? "%04x" : "%04x:%04x", VID, pid);
        a.insert(a.end(), {"--device", id});
    }
    if (cfg.run.named)
        a.insert(a.end(), {"--name", "1-1=" + cfg.run.name});
    if (cfg.run.named && opt.second_printer)
        a.insert(a.end(), {"--name", "1-2=" + cfg.run.name + "-2"});
    if (faults.short_at >= 0)
        a.insert(a.end(), {"--write-timeout", std::to_string(SHORT_TIMEOUT_MS)});
    if (opt.bus_poll_ms > 0)
        a.insert(a.end(), {"--poll", std::to_string(opt.bus_poll_ms)});
    if (opt.record != nullptr)
        a.insert(a.end(), {"--record", opt.record});
    if (opt.idle_exit_s > 0)
        a.insert(a.end(), {"--idle-exit", std::to_string(opt.idle_exit_s)});
    a.insert(a.end(), {"--ready", ready});
    if (log != nullptr)
        a.insert(a.end(), {"--log", log});
    return a;
}

// Whether fpusbd can be made to meet a device node's mode: root reads any file unless its
// capabilities to override modes are taken away, for which it needs CAP_SETPCAP.
static bool modes_can_bind() {
    if (geteuid() != 0)
        return true;
    struct __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct caps[2] = {};
    return syscall(SYS_capget, &head, caps) == 0 && (caps[0].effective & (1u << CAP_SETPCAP)) != 0;
}

// Starts fpusbd, under the preload we run under; its output goes to `out_fd` when >= 0.
static pid_t spawn(const std::vector<std::string>& args, int out_fd, const sigset_t* mask,
                   bool bound_by_modes = false) {
    // Built before the fork: umockdev's threads may hold the allocator's lock at that moment.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    static const char FAILED[] = "fpusb-testbed: cannot run fpusbd\n";
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Should we die, fpusbd is told, and takes its sockets with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (bound_by_modes && geteuid() == 0) {
        // Out of the bounding set, so that fpusbd, root as it is, heeds the modes too.
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    }
    sigprocmask(SIG_SETMASK, mask, nullptr);
    if (out_fd >= 0)
        dup2(out_fd, STDOUT_FILENO);
    execv(argv[0], argv.data());
    ssize_t said = write(STDERR_FILENO, FAILED, sizeof(FAILED) - 1);
    (void)said;
    _exit(127);
}

// Whether umockdev works here at all: fpusbd --list under the preload must see the root hub.
static bool bus_works(const sigset_t* mask, std::string* why) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        *why = strerror(errno);
        return false;
    }
    pid_t pid = spawn({opt.fpusbd, "--list"}, p[1], mask);
    close(p[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    for (size_t from = 0, nl; (nl = out.find('\n', from)) != std::string::npos; from = nl + 1)
        di_log("fpusbd --list: %s", out.substr(from, nl - from).c_str());
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 || out.find("\nusb1 ") == std::string::npos) {
        *why = "fpusbd --list under the preload did not see the emulated bus";
        return false;
    }
    return true;
}

static bool start_fpusbd(const sigset_t* mask) {
    child_ready = bus_root() + "/fpusbd.ready";
    started_ms = di_now_ms();
    child = spawn(fpusbd_args(child_ready, cfg.run.log), -1, mask, faults.access_denied_ms > 0);
    child_fd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (child < 0 || child_fd < 0) {
        di_complain("cannot start %s: %s", opt.fpusbd.c_str(), strerror(errno));
        return false;
    }
    return true;
}

static bool reap_child(bool wait) {
    if (child_ended)
        return true;
    int st = 0;
    if (waitpid(child, &st, wait ? 0 : WNOHANG) != child)
        return false;
    child_ended = true;
    child_status = st;
    return true;
}

// fpusbd is ready, and so is the printer if it is plugged in at the start: published.
static bool wait_for_fpusbd() {
    long long until = di_now_ms() + START_MS;
    struct stat st;
    std::vector<std::string> printers;
    if (bed.main_dev != nullptr)
        printers.push_back(class_dir() + "/" + main_name());
    for (const attached_printer& a : attached)
        if (a.dev != nullptr)
            printers.push_back(class_dir() + "/" + a.port);
    while (di_now_ms() < until) {
        restore_modes();
        bool all = stat(child_ready.c_str(), &st) == 0 && st.st_size > 0;
        for (const std::string& p : printers)
            all = all && lstat(p.c_str(), &st) == 0;
        if (all)
            return true;
        if (reap_child(false)) {
            di_complain("fpusbd ended before it served (status 0x%x)", child_status);
            return false;
        }
        usleep(10000);
    }
    di_complain("fpusbd did not get ready within %d ms", START_MS);
    return false;
}

// ---- other clients ------------------------------------------------------------------------

static int holder_fd = -1;

int connect_socket(const std::string& path) {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct timeval tv = {5, 0};
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 &&
        (connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
         setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connection to the printer's interface; -1 on failure, said.
static int connect_printer() {
    std::string path = class_dir() + "/" + main_name();
    int fd = connect_socket(path);
    if (fd < 0)
        di_complain("cannot connect to %s: %s", path.c_str(), strerror(errno));
    return fd;
}

// One request, as raw bytes, and its reply's status; -1 when the connection ended instead.
static int exchange(int fd, const std::vector<uint8_t>& req) {
    uint8_t reply[DI_PACKET_MAX];
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
        return -1;
    ssize_t n = recv(fd, reply, sizeof(reply), 0);
    return n >= static_cast<ssize_t>(DI_HEADER_SIZE) ? reply[0] : -1;
}

static bool hold_printer() {
    holder_fd = connect_printer();
    if (holder_fd < 0 ||
        exchange(holder_fd, di_test_request(DI_OP_OPEN, DI_ACCESS)) != DI_SUCCESS) {
        di_complain("the second client could not open the printer");
        return false;
    }
    di_log("second client: holds the printer");
    return true;
}

// The requests of tests/rude_client.h, each of which fpusbd must fail, or close the connection
// at.
static bool be_rude() {
    std::vector<rude_step> steps = rude_steps();
    int fd = connect_printer();
    if (fd < 0)
        return false;
    bool ok = true;
    size_t answered = 0;
    for (const auto& s : steps) {
        int got = exchange(fd, s.req);
        // A client that got it wrong may also be shown the door, as long as others are served.
        if (got < 0 && s.status == DI_FAILURE) {
            di_log("rude client: cut off after %s", s.what);
            break;
        }
        if (got != s.status) {
            di_complain("rude client: %s: answered %d, not %d", s.what, got, s.status);
            ok = false;
        }
        answered++;
    }
    close(fd);
    // Whatever it did, the printer must be free for the next client.
    fd = connect_printer();
    if (fd < 0 || exchange(fd, di_test_request(DI_OP_OPEN, DI_ACCESS)) != DI_SUCCESS) {
        di_complain("rude client: the printer could not be opened after it");
        ok = false;
    }
    if (fd >= 0)
        close(fd);
    di_log("rude client: %zu of %zu requests answered, %s", answered, steps.size(),
           ok ? "each as it should be" : "not all right");
    return ok;
}

// ---- --idle-exit ----------------------------------------------------------------------------

// What the idle time is counted from, for what the testbed says.
static const char* idle_from() {
    return update_ms >= 0 ? "the update" : "its start without an update";
}

static long long idle_base_ms() {
    return update_ms >= 0 ? update_ms : started_ms;
}

// When fpusbd is due to end by itself: its idle time after the update's quiet period, the
// printer plugged in but held by nobody, or after its start without a printer; never during
// an update.
static long long idle_end_due() {
    if (printer_seen && update_ms < 0)
        return LLONG_MAX / 2;
    return idle_base_ms() + (update_ms >= 0 ? USBD_QUIET_MS : 0) + opt.idle_exit_s * 1000;
}

// fpusbd ended by itself: fine only when its time had come. It counts from its client's close,
// which the printer's session outlives by the moment that close takes.
static int judge_idle_exit() {
    long long now = di_now_ms();
    if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) {
        di_complain("fpusbd ended by itself with status 0x%x", child_status);
        return DI_EXIT_FAILED;
    }
    if (now < idle_end_due() - IDLE_EARLY_MS) {
        di_complain("fpusbd ended by itself %lld ms after %s, too early", now - idle_base_ms(),
                    idle_from());
        return DI_EXIT_FAILED;
    }
    di_log("fpusbd ended by itself, status 0, %lld ms after %s (due after %lld ms)",
           now - idle_base_ms(), idle_from(), idle_end_due() - idle_base_ms());
    return DI_EXIT_OK;
}

// ---- --attach -----------------------------------------------------------------------------

// Each attached printer follows its fpsim: unplugged once its socket has gone (or its
// connection broke, which device.cpp notes), plugged in again once a new one is there. Returns
// when to look again, -1 for never, -2 when a printer could not be plugged in.
static long long follow_attached() {
    for (attached_printer& a : attached) {
        struct stat st;
        bool there = lstat(a.socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
        bool same = there && st.st_ino == a.ino && st.st_ctim.tv_sec == a.made.tv_sec &&
                    st.st_ctim.tv_nsec == a.made.tv_nsec;
        bool plugged;
        {
            std::lock_guard<std::mutex> hold(bed.lock);
            if (a.dev != nullptr && !a.dev->gone && (!same || a.dev->link_lost))
                device_unplug(a.dev);
            plugged = a.dev != nullptr && !a.dev->gone;
        }
        if (plugged || !there || same)
            continue;
        a.dev = plug(true, a.port, PID_APP, a.socket);
        a.ino = st.st_ino;
        a.made = st.st_ctim;
        if (a.dev == nullptr)
            return -2;
    }
    return attached.empty() ? -1 : di_now_ms() + ATTACHED_POLL_MS;
}

// ---- the run ------------------------------------------------------------------------------

// Until a signal, the scenario's end, or fpusbd's; returns the exit status.
static int run(const sigset_t* wait_mask) {
    for (;;) {
        if (di_stop_signal() != 0) {
            di_log("stopped by signal %d", di_stop_signal());
            if (opt.idle_exit_s == 0)
                return DI_EXIT_OK;
            di_complain("stopped before fpusbd ended by itself");
            return DI_EXIT_FAILED;
        }
        bool back;
        {
            std::lock_guard<std::mutex> hold(bed.lock);
            update_ms = bed.done_ms;
            bool given_back = bed.main_dev != nullptr && bed.main_dev->driver_bound;
            if (bed.done && opt.idle_exit_s == 0 && (opt.driver_back_ms == 0 || given_back)) {
                di_log("done: the updated firmware was opened and closed");
                if (opt.driver_back_ms > 0)
                    di_log("done: the printer's kernel driver bound again %lld ms after the "
                           "update",
                           di_now_ms() - update_ms);
                return DI_EXIT_OK;
            }
            for (bed_device* d : bed.devices)
                if (d->gone && !d->removed) {
                    take_out(d);
                    if (!d->attached.empty())
                        continue;
                    sim_went_away();
                }
            back = sim_comes_back();
        }
        if (back && !plug_main())
            return DI_EXIT_FAILED;
        printer_seen = printer_seen || back;
        if (sim_lifetime_over())
            return DI_EXIT_OK;
        long long wake = sim_next_due();
        for (long long also : {restore_modes(), follow_attached()}) {
            if (also == -2)
                return DI_EXIT_FAILED;
            if (also >= 0 && (wake < 0 || also < wake))
                wake = also;
        }
        long long bound = opt.idle_exit_s > 0 ? idle_end_due() + IDLE_SLACK_MS
                          : opt.driver_back_ms > 0 && update_ms >= 0
                              ? update_ms + opt.driver_back_ms
                              : -1;
        if (bound >= 0 && di_now_ms() >= bound) {
            if (opt.idle_exit_s > 0)
                di_complain("fpusbd still running %lld ms after %s, %d ms past its due",
                            di_now_ms() - idle_base_ms(), idle_from(), IDLE_SLACK_MS);
            else
                di_complain("the printer not given back to its kernel driver within %ld ms of "
                            "the update",
                            opt.driver_back_ms);
            return DI_EXIT_FAILED;
        }
        if (bound >= 0 && (wake < 0 || bound < wake))
            wake = bound;
        struct pollfd fds[2] = {{bed.wake_fd, POLLIN, 0}, {child_fd, POLLIN, 0}};
        int r = di_poll(fds, 2, wake, wait_mask);
        if (r < 0 && errno != EINTR) {
            di_complain("poll: %s", strerror(errno));
            return DI_EXIT_FAILED;
        }
        if (r > 0 && fds[0].revents != 0) {
            uint64_t n;
            if (read(bed.wake_fd, &n, sizeof(n)) < 0 && errno != EAGAIN)
                di_complain("wake: %s", strerror(errno));
        }
        if (r > 0 && fds[1].revents != 0 && reap_child(true)) {
            if (opt.idle_exit_s > 0)
                return judge_idle_exit();
            di_complain("fpusbd ended by itself (status 0x%x)", child_status);
            return DI_EXIT_FAILED;
        }
    }
}

// fpusbd is asked to stop, and its sockets must go with it; the worker serves it meanwhile.
// On a slow bus the signal comes while fpusbd sits in a request, as it did on another
// emulation whose device node always polled ready.
static bool stop_fpusbd() {
    if (child <= 0 || child_ended)
        return child_ended && WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0;
    {
        std::unique_lock<std::mutex> hold(bed.lock);
        if (bed.slow) {
            long long until = di_now_ms() + SHORT_TIMEOUT_MS;
            while (bed.held_requests == 0 && di_now_ms() < until) {
                hold.unlock();
                usleep(10000);
                hold.lock();
            }
            di_log(bed.held_requests > 0 ? "slow bus: fpusbd waits on a request"
                                         : "slow bus: fpusbd made no request");
        }
    }
    long long asked = di_now_ms();
    kill(child, SIGTERM);
    struct pollfd pfd = {child_fd, POLLIN, 0};
    if (poll(&pfd, 1, STOP_MS) <= 0) {
        di_complain("fpusbd did not stop within %d ms", STOP_MS);
        kill(child, SIGKILL);
    }
    reap_child(true);
    di_log("fpusbd ended %lld ms after SIGTERM", di_now_ms() - asked);
    {
        std::lock_guard<std::mutex> hold(bed.lock);
        bed.bus_released = true;
        bed.slow_wait.notify_all();
    }
    if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) {
        di_complain("fpusbd ended with status 0x%x", child_status);
        return false;
    }
    return true;
}

// umockdev sends uevents through libudev, which must see the testbed's sysfs: we run under
// the preload ourselves, as fpusbd does. Returns only when that cannot be.
static void run_under_preload(char** argv) {
    static const char MARK[] = "FPUSB_TESTBED_PRELOADED";
    if (dlopen(PRELOAD, RTLD_LAZY | RTLD_NOLOAD) != nullptr)
        return;
    if (getenv(MARK) != nullptr) {
        di_complain("umockdev cannot run here: %s does not load", PRELOAD);
        exit(EXIT_SKIP);
    }
    std::string preload = PRELOAD;
    const char* old = getenv("LD_PRELOAD");
    if (old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(MARK, "1", 1);
    execv("/proc/self/exe", argv);
    di_complain("umockdev cannot run here: cannot restart under %s: %s", PRELOAD, strerror(errno));
    exit(EXIT_SKIP);
}

int main(int argc, char** argv) {
    di_start("fpusb-testbed");
    run_under_preload(argv);
    int status = sim_parse_command_line(argc, argv, "fpusb-testbed", INTRO, &cfg,
                                        di_table_of(bed_option_table, &opt));
    if (status >= 0)
        return status;
    if (cfg.run.named && opt.second_printer && cfg.run.name.size() + 2 > 255) {
        di_complain("--name is too long for the second printer's name");
        return DI_EXIT_USAGE;
    }
    if (faults.slow_bus_ms > 0 && !cfg.run.stop_when_done) {
        di_complain("--slow-bus starts when the update is done: it needs --stop-when-done");
        return DI_EXIT_USAGE;
    }
    if (faults.access_denied_ms > 0 && !modes_can_bind()) {
        di_complain("umockdev cannot run here: --access-denied needs CAP_SETPCAP to make the root "
                    "fpusbd heed a device node's mode");
        return EXIT_SKIP;
    }

    // umockdev's worker thread starts with the testbed and must inherit the block.
    di_signals signals;
    di_take_signals(cfg.run.hold, &signals);
    // Appended to, by fpusbd too, so every line lands whole and in order.
    if (cfg.run.log != nullptr && !di_log_open(cfg.run.log, true))
        return DI_EXIT_FAILED;
    bed.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!bus_start() || bed.wake_fd < 0) {
        di_complain("umockdev cannot run here: no testbed");
        return EXIT_SKIP;
    }

    sim_driver_start(cfg);
    sim_log_notes();

    status = DI_EXIT_FAILED;
    std::string why;
    // Whether umockdev works at all is known once fpusbd --list has looked at the bus.
    printer_seen = sim_is_present();
    std::string other_port = "1-" + std::to_string(2 + opt.second_printer + opt.attach.size());
    bool plugged = plug_root_hub() &&
                   (!opt.second_printer || plug(false, "1-2", PID_SECOND) != nullptr) &&
                   (!opt.other_product || plug(false, other_port, PID_OTHER) != nullptr) &&
                   (!printer_seen || plug_main());
    for (size_t k = 0; k < opt.attach.size(); k++) {
        attached.emplace_back();
        attached.back().socket = opt.attach[k];
        attached.back().port = "1-" + std::to_string(k + (opt.second_printer ? 3 : 2));
    }
    plugged = plugged && follow_attached() != -2;
    if (!bus_works(&signals.before, &why)) {
        di_complain("umockdev cannot run here: %s", why.c_str());
        status = EXIT_SKIP;
    } else if (plugged && start_fpusbd(&signals.before) && wait_for_fpusbd() &&
               (!opt.rude_client || bed.main_dev == nullptr || be_rude()) &&
               (!opt.second_client || bed.main_dev == nullptr || hold_printer()) &&
               (cfg.run.ready == nullptr ||
                di_write_ready(cfg.run.ready, " " + class_dir() + "/" + main_name()))) {
        status = run(&signals.wait);
    }
    if (holder_fd >= 0)
        close(holder_fd);
    if (!stop_fpusbd() && status == DI_EXIT_OK)
        status = DI_EXIT_FAILED;
    {
        std::lock_guard<std::mutex> hold(bed.lock);
        sim_log_notes();
    }
    sim_save_image(cfg.run.save, sim_rec.image);
    bus_stop();
    di_log_close();
    return status;
}
