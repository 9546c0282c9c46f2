#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "di/kit.h"

static const char* program = "";
static bool to_journal = false; // stderr is the journal's, which reads a level from "<N>"
static struct timespec start_time;
static int log_fd = -1;
static volatile sig_atomic_t stop_signal = 0;
static volatile sig_atomic_t release_signal = 0;

// Long enough for a path and what is said about it.
static const size_t LINE_MAX_BYTES = 8192;

void di_start(const char* name) {
    program = name;
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    // systemd names the stream it gives a service as "DEVICE:INODE"; a child that inherits the
    // variable but not the stream must not prefix its lines.
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    to_journal = stream != nullptr && sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
                 fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

long long di_now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec - start_time.tv_sec) * 1000 +
           (t.tv_nsec - start_time.tv_nsec) / 1000000;
}

bool di_log_open(const char* path, bool fresh) {
    log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (fresh ? O_TRUNC : 0), 0666);
    if (log_fd < 0)
        di_complain("cannot write %s: %s", path, strerror(errno));
    return log_fd >= 0;
}

void di_log_close() {
    if (log_fd >= 0)
        close(log_fd);
    log_fd = -1;
}

// Checked as printf's where di_log and di_warn are called.
__attribute__((format(printf, 1, 0))) static void log_text(const char* fmt, va_list ap) {
    long long t = di_now_ms();
    char line[LINE_MAX_BYTES];
    int n = snprintf(line, sizeof(line), "%5lld.%03lld ", t / 1000, t % 1000);
    if (n > 0 && static_cast<size_t>(n) < sizeof(line))
        vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), fmt, ap);
    size_t len = strlen(line);
    // A line cut short still ends as a line.
    if (len == sizeof(line) - 1)
        len--;
    line[len++] = '\n';
    // Nothing is to be done about a log that can't be written.
    ssize_t written = write(log_fd, line, len);
    (void)written;
}

void di_log(const char* fmt, ...) {
    if (log_fd < 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_text(fmt, ap);
    va_end(ap);
}

// `level` is syslog's: 3 an error, 4 a warning.
__attribute__((format(printf, 2, 0))) static void say(int level, const char* fmt, va_list ap) {
    char text[LINE_MAX_BYTES];
    vsnprintf(text, sizeof(text), fmt, ap);
    const char* label = level == 3 ? "" : "warning: ";
    if (to_journal)
        fprintf(stderr, "<%d>%s: %s%s\n", level, program, label, text);
    else
        fprintf(stderr, "%s: %s%s\n", program, label, text);
    di_log("%s%s", label, text);
}

void di_warn(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    say(4, fmt, ap);
    va_end(ap);
}

void di_complain(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    say(3, fmt, ap);
    va_end(ap);
}

static void on_stop(int s) {
    stop_signal = s;
}

static void on_release(int) {
    release_signal = 1;
}

void di_take_signals(bool release, di_signals* s) {
    sigemptyset(&s->caught);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        if (sig == SIGUSR1 && !release)
            continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = sig == SIGUSR1 ? on_release : on_stop;
        sigaction(sig, &sa, nullptr);
        sigaddset(&s->caught, sig);
    }
    signal(SIGPIPE, SIG_IGN);
    pthread_sigmask(SIG_BLOCK, &s->caught, &s->before);
    s->wait = s->before;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        if (sigismember(&s->caught, sig))
            sigdelset(&s->wait, sig);
}

int di_stop_signal() {
    return stop_signal;
}

bool di_released() {
    return release_signal != 0;
}

int di_poll(struct pollfd* fds, size_t n, long long wake_ms, const sigset_t* mask) {
    struct timespec ts;
    struct timespec* timeout = nullptr;
    if (wake_ms >= 0) {
        long long left = wake_ms - di_now_ms();
        if (left < 0)
            left = 0;
        ts.tv_sec = static_cast<time_t>(left / 1000);
        ts.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
        timeout = &ts;
    }
    return ppoll(fds, n, timeout, mask);
}

bool di_write_ready(const char* path, const std::string& rest) {
    std::string tmp = std::string(path) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    bool ok = f != nullptr && fprintf(f, "%ld%s\n", static_cast<long>(getpid()), rest.c_str()) > 0;
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok || rename(tmp.c_str(), path) != 0) {
        di_complain("cannot write %s", path);
        return false;
    }
    return true;
}
