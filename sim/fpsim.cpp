// fpsim: the simulated printer published as a device interface, so that fpflash (or any
// other client of the same sockets) can run a whole update against it.
//
// The model reacts to requests only; fpsim adds the wall clock. It reads every away count of
// the model as milliseconds: when the printer goes away it takes its socket down and publishes
// it again once that long has passed, or never.
//
// With --tcp it serves a driver that cannot reach the sockets (one inside Wine) instead: the
// same messages over TCP streams, and watch connections that stand in for the socket's
// appearing and disappearing.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/sim.h"
#include "usb/device_interface.h"
#include "usb/printer_class.h"

static const char HELP[] =
    "Usage: fpsim [OPTION]...\n"
    "Publishes a simulated fiscal printer as a device interface under\n"
    "$XDG_RUNTIME_DIR/device-interfaces (or /tmp/device-interfaces-UID) and serves it\n"
    "until a signal or the scenario stops it. Times are in milliseconds; an away time\n"
    "may be 'never'.\n"
    "\n"
    "The simulator:\n"
    "  --name NAME              instance name, the socket's file name (default printer)\n"
    "  --tcp PORT               publish nothing; serve on 127.0.0.1:PORT (0: a free port)\n"
    "                           instead. Each connection is a handle and carries the same\n"
    "                           messages; one whose first request is WATCH (op 4) is sent\n"
    "                           a byte instead, 1 present or 0 away, at once and at every\n"
    "                           change\n"
    "  --ready FILE             write the process id to FILE once the printer is set up,\n"
    "                           followed with --tcp by the port\n"
    "  --log FILE               write every request served and what the printer did\n"
    "  --save FILE              on exit, write the image the printer kept (its\n"
    "                           acknowledged blocks, in order) to FILE\n"
    "  --reenum MS              time a re-enumeration keeps the printer away, for every\n"
    "                           away time not given (default 200)\n"
    "  --stop-when-done         stop once the updated firmware has been opened and closed\n"
    "  --lifetime SECONDS       stop after this long in any case\n"
    "  --help                   show this text\n"
    "\n"
    "The printer and its faults:\n"
    "  --absent MS              publish only this long after the start (default 0)\n"
    "  --hold                   stay away until SIGUSR1; --absent counts from there\n"
    "  --start-loader           start in the loader, as after an interrupted update\n"
    "  --app-version TEXT       version the firmware reports (default 1.2.3)\n"
    "  --new-version TEXT       version it reports after the loader's exit (default 1.2.4)\n"
    "  --app-silent             never answer get_version\n"
    "  --version-reply TEXT     answer get_version with TEXT as it stands\n"
    "  --fail-write COMMAND     fail the write of the document naming COMMAND\n"
    "                           (get_version, upgrade_mode)\n"
    "  --upgrade-away MS        away after upgrade_mode, before the loader shows up\n"
    "  --loader-version N       version the loader reports (default 0x00020107)\n"
    "  --loader-silent          the loader answers nothing\n"
    "  --ack CODE               code the loader answers to a block (default 1)\n"
    "  --block I:CODE[:TIMES]   answer block I with CODE ('none': no answer) for TIMES\n"
    "                           writes of it (default: always); repeat for more rules\n"
    "  --flash-polls N          state 4 for N state queries, then 6 (default 3)\n"
    "  --states LIST            state codes to answer, comma separated; the last repeats\n"
    "  --state-write-fails N    the first N state queries fail to be written, and each\n"
    "                           drops the printer\n"
    "  --state-fail-away MS     away after such a failure, before the loader is back\n"
    "  --exit-reply CODE        answer the exit command, and go only when the host closes\n"
    "  --exit-away MS           away after the exit command, before the new firmware\n"
    "  --split-ep EP            reads on endpoint EP deliver one byte each\n"
    "  --stale HEX              bytes pending ahead of a reply (e.g. 55550101) ...\n"
    "  --stale-before WHAT      ... of the first command with code WHAT, or of the first\n"
    "                           'block', or of the first loader 'command' of any code\n"
    "  --stale-every            ... of every one of them, not only the first\n"
    "  --surplus HEX            bytes pending behind every version reply\n"
    "  --garbage FROM[:COUNT]   loader replies from number FROM (0: the first) on, COUNT of\n"
    "                           them (default: all), are pseudo-random bytes, not frames\n"
    "  --write-max N            every write takes at most N bytes\n"
    "  --refuse-open COUNT      refuse this many OPEN requests ('always': every one) while\n"
    "                           published\n"
    "  --vanish-at I[:MS]       go away when block I is written, and come back as the\n"
    "                           loader after MS (default never)\n"
    "  --cut-read K             cut the reply to the Kth READ that carries data short of\n"
    "                           the bytes its header announces, then close the connection\n";

