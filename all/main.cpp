// fpflash-all: the command line, and the run. The printers are the sockets there when the
// command starts (or the ports named); each gets a worker (worker.cpp) in a process group of
// its own, so that the terminal's Ctrl-C reaches only this process, which decides: the first
// starts nothing new, the second stops the updates.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "all/all.h"
#include "di/kit.h"

static const char INTRO[] =
    "Usage: fpflash-all [OPTION]... IMAGE [PORT]...\n"
    "Updates every fiscal printer attached, or those at the PORTs named, all at the same\n"
    "time: each by its own 'fpflash IMAGE', which sees only that printer from start to\n"
    "end. The printers are the device interfaces published (by fpusbd, named by their\n"
    "USB port paths) when the command starts; one plugged in later is not touched.\n"
    "Each printer's transcript goes to a log file of its own; at the end a table says\n"
    "how each update ended. The exit status is 0 only when every printer was updated.\n"
    "The first Ctrl-C starts nothing new and lets the running updates finish; a second\n"
    "stops them. A printer stopped in its loader is finished by running the command again.\n";

static const off_t RECORD_SIZE = 528;
static const long SIMULATED_MAX = 64;
// A report line longer than this is no worker's.
static const size_t REPORT_LINE_MAX = 8192;

// What the command line sets.
struct all_config {
    const char* json = nullptr;
    std::string logs = "fpflash-logs";
    long simulate = 0;
    std::vector<std::vector<std::string>> sim_options; // --sim-options', by printer
    std::vector<std::string> operands;                 // the image, then the ports
};

static all_config& given(void* t) {
    return *static_cast<all_config*>(t);
}

// N:OPTIONS, the options split at spaces.
static bool parse_sim_options(const char* a, all_config* c) {
    const char* colon = strchr(a, ':');
    long n = 0;
    if (colon == nullptr || !di_parse_long(std::string(a, colon).c_str(), 10, 1, SIMULATED_MAX, &n))
        return false;
    if (c->sim_options.size() < static_cast<size_t>(n))
        c->sim_options.resize(static_cast<size_t>(n));
    std::vector<std::string>& words = c->sim_options[static_cast<size_t>(n - 1)];
    std::string text = colon + 1;
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find(' ', from);
        if (end == std::string::npos)
            end = text.size();
        if (end > from)
            words.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return true;
}

// clang-format off
static const di_option options[] = {
    {"json", "FILE", 0, "also write the final table to FILE, as JSON",
     [](void* t, const char* a) { given(t).json = a; return di_usable(*a != '\0'); }},
    {"logs", "DIR", 0,
     "keep each printer's transcript in DIR, made where missing\n"
     "(default fpflash-logs)",
     [](void* t, const char* a) { given(t).logs = a; return di_usable(*a != '\0'); }},
    {"simulate", "N", 1,
     "update N simulated printers (fpsim, 1 to 64), published in\n"
     "a private runtime directory, instead of those attached",
     [](void* t, const char* a) {
         return di_usable(di_parse_long(a, 10, 1, SIMULATED_MAX, &given(t).simulate));
     }},
    {"sim-options", "N:OPTIONS", 1,
     "start simulated printer N with these fpsim options,\n"
     "separated by spaces (e.g. '2:--vanish-at 13')",
     [](void* t, const char* a) { return di_usable(parse_sim_options(a, &given(t))); }},
};
// clang-format on

// IMAGE and the PORTs, wherever they stand; an image that is no file is refused before any
// printer is touched, a port without a printer is listed as absent.
static const char* take_operand(void* t, const char* a) {
    given(t).operands.emplace_back(a);
    return DI_TAKEN;
}

// ---- before the run -----------------------------------------------------------------------

// The program of that name installed beside this one.
static std::string beside(const char* name) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = ".";
    if (n > 0) {
        self[n] = '\0';
        dir = self;
        dir.erase(dir.rfind('/'));
    }
    return dir + "/" + name;
}

// The image's blocks; -1 when it is no file to read (fpflash would refuse it anyway, and no
// printer need be touched to find that out).
static int image_blocks(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
        di_complain("cannot read the image %s: %s", path,
                    fd < 0 ? strerror(errno) : "not a regular file");
    if (fd >= 0)
        close(fd);
    return ok ? static_cast<int>(std::min<off_t>(st.st_size / RECORD_SIZE, INT_MAX)) : -1;
}

