#include "sim/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <getopt.h>

#include "di/contract.h"

static const int AWAY_UNSET = -2;
static const int AWAY_MAX_MS = 24 * 3600 * 1000;
static const int NAME_MAX_LEN = 255;

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

static bool parse_state_count(const char* s, int* out) {
    return parse_int(s, 0, 1000000, out);
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
    out->clear();
    size_t len = strlen(s);
    if (len == 0 || len % 2 != 0 || len / 2 > DI_TRANSFER_MAX)
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
    return !n.empty() && n.size() <= NAME_MAX_LEN && n != "." && n != ".." &&
           n.find('/') == std::string::npos;
}

static bool parse_text(const char* s, std::string* out) {
    *out = s;
    return !out->empty() && out->size() <= DI_TRANSFER_MAX;
}

static bool parse_u32(const char* s, uint32_t lo, uint32_t hi, uint32_t* out) {
    long v = 0;
    if (!parse_long(s, lo, hi, &v))
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

static bool parse_stale_before(const char* s, int* out) {
    if (strcmp(s, "block") == 0)
        *out = SIM_FIRST_BLOCK;
    else if (strcmp(s, "command") == 0)
        *out = SIM_ANY_COMMAND;
    else
        return parse_int(s, 0, 255, out);
    return true;
}

// The program being parsed for, for --version.
static const char* program_name = "fpsim";

static bool print_version() {
    printf("%s (fpflash) %s\n", program_name, FP_VERSION);
    exit(SIM_EXIT_OK);
}

// clang-format off
const sim_option sim_option_table[] = {
    {"version", nullptr, SIM_GROUP_DRIVER, "print the version and exit",
     [](sim_config*, const char*) { return print_version(); }},
    {"name", "NAME", SIM_GROUP_DRIVER, "instance name, the socket's file name (default printer)",
     [](sim_config* c, const char* a) { c->run.name = a; return name_usable(c->run.name); }},
    {"tcp", "PORT", SIM_GROUP_DRIVER,
     "publish nothing; serve on 127.0.0.1:PORT (0: a free port)\n"
     "instead. Each connection is a handle and carries the same\n"
     "messages; one whose first request is WATCH (op 4) is sent\n"
     "a byte instead, 1 present or 0 away, at once and at every\n"
     "change",
     [](sim_config* c, const char* a) { return parse_int(a, 0, 65535, &c->run.tcp_port); }},
    {"ready", "FILE", SIM_GROUP_DRIVER,
     "once the printer is set up, write to FILE the process id and\n"
     "the socket's path (with --tcp: the port)",
     [](sim_config* c, const char* a) { c->run.ready = a; return true; }},
    {"log", "FILE", SIM_GROUP_DRIVER, "write every request served and what the printer did",
     [](sim_config* c, const char* a) { c->run.log = a; return true; }},
    {"save", "FILE", SIM_GROUP_DRIVER,
     "on exit, write the image the printer kept (its\n"
     "acknowledged blocks, in order) to FILE",
     [](sim_config* c, const char* a) { c->run.save = a; return true; }},
    {"reenum", "MS", SIM_GROUP_DRIVER,
     "time a re-enumeration keeps the printer away, for every\n"
     "away time not given (default 200)",
     [](sim_config* c, const char* a) { return parse_int(a, 0, AWAY_MAX_MS, &c->run.reenum_ms); }},
    {"stop-when-done", nullptr, SIM_GROUP_DRIVER,
     "stop once the updated firmware has been opened and closed",
     [](sim_config* c, const char*) { c->run.stop_when_done = true; return true; }},
    {"lifetime", "SECONDS", SIM_GROUP_DRIVER, "stop after this long in any case",
     [](sim_config* c, const char* a) { return parse_long(a, 1, 30L * 24 * 3600, &c->run.lifetime_s); }},
    {"cut-read", "K", SIM_GROUP_DRIVER,
     "cut the reply to the Kth READ that carries data short of\n"
     "the bytes its header announces, then close the connection",
     [](sim_config* c, const char* a) { return parse_int(a, 1, INT_MAX, &c->run.cut_read); }},

    {"absent", "MS", SIM_GROUP_PRINTER, "publish only this long after the start (default 0)",
     [](sim_config* c, const char* a) { return parse_away(a, &c->model.absent_enums); }},
    {"hold", nullptr, SIM_GROUP_PRINTER, "stay away until SIGUSR1; --absent counts from there",
     [](sim_config* c, const char*) { c->run.hold = true; return true; }},
    {"start-loader", nullptr, SIM_GROUP_PRINTER, "start in the loader, as after an interrupted update",
     [](sim_config* c, const char*) { c->model.start_mode = SIM_LOADER; return true; }},
    {"app-version", "TEXT", SIM_GROUP_PRINTER, "version the firmware reports (default 1.2.3)",
     [](sim_config* c, const char* a) { c->model.app_version = a; return true; }},
    {"new-version", "TEXT", SIM_GROUP_PRINTER, "version it reports after the loader's exit (default 1.2.4)",
     [](sim_config* c, const char* a) { c->model.new_version = a; return true; }},
    {"app-silent", nullptr, SIM_GROUP_PRINTER, "never answer get_version",
     [](sim_config* c, const char*) { c->model.app_silent = true; return true; }},
    {"app-refuses-ep3", nullptr, SIM_GROUP_PRINTER, "the firmware fails every write to endpoint 3",
     [](sim_config* c, const char*) { c->model.app_refuses_ep3 = true; return true; }},
    {"version-reply", "TEXT", SIM_GROUP_PRINTER, "answer get_version with TEXT as it stands",
     [](sim_config* c, const char* a) { return parse_text(a, &c->model.version_reply); }},
    {"fail-write", "COMMAND", SIM_GROUP_PRINTER,
     "fail the write of the document naming COMMAND\n"
     "(get_version, upgrade_mode)",
     [](sim_config* c, const char* a) { c->model.fail_command = a; return *a != '\0'; }},
    {"upgrade-away", "MS", SIM_GROUP_PRINTER, "away after upgrade_mode, before the loader shows up",
     [](sim_config* c, const char* a) { return parse_away(a, &c->model.upgrade_away); }},
    {"loader-version", "N", SIM_GROUP_PRINTER, "version the loader reports (default 0x00020107)",
     [](sim_config* c, const char* a) { return parse_u32(a, 0, 0xFFFFFFFFu, &c->model.loader_version); }},
    {"loader-silent", nullptr, SIM_GROUP_PRINTER, "the loader answers nothing",
     [](sim_config* c, const char*) { c->model.loader_silent = true; return true; }},
    {"ack", "CODE", SIM_GROUP_PRINTER, "code the loader answers to a block (default 1)",
     [](sim_config* c, const char* a) { return parse_code(a, &c->model.ack_code); }},
    {"block", "I:CODE[:TIMES]", SIM_GROUP_PRINTER,
     "answer block I with CODE ('none': no answer) for TIMES\n"
     "writes of it (default: always); repeat for more rules",
     [](sim_config* c, const char* a) {
         sim_block_rule r = {0, 0, 0};
         if (!parse_block_rule(a, &r))
             return false;
         c->model.block_rules.push_back(r);
         return true;
     }},
    {"flash-polls", "N", SIM_GROUP_PRINTER, "state 4 for N state queries, then 6 (default 3)",
     [](sim_config* c, const char* a) { return parse_int(a, 0, 1000000, &c->model.flash_polls); }},
    {"states", "LIST", SIM_GROUP_PRINTER, "state codes to answer, comma separated; the last repeats",
     [](sim_config* c, const char* a) { c->model.states.clear(); return parse_states(a, &c->model.states); }},
    {"state-write-fails", "N[:AFTER]", SIM_GROUP_PRINTER,
     "N state queries fail to be written, from the first or once\n"
     "AFTER have been answered, and each drops the printer",
     [](sim_config* c, const char* a) {
         return parse_pair(a, &c->model.state_write_fails, parse_state_count, &c->model.state_fail_after);
     }},
    {"state-fail-away", "MS", SIM_GROUP_PRINTER, "away after such a failure, before the loader is back",
     [](sim_config* c, const char* a) { return parse_away(a, &c->model.state_fail_away); }},
    {"restart-after-flash", nullptr, SIM_GROUP_PRINTER,
     "having written its flash, the loader restarts by itself into\n"
     "the new firmware instead of answering 6: the state query\n"
     "finds it gone, and it is back after the re-enumeration time",
     [](sim_config* c, const char*) { c->model.restart_after_flash = true; return true; }},
    {"exit-reply", "CODE", SIM_GROUP_PRINTER, "answer the exit command, and go only when the host closes",
     [](sim_config* c, const char* a) { return parse_code(a, &c->model.exit_reply); }},
    {"exit-away", "MS", SIM_GROUP_PRINTER, "away after the exit command, before the new firmware",
     [](sim_config* c, const char* a) { return parse_away(a, &c->model.exit_away); }},
    {"split-ep", "EP", SIM_GROUP_PRINTER, "reads on endpoint EP deliver one byte each",
     [](sim_config* c, const char* a) { return parse_int(a, 0, 3, &c->model.split_ep); }},
    {"stale", "HEX", SIM_GROUP_PRINTER, "bytes pending ahead of a reply (e.g. 55550101) ...",
     [](sim_config* c, const char* a) { return parse_hex(a, &c->model.stale_bytes); }},
    {"stale-before", "WHAT", SIM_GROUP_PRINTER,
     "... of the first command with code WHAT, or of the first\n"
     "'block', or of the first loader 'command' of any code",
     [](sim_config* c, const char* a) { return parse_stale_before(a, &c->model.stale_before); }},
    {"stale-every", nullptr, SIM_GROUP_PRINTER, "... of every one of them, not only the first",
     [](sim_config* c, const char*) { c->model.stale_every = true; return true; }},
    {"surplus", "HEX", SIM_GROUP_PRINTER, "bytes pending behind every version reply",
     [](sim_config* c, const char* a) { return parse_hex(a, &c->model.surplus); }},
    {"garbage", "FROM[:COUNT]", SIM_GROUP_PRINTER,
     "loader replies from number FROM (0: the first) on, COUNT of\n"
     "them (default: all), are pseudo-random bytes, not frames",
     [](sim_config* c, const char* a) {
         return parse_pair(a, &c->model.garbage_from, parse_count, &c->model.garbage_count);
     }},
    {"write-max", "N", SIM_GROUP_PRINTER, "every write takes at most N bytes",
     [](sim_config* c, const char* a) { return parse_u32(a, 1, DI_TRANSFER_MAX, &c->model.write_max); }},
    {"refuse-open", "COUNT", SIM_GROUP_PRINTER,
     "refuse this many OPEN requests ('always': every one) while\n"
     "published",
     [](sim_config* c, const char* a) { return parse_count(a, &c->model.refuse_opens); }},
    {"vanish-at", "I[:MS]", SIM_GROUP_PRINTER,
     "go away when block I is written, and come back as the\n"
     "loader after MS (default never)",
     [](sim_config* c, const char* a) {
         return parse_pair(a, &c->model.vanish_block, parse_away, &c->model.vanish_away);
     }},
};
// clang-format on
const size_t sim_option_count = sizeof(sim_option_table) / sizeof(sim_option_table[0]);

static const int HELP_COLUMN = 28;

static void print_option(const sim_option& o) {
    std::string head = std::string("  --") + o.name;
    if (o.arg != nullptr)
        head += std::string(" ") + o.arg;
    std::string text = o.help;
    size_t from = 0;
    bool first = true;
    for (;;) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? nl : nl - from);
        if (first && head.size() < HELP_COLUMN - 1)
            printf("%-*s%s\n", HELP_COLUMN - 1, head.c_str(), line.c_str());
        else if (first)
            printf("%s\n%*s%s\n", head.c_str(), HELP_COLUMN - 1, "", line.c_str());
        else
            printf("%*s%s\n", HELP_COLUMN - 1, "", line.c_str());
        first = false;
        if (nl == std::string::npos)
            return;
        from = nl + 1;
    }
}

