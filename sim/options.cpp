#include "sim/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// The settings being parsed; what parsing ends with is copied out.
static sim_config given;

// clang-format off
static const di_option options[] = {
    {"name", "NAME", SIM_GROUP_DRIVER, "instance name, the socket's file name (default printer)",
     [](const char* a) { given.run.name = a; return di_usable(name_usable(given.run.name)); }},
    {"tcp", "PORT", SIM_GROUP_DRIVER,
     "publish nothing; serve on 127.0.0.1:PORT (0: a free port)\n"
     "instead. Each connection is a handle and carries the same\n"
     "messages; one whose first request is WATCH (op 4) is sent\n"
     "a byte instead, 1 present or 0 away, at once and at every\n"
     "change",
     [](const char* a) { return di_usable(parse_int(a, 0, 65535, &given.run.tcp_port)); }},
    {"ready", "FILE", SIM_GROUP_DRIVER,
     "once the printer is set up, write to FILE the process id and\n"
     "the socket's path (with --tcp: the port)",
     [](const char* a) { given.run.ready = a; return DI_TAKEN; }},
    {"log", "FILE", SIM_GROUP_DRIVER, "write every request served and what the printer did",
     [](const char* a) { given.run.log = a; return DI_TAKEN; }},
    {"save", "FILE", SIM_GROUP_DRIVER,
     "on exit, write the image the printer kept (its\n"
     "acknowledged blocks, in order) to FILE",
     [](const char* a) { given.run.save = a; return DI_TAKEN; }},
    {"reenum", "MS", SIM_GROUP_DRIVER,
     "time a re-enumeration keeps the printer away, for every\n"
     "away time not given (default 200)",
     [](const char* a) { return di_usable(parse_int(a, 0, AWAY_MAX_MS, &given.run.reenum_ms)); }},
    {"stop-when-done", nullptr, SIM_GROUP_DRIVER,
     "stop once the updated firmware has been opened and closed",
     [](const char*) { given.run.stop_when_done = true; return DI_TAKEN; }},
    {"lifetime", "SECONDS", SIM_GROUP_DRIVER, "stop after this long in any case",
     [](const char* a) { return di_usable(parse_long(a, 1, 30L * 24 * 3600, &given.run.lifetime_s)); }},
    {"cut-read", "K", SIM_GROUP_DRIVER,
     "cut the reply to the Kth READ that carries data short of\n"
     "the bytes its header announces, then close the connection",
     [](const char* a) { return di_usable(parse_int(a, 1, INT_MAX, &given.run.cut_read)); }},

    {"absent", "MS", SIM_GROUP_PRINTER, "publish only this long after the start (default 0)",
     [](const char* a) { return di_usable(parse_away(a, &given.model.absent_enums)); }},
    {"hold", nullptr, SIM_GROUP_PRINTER, "stay away until SIGUSR1; --absent counts from there",
     [](const char*) { given.run.hold = true; return DI_TAKEN; }},
    {"start-loader", nullptr, SIM_GROUP_PRINTER, "start in the loader, as after an interrupted update",
     [](const char*) { given.model.start_mode = SIM_LOADER; return DI_TAKEN; }},
    {"app-version", "TEXT", SIM_GROUP_PRINTER, "version the firmware reports (default 1.2.3)",
     [](const char* a) { given.model.app_version = a; return DI_TAKEN; }},
    {"new-version", "TEXT", SIM_GROUP_PRINTER, "version it reports after the loader's exit (default 1.2.4)",
     [](const char* a) { given.model.new_version = a; return DI_TAKEN; }},
    {"app-silent", nullptr, SIM_GROUP_PRINTER, "never answer get_version",
     [](const char*) { given.model.app_silent = true; return DI_TAKEN; }},
    {"app-refuses-ep3", nullptr, SIM_GROUP_PRINTER, "the firmware fails every write to endpoint 3",
     [](const char*) { given.model.app_refuses_ep3 = true; return DI_TAKEN; }},
    {"version-reply", "TEXT", SIM_GROUP_PRINTER, "answer get_version with TEXT as it stands",
     [](const char* a) { return di_usable(parse_text(a, &given.model.version_reply)); }},
    {"fail-write", "COMMAND", SIM_GROUP_PRINTER,
     "fail the write of the document naming COMMAND\n"
     "(get_version, upgrade_mode)",
     [](const char* a) { given.model.fail_command = a; return di_usable(*a != '\0'); }},
    {"upgrade-away", "MS", SIM_GROUP_PRINTER, "away after upgrade_mode, before the loader shows up",
     [](const char* a) { return di_usable(parse_away(a, &given.model.upgrade_away)); }},
    {"loader-version", "N", SIM_GROUP_PRINTER, "version the loader reports (default 0x00020107)",
     [](const char* a) { return di_usable(parse_u32(a, 0, 0xFFFFFFFFu, &given.model.loader_version)); }},
    {"loader-silent", nullptr, SIM_GROUP_PRINTER, "the loader answers nothing",
     [](const char*) { given.model.loader_silent = true; return DI_TAKEN; }},
    {"ack", "CODE", SIM_GROUP_PRINTER, "code the loader answers to a block (default 1)",
     [](const char* a) { return di_usable(parse_code(a, &given.model.ack_code)); }},
    {"block", "I:CODE[:TIMES]", SIM_GROUP_PRINTER,
     "answer block I with CODE ('none': no answer) for TIMES\n"
     "writes of it (default: always); repeat for more rules",
     [](const char* a) {
         sim_block_rule r = {0, 0, 0};
         bool ok = parse_block_rule(a, &r);
         if (ok)
             given.model.block_rules.push_back(r);
         return di_usable(ok);
     }},
    {"flash-polls", "N", SIM_GROUP_PRINTER, "state 4 for N state queries, then 6 (default 3)",
     [](const char* a) { return di_usable(parse_int(a, 0, 1000000, &given.model.flash_polls)); }},
    {"states", "LIST", SIM_GROUP_PRINTER, "state codes to answer, comma separated; the last repeats",
     [](const char* a) { given.model.states.clear(); return di_usable(parse_states(a, &given.model.states)); }},
    {"state-write-fails", "N[:AFTER]", SIM_GROUP_PRINTER,
     "N state queries fail to be written, from the first or once\n"
     "AFTER have been answered, and each drops the printer",
     [](const char* a) {
         return di_usable(parse_pair(a, &given.model.state_write_fails, parse_state_count, &given.model.state_fail_after));
     }},
    {"state-fail-away", "MS", SIM_GROUP_PRINTER, "away after such a failure, before the loader is back",
     [](const char* a) { return di_usable(parse_away(a, &given.model.state_fail_away)); }},
    {"restart-after-flash", nullptr, SIM_GROUP_PRINTER,
     "having written its flash, the loader restarts by itself into\n"
     "the new firmware instead of answering 6: the state query\n"
     "finds it gone, and it is back after the re-enumeration time",
     [](const char*) { given.model.restart_after_flash = true; return DI_TAKEN; }},
    {"exit-reply", "CODE", SIM_GROUP_PRINTER, "answer the exit command, and go only when the host closes",
     [](const char* a) { return di_usable(parse_code(a, &given.model.exit_reply)); }},
    {"exit-away", "MS", SIM_GROUP_PRINTER, "away after the exit command, before the new firmware",
     [](const char* a) { return di_usable(parse_away(a, &given.model.exit_away)); }},
    {"split-ep", "EP", SIM_GROUP_PRINTER, "reads on endpoint EP deliver one byte each",
     [](const char* a) { return di_usable(parse_int(a, 0, 3, &given.model.split_ep)); }},
    {"stale", "HEX", SIM_GROUP_PRINTER, "bytes pending ahead of a reply (e.g. 55550101) ...",
     [](const char* a) { return di_usable(parse_hex(a, &given.model.stale_bytes)); }},
    {"stale-before", "WHAT", SIM_GROUP_PRINTER,
     "... of the first command with code WHAT, or of the first\n"
     "'block', or of the first loader 'command' of any code",
     [](const char* a) { return di_usable(parse_stale_before(a, &given.model.stale_before)); }},
    {"stale-every", nullptr, SIM_GROUP_PRINTER, "... of every one of them, not only the first",
     [](const char*) { given.model.stale_every = true; return DI_TAKEN; }},
    {"surplus", "HEX", SIM_GROUP_PRINTER, "bytes pending behind every version reply",
     [](const char* a) { return di_usable(parse_hex(a, &given.model.surplus)); }},
    {"garbage", "FROM[:COUNT]", SIM_GROUP_PRINTER,
     "loader replies from number FROM (0: the first) on, COUNT of\n"
     "them (default: all), are pseudo-random bytes, not frames",
     [](const char* a) {
         return di_usable(parse_pair(a, &given.model.garbage_from, parse_count, &given.model.garbage_count));
     }},
    {"write-max", "N", SIM_GROUP_PRINTER, "every write takes at most N bytes",
     [](const char* a) { return di_usable(parse_u32(a, 1, DI_TRANSFER_MAX, &given.model.write_max)); }},
    {"refuse-open", "COUNT", SIM_GROUP_PRINTER,
     "refuse this many OPEN requests ('always': every one) while\n"
     "published",
     [](const char* a) { return di_usable(parse_count(a, &given.model.refuse_opens)); }},
    {"vanish-at", "I[:MS]", SIM_GROUP_PRINTER,
     "go away when block I is written, and come back as the\n"
     "loader after MS (default never)",
     [](const char* a) {
         return di_usable(parse_pair(a, &given.model.vanish_block, parse_away, &given.model.vanish_away));
     }},
};
// clang-format on

int sim_parse_command_line(int argc, char** argv, const char* program, const char* intro,
                           sim_config* c, const std::vector<di_option>& extra) {
    static const char* const headings[] = {"\nThe driver:\n", "\nThe printer and its faults:\n"};
    const di_usage usage = {program, intro, headings, 2, 28};
    std::vector<const di_option*> all;
    for (const di_option& o : options)
        all.push_back(&o);
    for (const di_option& o : extra)
        all.push_back(&o);
    given = sim_config();
    sim_options& m = given.model;
    m.upgrade_away = m.state_fail_away = m.exit_away = m.restart_away = AWAY_UNSET;
    int status = di_parse_options(argc, argv, usage, all);
    if (status >= 0)
        return status;
    if (!m.stale_bytes.empty() && m.stale_before < 0) {
        fprintf(stderr, "%s: --stale needs --stale-before\n", program);
        return DI_EXIT_USAGE;
    }
    for (int* away : {&m.upgrade_away, &m.state_fail_away, &m.exit_away, &m.restart_away})
        if (*away == AWAY_UNSET)
            *away = given.run.reenum_ms;
    *c = given;
    return -1;
}