static const uint8_t OP_WATCH = 4; // TCP only
static const uint32_t TRANSFER_MAX = DI_TRANSFER_MAX;
static const uint8_t CMD_EXIT = 0xF1;

static const int AWAY_UNSET = -2;
static const int AWAY_MAX_MS = 24 * 3600 * 1000;
static const size_t CLIENTS_MAX = 16;

enum exit_status { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

struct client {
    int fd;
    int id;                  // its number in the log
    int con;                 // the model's connection, 0 until an OPEN succeeds
    bool after_exit;         // opened the firmware that the loader's exit left behind
    bool cut;                // its last reply was cut short: the driver lets go of it
    bool watch;              // TCP: told of presence, asks nothing
    std::vector<uint8_t> in; // TCP: the start of a request still arriving
};

struct settings {
    std::string name = "printer";
    const char* ready = nullptr;
    const char* log = nullptr;
    const char* save = nullptr;
    int reenum_ms = 200;
    bool stop_when_done = false;
    long lifetime_s = 0;
    int cut_read = 0; // 0: no reply is cut
    int tcp_port = -1;
    bool hold = false;
};

static settings cfg;
static sim_options model;

static std::string class_path;
static int class_fd = -1;
static int listen_fd = -1; // the socket while published; with --tcp, for the whole run
static bool published = false;
static int bound_port = 0; // the port bound
static int absent_ms = 0;  // --absent, which --hold counts from SIGUSR1
static dev_t sock_dev = 0;
static ino_t sock_ino = 0;
static std::vector<client> clients;
static int next_client_id = 1;
static long long back_at_ms = -1;
static int data_reads = 0;
static bool done = false;
static FILE* log_file = nullptr;
static size_t notes_logged = 0;
static struct timespec start_time;
static volatile sig_atomic_t stop_signal = 0;
static volatile sig_atomic_t release_signal = 0;

static long long now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec - start_time.tv_sec) * 1000 +
           (t.tv_nsec - start_time.tv_nsec) / 1000000;
}

#if defined(__GNUC__)
static void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

static void log_line(const char* fmt, ...) {
    if (log_file == nullptr)
        return;
    long long t = now_ms();
    fprintf(log_file, "%5lld.%03lld ", t / 1000, t % 1000);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log_file, fmt, ap);
    va_end(ap);
    fputc('\n', log_file);
    fflush(log_file);
}

static void log_notes() {
    for (; notes_logged < sim_rec.log.size(); notes_logged++)
        log_line("    %s", sim_rec.log[notes_logged].c_str());
}