static void print_help(const char* intro, const std::vector<const sim_option*>& all) {
    fputs(intro, stdout);
    static const char* const headings[] = {"\nThe driver:\n", "\nThe printer and its faults:\n"};
    for (int g = SIM_GROUP_DRIVER; g <= SIM_GROUP_PRINTER; g++) {
        fputs(headings[g], stdout);
        if (g == SIM_GROUP_DRIVER)
            printf("  %-*s%s\n", HELP_COLUMN - 3, "--help", "show this text");
        for (const sim_option* o : all)
            if (o->group == g)
                print_option(*o);
    }
}

static void complain(const char* program, const char* what, const char* arg, const char* why) {
    fprintf(stderr, "%s: %s%s%s: %s (see %s --help)\n", program, what, arg ? " " : "",
            arg ? arg : "", why, program);
}

int sim_parse_command_line(int argc, char** argv, const char* program, const char* intro,
                           sim_config* c, const sim_option* extra, size_t extra_count) {
    program_name = program;
    std::vector<const sim_option*> all;
    for (size_t i = 0; i < sim_option_count; i++)
        all.push_back(&sim_option_table[i]);
    for (size_t i = 0; i < extra_count; i++)
        all.push_back(&extra[i]);

    // getopt_long's ids: the option's place in `all`, past every character.
    const int ID_BASE = 256, ID_HELP = 255;
    std::vector<struct option> longs;
    for (size_t i = 0; i < all.size(); i++)
        longs.push_back({all[i]->name, all[i]->arg ? required_argument : no_argument, nullptr,
                         ID_BASE + static_cast<int>(i)});
    longs.push_back({"help", no_argument, nullptr, ID_HELP});
    longs.push_back({nullptr, 0, nullptr, 0});

    sim_options& m = c->model;
    m.upgrade_away = m.state_fail_away = m.exit_away = m.restart_away = AWAY_UNSET;
    opterr = 0;
    optind = 1;
    for (;;) {
        int prev = optind;
        // No reordering: argv[prev] is then always the option just read.
        int id = getopt_long(argc, argv, "+:", longs.data(), nullptr);
        if (id == -1)
            break;
        if (id == ID_HELP) {
            print_help(intro, all);
            return SIM_EXIT_OK;
        }
        if (id < ID_BASE) {
            complain(program, argv[prev], nullptr, "unknown option or missing argument");
            return SIM_EXIT_USAGE;
        }
        if (!all[static_cast<size_t>(id - ID_BASE)]->set(c, optarg)) {
            complain(program, argv[prev], optarg, "not a usable value");
            return SIM_EXIT_USAGE;
        }
    }
    if (optind < argc) {
        complain(program, argv[optind], nullptr, "unexpected argument");
        return SIM_EXIT_USAGE;
    }
    if (!m.stale_bytes.empty() && m.stale_before < 0) {
        fprintf(stderr, "%s: --stale needs --stale-before\n", program);
        return SIM_EXIT_USAGE;
    }
    for (int* away : {&m.upgrade_away, &m.state_fail_away, &m.exit_away, &m.restart_away})
        if (*away == AWAY_UNSET)
            *away = c->run.reenum_ms;
    return -1;
}