static bool make_dirs(const std::string& path) {
    for (size_t at = 1; at != std::string::npos;) {
        at = path.find('/', at + 1);
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            di_complain("cannot make %s: %s", part.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

// LOGS/PORT-TIME.log, a new file; the port spelled with what a file name may safely hold.
static int open_log(const std::string& logs, const std::string& port, const std::string& stamp,
                    std::string* path) {
    std::string safe = port;
    for (char& c : safe)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    for (int n = 1; n < 100; n++) {
        *path = logs + "/" + safe + "-" + stamp + (n > 1 ? "-" + std::to_string(n) : "") + ".log";
        int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The printers of `dir` now, or the ports named, each once.
static std::vector<all_printer> printers_of(const std::string& dir,
                                            const std::vector<std::string>& ports) {
    std::vector<std::string> present = dir.empty() ? std::vector<std::string>() : all_sockets(dir);
    std::vector<all_printer> ps;
    for (const std::string& port : ports.empty() ? present : ports) {
        if (std::any_of(ps.begin(), ps.end(), [&](const all_printer& p) { return p.port == port; }))
            continue;
        all_printer p;
        p.port = port;
        p.socket = dir + "/" + port;
        if (std::find(present.begin(), present.end(), port) == present.end())
            p.result = ALL_ABSENT;
        ps.push_back(p);
    }
    return ps;
}

// ---- the run ------------------------------------------------------------------------------

static int signal_fd = -1;
static int interrupts = 0;
static bool stopping = false;

// Printer `p`'s worker, for the update `w` (the programs, the image and the parent) of it; its
// log in `logs`.
static void start_worker(all_printer& p, const std::string& logs, const std::string& stamp,
                         all_work w) {
    int fds[2];
    int log_fd = open_log(logs, p.port, stamp, &p.log);
    if (log_fd < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        p.result = ALL_FAILED;
        p.why = "its log could not be written: " + std::string(strerror(errno));
        if (log_fd >= 0)
            close(log_fd);
        return;
    }
    w.port = p.port;
    w.socket = p.socket;
    w.log_fd = log_fd;
    w.report_fd = fds[1];
    p.started_ms = di_now_ms();
    p.pid = fork();
    if (p.pid == 0) {
        close(fds[0]);
        _exit(all_worker(w));
    }
    // Its group made here too, so that a Ctrl-C right now cannot reach it either.
    if (p.pid > 0)
        setpgid(p.pid, p.pid);
    close(fds[1]);
    close(log_fd);
    if (p.pid < 0) {
        close(fds[0]);
        p.result = ALL_FAILED;
        p.why = "it could not be started: " + std::string(strerror(errno));
        return;
    }
    p.report_fd = fds[0];
}

static long running(const std::vector<all_printer>& ps) {
    return std::count_if(ps.begin(), ps.end(),
                         [](const all_printer& p) { return p.result == ALL_RUNNING && p.pid > 0; });
}

// Ctrl-C once: nothing new starts. Twice, or SIGTERM or SIGHUP: every update is stopped.
static void take_signals(std::vector<all_printer>& ps) {
    struct signalfd_siginfo si;
    while (read(signal_fd, &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
        if (si.ssi_signo == SIGINT && ++interrupts == 1) {
            all_report_note(ps, "Ctrl-C: no update starts now; the " + std::to_string(running(ps)) +
                                    " running finish (a printer stopped in its loader would "
                                    "need a rerun). Ctrl-C again stops them.");
            continue;
        }
        if (stopping)
            continue;
        stopping = true;
        all_report_note(ps, "Stopping every update.");
        for (const all_printer& p : ps)
            if (p.result == ALL_RUNNING && p.pid > 0)
                kill(p.pid, SIGTERM);
    }
}

static void take_report(all_printer* p, const std::string& line) {
    if (line[0] == 'L') {
        all_take_line(&p->progress, line.substr(1));
    } else if (line[0] == 'E') {
        p->why = line.substr(1);
    } else if (line[0] == 'S') {
        int code = -1, sig = 0;
        if (sscanf(line.c_str() + 1, "%d %d", &code, &sig) != 2)
            return;
        p->ended_ms = di_now_ms();
        p->signal = sig;
        p->status = all_status(code, p->progress);
        p->result = sig != 0 ? ALL_STOPPED : p->status == 0 ? ALL_UPDATED : ALL_FAILED;
    }
}

// What worker `i` sent; at its end it is waited for.
static void read_reports(std::vector<all_printer>& ps, size_t i) {
    all_printer& p = ps[i];
    char buf[4096];
    ssize_t n = read(p.report_fd, buf, sizeof(buf));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    for (ssize_t k = 0; k < n; k++) {
        if (buf[k] != '\n') {
            if (p.partial.size() < REPORT_LINE_MAX)
                p.partial.push_back(buf[k]);
            continue;
        }
        if (!p.partial.empty())
            take_report(&p, p.partial);
        p.partial.clear();
    }
    if (n <= 0) {
        close(p.report_fd);
        p.report_fd = -1;
        while (waitpid(p.pid, nullptr, 0) < 0 && errno == EINTR)
            ;
        if (p.result == ALL_RUNNING) {
            p.result = ALL_FAILED;
            p.ended_ms = di_now_ms();
            if (p.why.empty())
                p.why = "its worker ended before fpflash did";
        }
    }
    all_report_update(ps, i);
}

static void run(std::vector<all_printer>& ps) {
    std::vector<struct pollfd> fds;
    std::vector<size_t> who;
    for (;;) {
        fds.assign(1, {signal_fd, POLLIN, 0});
        who.clear();
        for (size_t i = 0; i < ps.size(); i++)
            if (ps[i].report_fd >= 0) {
                fds.push_back({ps[i].report_fd, POLLIN, 0});
                who.push_back(i);
            }
        if (who.empty())
            return;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            di_complain("poll: %s", strerror(errno));
            return;
        }
        if (fds[0].revents != 0)
            take_signals(ps);
        for (size_t k = 0; k < who.size(); k++)
            if (fds[k + 1].revents != 0)
                read_reports(ps, who[k]);
    }
}

// Those that were not there at the start and are now: not touched, and said so.
static void add_late(std::vector<all_printer>& ps, const std::string& dir) {
    for (const std::string& name : all_sockets(dir)) {
        if (std::none_of(ps.begin(), ps.end(),
                         [&](const all_printer& p) { return p.port == name; })) {
            ps.emplace_back();
            ps.back().port = name;
            ps.back().result = ALL_LATE;
        }
    }
}

// Every printer of `dir`, or the ports named, updated by `fpflash` with the image of `blocks`.
static int update_all(const all_config& c, const std::string& fpflash, const std::string& dir,
                      int blocks) {
    const std::string& image = c.operands[0];
    std::vector<std::string> ports(c.operands.begin() + 1, c.operands.end());
    std::vector<all_printer> ps = printers_of(dir, ports);
    if (ps.empty()) {
        di_complain("no printer in %s", dir.c_str());
        return DI_EXIT_FAILED;
    }
    if (!make_dirs(c.logs))
        return DI_EXIT_FAILED;
    char stamp[32];
    time_t now = time(nullptr);
    strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", localtime(&now));

    all_report_start(blocks, ps.size());
    printf("Updating %zu printer%s with %s (%d blocks); transcripts in %s/\n", ps.size(),
           ps.size() == 1 ? "" : "s", image.c_str(), blocks, c.logs.c_str());
    fflush(stdout);
    const all_work work = {"", "", fpflash, image, -1, -1, getpid()};
    for (size_t i = 0; i < ps.size(); i++) {
        // A Ctrl-C while they start: what has not started, doesn't.
        take_signals(ps);
        if (ps[i].result == ALL_RUNNING && interrupts == 0 && !stopping)
            start_worker(ps[i], c.logs, stamp, work);
        else if (ps[i].result == ALL_RUNNING)
            ps[i].result = ALL_NOT_STARTED;
        all_report_update(ps, i);
    }
    run(ps);
    if (ports.empty())
        add_late(ps, dir);
    all_report_table(ps);
    int status = std::all_of(ps.begin(), ps.end(),
                             [](const all_printer& p) { return p.result == ALL_UPDATED; })
                     ? DI_EXIT_OK
                     : DI_EXIT_FAILED;
    if (c.json != nullptr && !all_report_json(c.json, ps, image, status))
        status = DI_EXIT_FAILED;
    return status;
}

int main(int argc, char** argv) {
    di_start("fpflash-all");
    static const char* const headings[] = {"\nThe run:\n", "\nWithout printers:\n"};
    const di_usage usage = {"fpflash-all", INTRO, headings, 2, 28};
    all_config c;
    int status = di_parse_options(argc, argv, usage, {di_table_of(options, &c, take_operand)});
    if (status >= 0)
        return status;
    if (c.operands.empty() || (c.sim_options.size() > static_cast<size_t>(c.simulate))) {
        fprintf(stderr, "fpflash-all: %s (see fpflash-all --help)\n",
                c.operands.empty() ? "no image given"
                                   : "--sim-options names a printer past --simulate's");
        return DI_EXIT_USAGE;
    }
    int blocks = image_blocks(c.operands[0].c_str());
    std::string fpflash = beside("fpflash");
    if (blocks < 0)
        return DI_EXIT_FAILED;
    if (access(fpflash.c_str(), X_OK) != 0) {
        di_complain("cannot run %s, which this command runs for each printer: %s", fpflash.c_str(),
                    strerror(errno));
        return DI_EXIT_FAILED;
    }

    // Signals come through a descriptor, read where the loop is ready for them; workers and
    // programs started after this put back what they need.
    sigset_t caught;
    sigemptyset(&caught);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&caught, s);
    sigprocmask(SIG_BLOCK, &caught, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal_fd = signalfd(-1, &caught, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signal_fd < 0) {
        di_complain("signalfd: %s", strerror(errno));
        return DI_EXIT_FAILED;
    }

    std::string runtime;
    if (c.simulate > 0) {
        runtime = all_simulate(beside("fpsim"), static_cast<int>(c.simulate), c.sim_options);
        if (runtime.empty()) {
            all_simulate_end();
            return DI_EXIT_FAILED;
        }
    }
    std::string why;
    std::string dir =
        all_class_dir(runtime.empty() ? getenv("XDG_RUNTIME_DIR") : runtime.c_str(), &why);
    if (dir.empty() && c.operands.size() == 1) {
        di_complain("no printer: %s", why.c_str());
        status = DI_EXIT_FAILED;
    } else {
        status = update_all(c, fpflash, dir, blocks);
    }
    all_simulate_end();
    return status;
}