static void complain(const char* fmt, ...) {
    fputs("fpsim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// ---- command line -------------------------------------------------------------------------

static bool parse_long(const char* s, long lo, long hi, long* out) {
    if (s == nullptr || *s == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(s, &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

static bool parse_int(const char* s, int lo, int hi, int* out) {
    long v = 0;
    if (!parse_long(s, lo, hi, &v))
        return false;
    *out = static_cast<int>(v);
    return true;
}

static bool parse_away(const char* s, int* out) {
    if (strcmp(s, "never") == 0) {
        *out = SIM_NEVER;
        return true;
    }
    return parse_int(s, 0, AWAY_MAX_MS, out);
}

static bool parse_code(const char* s, int* out) {
    if (strcmp(s, "none") == 0) {
        *out = SIM_NO_REPLY;
        return true;
    }
    return parse_int(s, 0, 255, out);
}

// A count, or 'always'.
static bool parse_count(const char* s, int* out) {
    if (strcmp(s, "always") == 0) {
        *out = SIM_ALWAYS;
        return true;
    }
    return parse_int(s, 0, INT_MAX, out);
}

// N[:SECOND], the second part left as it is when not given.
static bool parse_pair(const char* s, int* first, bool (*second_parse)(const char*, int*),
                       int* second) {
    std::string text = s;
    size_t colon = text.find(':');
    if (!parse_int(text.substr(0, colon).c_str(), 0, 0xFFFF, first))
        return false;
    return colon == std::string::npos || second_parse(text.substr(colon + 1).c_str(), second);
}

// INDEX:CODE[:TIMES]
static bool parse_block_rule(const char* s, sim_block_rule* r) {
    std::string text = s;
    size_t a = text.find(':');
    if (a == std::string::npos)
        return false;
    size_t b = text.find(':', a + 1);
    std::string times = b == std::string::npos ? "always" : text.substr(b + 1);
    long index = 0;
    if (!parse_long(text.substr(0, a).c_str(), 0, 0xFFFF, &index) ||
        !parse_code(text.substr(a + 1, b - a - 1).c_str(), &r->code))
        return false;
    r->index = static_cast<uint32_t>(index);
    r->times = SIM_ALWAYS;
    return times == "always" || parse_int(times.c_str(), 1, INT_MAX, &r->times);
}

static bool parse_states(const char* s, std::vector<uint8_t>* out) {
    std::string text = s;
    size_t from = 0;
    for (;;) {
        size_t comma = text.find(',', from);
        int code = 0;
        if (!parse_int(text.substr(from, comma - from).c_str(), 0, 255, &code))
            return false;
        out->push_back(static_cast<uint8_t>(code));
        if (comma == std::string::npos)
            return true;
        from = comma + 1;
    }
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static bool parse_hex(const char* s, std::vector<uint8_t>* out) {
    size_t len = strlen(s);
    if (len == 0 || len % 2 != 0 || len / 2 > TRANSFER_MAX)
        return false;
    for (size_t i = 0; i < len; i += 2) {
        int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

static bool name_usable(const std::string& n) {
    return !n.empty() && n.size() <= NAME_MAX && n != "." && n != ".." &&
           n.find('/') == std::string::npos;
}

enum option_id {
    OPT_NAME = 256,
    OPT_TCP,
    OPT_READY,
    OPT_LOG,
    OPT_SAVE,
    OPT_REENUM,
    OPT_STOP_WHEN_DONE,
    OPT_LIFETIME,
    OPT_HELP,
    OPT_ABSENT,
    OPT_HOLD,
    OPT_START_LOADER,
    OPT_APP_VERSION,
    OPT_NEW_VERSION,
    OPT_APP_SILENT,
    OPT_VERSION_REPLY,
    OPT_FAIL_WRITE,
    OPT_UPGRADE_AWAY,
    OPT_LOADER_VERSION,
    OPT_LOADER_SILENT,
    OPT_ACK,
    OPT_BLOCK,
    OPT_FLASH_POLLS,
    OPT_STATES,
    OPT_STATE_WRITE_FAILS,
    OPT_STATE_FAIL_AWAY,
    OPT_EXIT_REPLY,
    OPT_EXIT_AWAY,
    OPT_SPLIT_EP,
    OPT_STALE,
    OPT_STALE_BEFORE,
    OPT_STALE_EVERY,
    OPT_SURPLUS,
    OPT_GARBAGE,
    OPT_WRITE_MAX,
    OPT_REFUSE_OPEN,
    OPT_VANISH_AT,
    OPT_CUT_READ,
};

static const struct option LONG_OPTIONS[] = {
    {"name", required_argument, nullptr, OPT_NAME},
    {"tcp", required_argument, nullptr, OPT_TCP},
    {"ready", required_argument, nullptr, OPT_READY},
    {"log", required_argument, nullptr, OPT_LOG},
    {"save", required_argument, nullptr, OPT_SAVE},
    {"reenum", required_argument, nullptr, OPT_REENUM},
    {"stop-when-done", no_argument, nullptr, OPT_STOP_WHEN_DONE},
    {"lifetime", required_argument, nullptr, OPT_LIFETIME},
    {"help", no_argument, nullptr, OPT_HELP},
    {"absent", required_argument, nullptr, OPT_ABSENT},
    {"hold", no_argument, nullptr, OPT_HOLD},
    {"start-loader", no_argument, nullptr, OPT_START_LOADER},
    {"app-version", required_argument, nullptr, OPT_APP_VERSION},
    {"new-version", required_argument, nullptr, OPT_NEW_VERSION},
    {"app-silent", no_argument, nullptr, OPT_APP_SILENT},
    {"version-reply", required_argument, nullptr, OPT_VERSION_REPLY},
    {"fail-write", required_argument, nullptr, OPT_FAIL_WRITE},
    {"upgrade-away", required_argument, nullptr, OPT_UPGRADE_AWAY},
    {"loader-version", required_argument, nullptr, OPT_LOADER_VERSION},
    {"loader-silent", no_argument, nullptr, OPT_LOADER_SILENT},
    {"ack", required_argument, nullptr, OPT_ACK},
    {"block", required_argument, nullptr, OPT_BLOCK},
    {"flash-polls", required_argument, nullptr, OPT_FLASH_POLLS},
    {"states", required_argument, nullptr, OPT_STATES},
    {"state-write-fails", required_argument, nullptr, OPT_STATE_WRITE_FAILS},
    {"state-fail-away", required_argument, nullptr, OPT_STATE_FAIL_AWAY},
    {"exit-reply", required_argument, nullptr, OPT_EXIT_REPLY},
    {"exit-away", required_argument, nullptr, OPT_EXIT_AWAY},
    {"split-ep", required_argument, nullptr, OPT_SPLIT_EP},
    {"stale", required_argument, nullptr, OPT_STALE},
    {"stale-before", required_argument, nullptr, OPT_STALE_BEFORE},
    {"stale-every", no_argument, nullptr, OPT_STALE_EVERY},
    {"surplus", required_argument, nullptr, OPT_SURPLUS},
    {"garbage", required_argument, nullptr, OPT_GARBAGE},
    {"write-max", required_argument, nullptr, OPT_WRITE_MAX},
    {"refuse-open", required_argument, nullptr, OPT_REFUSE_OPEN},
    {"vanish-at", required_argument, nullptr, OPT_VANISH_AT},
    {"cut-read", required_argument, nullptr, OPT_CUT_READ},
    {nullptr, 0, nullptr, 0},
};

// One option into `cfg` or `model`; false when its argument is no good.
static bool take_option(int id, const char* arg) {
    sim_block_rule rule = {0, 0, 0};
    long v = 0;
    switch (id) {
    case OPT_NAME:
        cfg.name = arg;
        return name_usable(cfg.name);
    case OPT_TCP:
        return parse_int(arg, 0, 65535, &cfg.tcp_port);
    case OPT_READY:
        cfg.ready = arg;
        return true;
    case OPT_LOG:
        cfg.log = arg;
        return true;
    case OPT_SAVE:
        cfg.save = arg;
        return true;
    case OPT_REENUM:
        return parse_int(arg, 0, AWAY_MAX_MS, &cfg.reenum_ms);
    case OPT_STOP_WHEN_DONE:
        cfg.stop_when_done = true;
        return true;
    case OPT_LIFETIME:
        return parse_long(arg, 1, 30L * 24 * 3600, &cfg.lifetime_s);
    case OPT_ABSENT:
        return parse_away(arg, &model.absent_enums);
    case OPT_HOLD:
        cfg.hold = true;
        return true;
    case OPT_START_LOADER:
        model.start_mode = SIM_LOADER;
        return true;
    case OPT_APP_VERSION:
        model.app_version = arg;
        return true;
    case OPT_NEW_VERSION:
        model.new_version = arg;
        return true;
    case OPT_APP_SILENT:
        model.app_silent = true;
        return true;
    case OPT_VERSION_REPLY:
        model.version_reply = arg;
        return !model.version_reply.empty() && model.version_reply.size() <= TRANSFER_MAX;
    case OPT_FAIL_WRITE:
        model.fail_command = arg;
        return !model.fail_command.empty();
    case OPT_UPGRADE_AWAY:
        return parse_away(arg, &model.upgrade_away);
    case OPT_LOADER_VERSION:
        if (!parse_long(arg, 0, 0xFFFFFFFFL, &v))
            return false;
        model.loader_version = static_cast<uint32_t>(v);
        return true;
    case OPT_LOADER_SILENT:
        model.loader_silent = true;
        return true;
    case OPT_ACK:
        return parse_code(arg, &model.ack_code);
    case OPT_BLOCK:
        if (!parse_block_rule(arg, &rule))
            return false;
        model.block_rules.push_back(rule);
        return true;
    case OPT_FLASH_POLLS:
        return parse_int(arg, 0, 1000000, &model.flash_polls);
    case OPT_STATES:
        model.states.clear();
        return parse_states(arg, &model.states);
    case OPT_STATE_WRITE_FAILS:
        return parse_int(arg, 0, 1000000, &model.state_write_fails);
    case OPT_STATE_FAIL_AWAY:
        return parse_away(arg, &model.state_fail_away);
    case OPT_EXIT_REPLY:
        return parse_code(arg, &model.exit_reply);
    case OPT_EXIT_AWAY:
        return parse_away(arg, &model.exit_away);
    case OPT_SPLIT_EP:
        return parse_int(arg, 0, 3, &model.split_ep);
    case OPT_STALE:
        model.stale_bytes.clear();
        return parse_hex(arg, &model.stale_bytes);
    case OPT_STALE_BEFORE:
        if (strcmp(arg, "block") == 0) {
            model.stale_before = SIM_FIRST_BLOCK;
            return true;
        }
        if (strcmp(arg, "command") == 0) {
            model.stale_before = SIM_ANY_COMMAND;
            return true;
        }
        return parse_int(arg, 0, 255, &model.stale_before);
    case OPT_STALE_EVERY:
        model.stale_every = true;
        return true;
    case OPT_SURPLUS:
        model.surplus.clear();
        return parse_hex(arg, &model.surplus);
    case OPT_GARBAGE:
        return parse_pair(arg, &model.garbage_from, parse_count, &model.garbage_count);
    case OPT_WRITE_MAX:
        if (!parse_long(arg, 1, TRANSFER_MAX, &v))
            return false;
        model.write_max = static_cast<uint32_t>(v);
        return true;
    case OPT_REFUSE_OPEN:
        return parse_count(arg, &model.refuse_opens);
    case OPT_VANISH_AT:
        return parse_pair(arg, &model.vanish_block, parse_away, &model.vanish_away);
    case OPT_CUT_READ:
        return parse_int(arg, 1, INT_MAX, &cfg.cut_read);
    default:
        return false;
    }
}

// Returns -1 to go on, or the status to exit with.
static int parse_command_line(int argc, char** argv) {
    model.upgrade_away = model.state_fail_away = model.exit_away = AWAY_UNSET;
    opterr = 0;
    for (;;) {
        int prev = optind;
        // No reordering: argv[prev] is then always the option just read.
        int id = getopt_long(argc, argv, "+:", LONG_OPTIONS, nullptr);
        if (id == -1)
            break;
        if (id == OPT_HELP) {
            fputs(HELP, stdout);
            return EXIT_OK;
        }
        const char* shown = argv[prev];
        if (id == '?' || id == ':') {
            complain("%s: unknown option or missing argument (see fpsim --help)", shown);
            return EXIT_USAGE;
        }
        if (!take_option(id, optarg)) {
            complain("%s %s: not a usable value (see fpsim --help)", shown,
                     optarg != nullptr ? optarg : "");
            return EXIT_USAGE;
        }
    }
    if (optind < argc) {
        complain("%s: unexpected argument (see fpsim --help)", argv[optind]);
        return EXIT_USAGE;
    }
    if (!model.stale_bytes.empty() && model.stale_before < 0) {
        complain("--stale needs --stale-before");
        return EXIT_USAGE;
    }
    for (int* away : {&model.upgrade_away, &model.state_fail_away, &model.exit_away})
        if (*away == AWAY_UNSET)
            *away = cfg.reenum_ms;
    return -1;
}

// ---- publishing ---------------------------------------------------------------------------

static bool dir_private(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           di_dir_trusted(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

// Opens `name` under `at` as a directory, creating it private first when it is missing.
static int make_dir(int at, const char* name, const std::string& shown) {
    if (mkdirat(at, name, DI_DIR_MODE) != 0 && errno != EEXIST) {
        complain("cannot create %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        complain("cannot open %s: %s", shown.c_str(), strerror(errno));
        return -1;
    }
    // Someone else's directory is theirs to fix; the client will simply find nothing there.
    if (!dir_private(fd))
        complain("warning: %s is not private to this user; clients will ignore it", shown.c_str());
    return fd;
}

static bool open_class_dir() {
    char base[PATH_MAX];
    if (di_base_dir(getenv("XDG_RUNTIME_DIR"), geteuid(), base, sizeof(base)) != 0) {
        complain("the runtime directory's path is too long");
        return false;
    }
    int base_fd = make_dir(AT_FDCWD, base, base);
    if (base_fd < 0)
        return false;
    static const di_guid printer_class = FP_PRINTER_CLASS;
    char class_name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, class_name);
    class_path = std::string(base) + "/" + class_name;
    class_fd = make_dir(base_fd, class_name, class_path);
    close(base_fd);
    return class_fd >= 0;
}

// The socket's address; a path too long for sun_path goes through the directory's descriptor.
static bool socket_address(struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::string path = class_path + "/" + cfg.name;
    if (path.size() >= sizeof(addr->sun_path))
        path = "/proc/self/fd/" + std::to_string(class_fd) + "/" + cfg.name;
    if (path.size() >= sizeof(addr->sun_path))
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket left behind by a driver that died is removed; one that answers is another
// driver's, and two drivers must not share a name.
static bool clear_name() {
    struct stat st;
    if (fstatat(class_fd, cfg.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISSOCK(st.st_mode)) {
        complain("%s/%s exists and is not a socket", class_path.c_str(), cfg.name.c_str());
        return false;
    }
    struct sockaddr_un addr;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 && socket_address(&addr) &&
                 connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0)
        close(fd);
    if (alive) {
        complain("another driver publishes %s/%s", class_path.c_str(), cfg.name.c_str());
        return false;
    }
    return unlinkat(class_fd, cfg.name.c_str(), 0) == 0 || errno == ENOENT;
}

static void drop_client(size_t i) {
    close(clients[i].fd);
    clients.erase(clients.begin() + static_cast<long>(i));
}

// A watcher that doesn't take its byte can no longer be told anything.
static void tell_watchers() {
    uint8_t state = published ? 1 : 0;
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i].watch && send(clients[i].fd, &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
            log_line("#%d lost", clients[i].id);
            drop_client(i);
        }
}

static bool listen_tcp() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(cfg.tcp_port));
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        complain("cannot listen on 127.0.0.1:%d: %s", cfg.tcp_port, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    listen_fd = fd;
    bound_port = ntohs(addr.sin_port);
    log_line("listening on 127.0.0.1:%d", bound_port);
    return true;
}

static bool publish() {
    if (cfg.tcp_port >= 0) {
        published = true;
        log_line("published");
        tell_watchers();
        return true;
    }
    struct sockaddr_un addr;
    if (!clear_name() || !socket_address(&addr))
        return false;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat st;
    if (fd < 0 || bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0 || fstatat(class_fd, cfg.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        complain("cannot publish %s/%s: %s", class_path.c_str(), cfg.name.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    listen_fd = fd;
    published = true;
    sock_dev = st.st_dev;
    sock_ino = st.st_ino;
    log_line("published %s/%s", class_path.c_str(), cfg.name.c_str());
    return true;
}

// The interface disappears with every connection to it, as an unplugged device does.
static void unpublish() {
    for (size_t i = clients.size(); i-- > 0;) {
        if (clients[i].watch)
            continue;
        log_line("#%d cut off", clients[i].id);
        drop_client(i);
    }
    if (!published)
        return;
    published = false;
    if (cfg.tcp_port >= 0) {
        log_line("unpublished");
        tell_watchers();
        return;
    }
    close(listen_fd);
    listen_fd = -1;
    struct stat st;
    if (fstatat(class_fd, cfg.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == sock_dev && st.st_ino == sock_ino)
        unlinkat(class_fd, cfg.name.c_str(), 0);
    log_line("unpublished");
}

// After every event: the printer may have gone away (or be due back).
static bool follow_presence() {
    log_notes();
    if (published && !sim_is_present()) {
        unpublish();
        int away = sim_away_left();
        back_at_ms = away == SIM_NEVER ? -1 : now_ms() + away;
        if (away == SIM_NEVER)
            log_line("away for good");
        else
            log_line("away for %d ms", away);
    }
    if (!published && sim_is_present())
        return publish();
    if (!published && back_at_ms >= 0 && now_ms() >= back_at_ms) {
        back_at_ms = -1;
        sim_come_back();
        log_notes();
        return publish();
    }
    return true;
}

// ---- requests -----------------------------------------------------------------------------

static bool exit_command_seen() {
    return std::find(sim_rec.commands.begin(), sim_rec.commands.end(), CMD_EXIT) !=
           sim_rec.commands.end();
}

// Answers one request packet; builds the reply in `reply` and returns its length.
static size_t answer(client* c, const uint8_t* req, size_t len, uint8_t* reply) {
    bool ok = false;
    uint32_t count = 0;
    if (len < DI_HEADER_SIZE) {
        log_line("#%d request of %zu bytes: refused", c->id, len);
        di_put_u32(reply + 1, 0);
        reply[0] = 0;
        return DI_HEADER_SIZE;
    }
    uint32_t value = di_get_u32(req + 1);
    switch (req[0]) {
    case DI_OP_OPEN:
        if (len == DI_HEADER_SIZE && value == DI_ACCESS && c->con == 0) {
            int con = sim_open();
            ok = con > 0;
            if (ok) {
                c->con = con;
                c->after_exit = sim_current_mode() == SIM_APP && exit_command_seen();
            }
        }
        log_line("#%d OPEN 0x%08X: %s", c->id, value, ok ? "ok" : "refused");
        break;
    case DI_OP_IOCTL:
        ok = len == DI_HEADER_SIZE && sim_ioctl(c->con, value);
        log_line("#%d IOCTL 0x%08X: %s", c->id, value, ok ? "ok" : "failed");
        break;
    case DI_OP_READ:
        ok = len == DI_HEADER_SIZE && value >= 1 && value <= TRANSFER_MAX &&
             sim_read(c->con, reply + DI_HEADER_SIZE, value, &count);
        if (!ok)
            count = 0;
        log_line("#%d READ %u: %s %u", c->id, value, ok ? "ok" : "failed", count);
        if (count > 0 && ++data_reads == cfg.cut_read) {
            // The header still announces every byte the printer gave up.
            c->cut = true;
            reply[0] = 1;
            di_put_u32(reply + 1, count);
            log_line("#%d READ reply cut to %u of %u bytes", c->id, count / 2, count);
            return DI_HEADER_SIZE + count / 2;
        }
        break;
    case DI_OP_WRITE:
        ok = value <= TRANSFER_MAX && len == DI_HEADER_SIZE + value &&
             sim_write(c->con, req + DI_HEADER_SIZE, value, &count);
        if (!ok)
            count = 0;
        log_line("#%d WRITE %u: %s %u", c->id, value, ok ? "ok" : "failed", count);
        break;
    default:
        log_line("#%d op %u: refused", c->id, req[0]);
        break;
    }
    reply[0] = ok ? 1 : 0;
    di_put_u32(reply + 1, count);
    return DI_HEADER_SIZE + (req[0] == DI_OP_READ ? count : 0);
}

static void client_gone(size_t i) {
    client c = clients[i];
    drop_client(i);
    log_line("#%d closed", c.id);
    if (c.con > 0)
        sim_close(c.con);
    if (c.after_exit && cfg.stop_when_done)
        done = true;
}

// Answers one request of client `i`. Returns false when the client went.
static bool reply_to(size_t i, const uint8_t* req, size_t len) {
    uint8_t reply[DI_PACKET_MAX];
    size_t reply_len = answer(&clients[i], req, len, reply);
    // A client that doesn't take its replies must not stall the printer for the others.
    if (send(clients[i].fd, reply, reply_len, MSG_DONTWAIT | MSG_NOSIGNAL) !=
            static_cast<ssize_t>(reply_len) ||
        clients[i].cut) {
        client_gone(i);
        return false;
    }
    return true;
}

// Serves one packet of client `i`. Returns false when the client went.
static bool serve_packet(size_t i) {
    uint8_t req[DI_PACKET_MAX + 1];
    ssize_t n;
    do {
        n = recv(clients[i].fd, req, sizeof(req), MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (n <= 0) {
        client_gone(i);
        return false;
    }
    size_t len =
        static_cast<size_t>(n) <= DI_PACKET_MAX ? static_cast<size_t>(n) : DI_PACKET_MAX + 1;
    return reply_to(i, req, len);
}

// Serves every whole request that has arrived from TCP client `i`, until the printer goes.
// Returns false when the client went.
static bool serve_stream(size_t i) {
    uint8_t buf[DI_PACKET_MAX];
    ssize_t n;
    do {
        n = recv(clients[i].fd, buf, sizeof(buf), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    // A watcher only listens: anything it sends ends it.
    if (n <= 0 || clients[i].watch) {
        client_gone(i);
        return false;
    }
    clients[i].in.insert(clients[i].in.end(), buf, buf + n);
    for (;;) {
        client* c = &clients[i];
        if (c->in.size() < DI_HEADER_SIZE)
            return true;
        uint8_t op = c->in[0];
        uint32_t value = di_get_u32(&c->in[1]);
        // Past a length no write may have, the stream has no boundaries left to find.
        if (op == DI_OP_WRITE && value > TRANSFER_MAX) {
            log_line("#%d WRITE %u: refused", c->id, value);
            client_gone(i);
            return false;
        }
        size_t len = DI_HEADER_SIZE + (op == DI_OP_WRITE ? value : 0);
        if (c->in.size() < len)
            return true;
        if (op == OP_WATCH && c->con == 0) {
            c->watch = true;
            c->in.clear();
            log_line("#%d watching", c->id);
            uint8_t state = published ? 1 : 0;
            if (send(c->fd, &state, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
                client_gone(i);
                return false;
            }
            return true;
        }
        uint8_t req[DI_PACKET_MAX];
        memcpy(req, c->in.data(), len);
        c->in.erase(c->in.begin(), c->in.begin() + static_cast<long>(len));
        bool was_present = sim_is_present();
        if (!reply_to(i, req, len))
            return false;
        if (was_present && !sim_is_present())
            return true;
    }
}

static bool serve(size_t i) {
    return cfg.tcp_port >= 0 ? serve_stream(i) : serve_packet(i);
}

static void accept_clients() {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (clients.size() >= CLIENTS_MAX) {
            close(fd);
            continue;
        }
        if (cfg.tcp_port >= 0) {
            // Every request waits for its reply: nothing is gained by holding one back.
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        }
        clients.push_back({fd, next_client_id++, 0, false, false, false, {}});
        log_line("#%d connected", clients.back().id);
    }
}

// ---- the run ------------------------------------------------------------------------------

static void on_signal(int s) {
    stop_signal = s;
}

static void on_release(int) {
    release_signal = 1;
}

static void save_image() {
    if (cfg.save == nullptr)
        return;
    FILE* f = fopen(cfg.save, "wb");
    bool ok = f != nullptr;
    if (ok && !sim_rec.image.empty())
        ok = fwrite(sim_rec.image.data(), 1, sim_rec.image.size(), f) == sim_rec.image.size();
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok)
        complain("cannot save the image to %s", cfg.save);
}

// Written whole under another name first, so a reader never sees half a line.
static bool write_ready() {
    std::string tmp = std::string(cfg.ready) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    bool ok = f != nullptr && fprintf(f, "%ld", static_cast<long>(getpid())) >= 0;
    if (ok && cfg.tcp_port >= 0)
        ok = fprintf(f, " %d", bound_port) >= 0;
    if (ok)
        ok = fputc('\n', f) != EOF;
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok || rename(tmp.c_str(), cfg.ready) != 0) {
        complain("cannot write %s", cfg.ready);
        return false;
    }
    return true;
}

// Until a signal, the scenario's end or a failure; returns the exit status.
static int run(const sigset_t* wait_mask) {
    long long end_ms = cfg.lifetime_s > 0 ? cfg.lifetime_s * 1000LL : -1;
    std::vector<struct pollfd> fds;
    bool held = cfg.hold;
    while (stop_signal == 0 && !done) {
        if (release_signal != 0 && held) {
            held = false;
            if (absent_ms != SIM_NEVER) {
                back_at_ms = now_ms() + absent_ms;
                log_line("released: due in %d ms", absent_ms);
            }
        }
        if (!follow_presence())
            return EXIT_FAILED;
        long long now = now_ms();
        if (end_ms >= 0 && now >= end_ms) {
            log_line("lifetime over");
            break;
        }
        long long wake = back_at_ms;
        if (end_ms >= 0 && (wake < 0 || end_ms < wake))
            wake = end_ms;

        fds.clear();
        for (const client& c : clients)
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
            complain("poll: %s", strerror(errno));
            return EXIT_FAILED;
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
            bool stays = serve(i);
            log_notes();
            gone = published && !sim_is_present();
            if (stays)
                i++;
        }
        if (!gone && listen_fd >= 0 && fds.back().fd == listen_fd && fds.back().revents != 0)
            accept_clients();
    }
    if (stop_signal != 0)
        log_line("stopped by signal %d", static_cast<int>(stop_signal));
    else if (done)
        log_line("done: the updated firmware was opened and closed");
    return EXIT_OK;
}

static void shut_down() {
    log_notes();
    unpublish();
    while (!clients.empty())
        drop_client(clients.size() - 1);
    if (listen_fd >= 0)
        close(listen_fd);
    save_image();
    if (class_fd >= 0)
        close(class_fd);
    if (log_file != nullptr)
        fclose(log_file);
}

int main(int argc, char** argv) {
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    int status = parse_command_line(argc, argv);
    if (status >= 0)
        return status;

    // Signals are let in only while waiting, so a request is always answered whole.
    sigset_t stoppers, wait_mask;
    sigemptyset(&stoppers);
    std::vector<int> caught = {SIGINT, SIGTERM, SIGHUP};
    if (cfg.hold)
        caught.push_back(SIGUSR1);
    for (int s : caught) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = s == SIGUSR1 ? on_release : on_signal;
        sigaction(s, &sa, nullptr);
        sigaddset(&stoppers, s);
    }
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &stoppers, &wait_mask);
    for (int s : caught)
        sigdelset(&wait_mask, s);

    if (cfg.log != nullptr) {
        log_file = fopen(cfg.log, "w");
        if (log_file == nullptr) {
            complain("cannot write %s: %s", cfg.log, strerror(errno));
            return EXIT_FAILED;
        }
    }
    absent_ms = model.absent_enums;
    if (cfg.hold)
        model.absent_enums = SIM_NEVER;
    sim_reset(model);
    if (!sim_is_present() && model.absent_enums != SIM_NEVER)
        back_at_ms = absent_ms;
    status = EXIT_FAILED;
    bool set_up = cfg.tcp_port >= 0 ? listen_tcp() : open_class_dir();
    if (set_up && follow_presence() && (cfg.ready == nullptr || write_ready()))
        status = run(&wait_mask);
    shut_down();
    return status;
}
