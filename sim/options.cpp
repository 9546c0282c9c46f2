#include "sim/options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

static const int AWAY_MAX_MS = 24 * 3600 * 1000;

template <typename T>
static bool parse_number(const char* s, long lo, long hi, T* out) {
    long v = 0;
    if (!di_parse_long(s, 0, lo, hi, &v))
        return false;
    *out = static_cast<T>(v);
    return true;
}

// A fault that is off unless given.
static bool parse_optional(const char* s, long lo, long hi, std::optional<int>* out) {
    out->emplace();
    return parse_number(s, lo, hi, &**out);
}

// MS, or 'never'.
static bool parse_away(const char* s, sim_away* out) {
    *out = strcmp(s, "never") == 0 ? SIM_FOR_GOOD : sim_away();
    return out->for_good || parse_number(s, 0, AWAY_MAX_MS, &out->count);
}

// CODE, or 'none'.
static bool parse_code(const char* s, sim_reply* out) {
    out->reset();
    if (strcmp(s, "none") == 0)
        return true;
    out->emplace();
    return parse_number(s, 0, 255, &**out);
}

// A count from `lo`, or 'always'.
static bool parse_count(const char* s, int lo, sim_times* out) {
    *out = SIM_ALWAYS;
    if (strcmp(s, "always") == 0)
        return true;
    out->always = false;
    return parse_number(s, lo, INT_MAX, &out->count);
}

static bool parse_times(const char* s, sim_times* out) {
    return parse_count(s, 0, out);
}

static bool parse_state_count(const char* s, int* out) {
    return parse_number(s, 0, 1000000, out);
}

// I[:SECOND], the second part left as it is when not given.
template <typename F, typename T>
static bool parse_pair(const char* s, F* first, bool (*second_parse)(const char*, T*), T* second) {
    std::string text = s;
    size_t colon = text.find(':');
    if (!parse_number(text.substr(0, colon).c_str(), 0, 0xFFFF, first))
        return false;
    return colon == std::string::npos || second_parse(text.substr(colon + 1).c_str(), second);
}

// I:CODE[:TIMES]
static bool parse_block_rule(const char* s, sim_block_rule* r) {
    std::string text = s;
    size_t a = text.find(':');
    if (a == std::string::npos)
        return false;
    size_t b = text.find(':', a + 1);
    std::string times = b == std::string::npos ? "always" : text.substr(b + 1);
    return parse_number(text.substr(0, a).c_str(), 0, 0xFFFF, &r->index) &&
           parse_code(text.substr(a + 1, b - a - 1).c_str(), &r->reply) &&
           parse_count(times.c_str(), 1, &r->times);
}

static bool parse_states(const char* s, std::vector<uint8_t>* out) {
    std::string text = s;
    size_t from = 0;
    out->clear();
    for (;;) {
        size_t comma = text.find(',', from);
        out->emplace_back();
        if (!parse_number(text.substr(from, comma - from).c_str(), 0, 255, &out->back()))
            return false;
        if (comma == std::string::npos)
            return true;
        from = comma + 1;
    }
}

static bool parse_hex(const char* s, std::vector<uint8_t>* out) {
    out->clear();
    size_t len = strlen(s);
    if (len == 0 || len % 2 != 0 || len / 2 > DI_TRANSFER_MAX ||
        strspn(s, "0123456789abcdefABCDEF") != len)
        return false;
    for (size_t i = 0; i < len; i += 2) {
        const char pair[3] = {s[i], s[i + 1], '\0'};
        out->push_back(static_cast<uint8_t>(strtoul(pair, nullptr, 16)));
    }
    return true;
}

static bool parse_text(const char* s, std::string* out) {
    *out = s;
    return !out->empty() && out->size() <= DI_TRANSFER_MAX;
}

// CODE, 'block' or 'command'.
static bool parse_stale_at(const char* s, sim_options* m) {
    m->stale_at = strcmp(s, "block") == 0     ? SIM_STALE_BLOCK
                  : strcmp(s, "command") == 0 ? SIM_STALE_COMMAND
                                              : SIM_STALE_CODE;
    return m->stale_at != SIM_STALE_CODE || parse_number(s, 0, 255, &m->stale_code);
}

// The settings being parsed, copied out when they are all taken; and the away times a
// re-enumeration takes when they are not given.
static sim_config given;
static std::optional<sim_away> upgrade_away, state_fail_away, exit_away;

// Adding a printer fault touches, in this order:
//   sim/sim.h               its field in sim_options, of a type that says what it is (an away
//                           time, a reply, a count or always, std::optional when it is off
//                           unless given)
//   sim/sim.cpp             what the model does with it
//   this table              its row: name, argument, help and setter
//   man/fpsim.1             the option as --help shows it (tests/release/package.sh compares)
//   tests/sim_test.cpp      the model's behaviour, through fpflash's own functions
//   tests/e2e/scenarios.py  a row of the fault matrix, and its transcript in
//                           tests/e2e/expected/ if it compares one
//   tests/FAULTS.md         the fault, what fpflash must do, the tests that show it
//   tests/e2e/chaos.py      its draw in the campaign, and what it adds to a run's bound
// A fault only the USB path has is an option of the testbed instead (tests/usbd/).
// clang-format off
static const di_option options[] = {
    {"name", "NAME", SIM_GROUP_DRIVER, "instance name, the socket's file name (default printer)",
     [](const char* a) { given.run.name = a; return di_usable(di_name_usable(given.run.name)); }},
    {"tcp", "PORT", SIM_GROUP_DRIVER,
     "publish nothing; serve on 127.0.0.1:PORT (0: a free port)\n"
     "instead. Each connection is a handle and carries the same\n"
     "messages; one whose first request is WATCH (op 4) is sent\n"
     "a byte instead, 1 present or 0 away, at once and at every\n"
     "change",
     [](const char* a) { return di_usable(parse_optional(a, 0, 65535, &given.run.tcp_port)); }},
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
     [](const char* a) { return di_usable(parse_number(a, 0, AWAY_MAX_MS, &given.run.reenum_ms)); }},
    {"stop-when-done", nullptr, SIM_GROUP_DRIVER,
     "stop once the updated firmware has been opened and closed",
     [](const char*) { given.run.stop_when_done = true; return DI_TAKEN; }},
    {"lifetime", "SECONDS", SIM_GROUP_DRIVER, "stop after this long in any case",
     [](const char* a) { return di_usable(parse_number(a, 1, 30L * 24 * 3600, &given.run.lifetime_s)); }},
    {"cut-read", "K", SIM_GROUP_DRIVER,
     "cut the reply to the Kth READ that carries data short of\n"
     "the bytes its header announces, then close the connection",
     [](const char* a) { return di_usable(parse_optional(a, 1, INT_MAX, &given.run.cut_read)); }},

    {"absent", "MS", SIM_GROUP_PRINTER, "publish only this long after the start (default 0)",
     [](const char* a) { return di_usable(parse_away(a, &given.model.absent)); }},
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
     [](const char* a) { upgrade_away.emplace(); return di_usable(parse_away(a, &*upgrade_away)); }},
    {"loader-version", "N", SIM_GROUP_PRINTER, "version the loader reports (default 0x00020107)",
     [](const char* a) { return di_usable(parse_number(a, 0, 0xFFFFFFFFL, &given.model.loader_version)); }},
    {"loader-silent", nullptr, SIM_GROUP_PRINTER, "the loader answers nothing",
     [](const char*) { given.model.loader_silent = true; return DI_TAKEN; }},
    {"ack", "CODE", SIM_GROUP_PRINTER, "code the loader answers to a block (default 1)",
     [](const char* a) { return di_usable(parse_code(a, &given.model.ack)); }},
    {"block", "I:CODE[:TIMES]", SIM_GROUP_PRINTER,
     "answer block I with CODE ('none': no answer) for TIMES\n"
     "writes of it (default: always); repeat for more rules",
     [](const char* a) {
         given.model.block_rules.emplace_back();
         return di_usable(parse_block_rule(a, &given.model.block_rules.back()));
     }},
    {"flash-polls", "N", SIM_GROUP_PRINTER, "state 4 for N state queries, then 6 (default 3)",
     [](const char* a) { return di_usable(parse_number(a, 0, 1000000, &given.model.flash_polls)); }},
    {"states", "LIST", SIM_GROUP_PRINTER, "state codes to answer, comma separated; the last repeats",
     [](const char* a) { return di_usable(parse_states(a, &given.model.states)); }},
    {"state-write-fails", "N[:AFTER]", SIM_GROUP_PRINTER,
     "N state queries fail to be written, from the first or once\n"
     "AFTER have been answered, and each drops the printer",
     [](const char* a) {
         sim_options& m = given.model;
         return di_usable(parse_pair(a, &m.state_write_fails, parse_state_count, &m.state_fail_after));
     }},
    {"state-fail-away", "MS", SIM_GROUP_PRINTER, "away after such a failure, before the loader is back",
     [](const char* a) { state_fail_away.emplace(); return di_usable(parse_away(a, &*state_fail_away)); }},
    {"restart-after-flash", nullptr, SIM_GROUP_PRINTER,
     "having written its flash, the loader restarts by itself into\n"
     "the new firmware instead of answering 6: the state query\n"
     "finds it gone, and it is back after the re-enumeration time",
     [](const char*) { given.model.restart_after_flash = true; return DI_TAKEN; }},
    {"exit-reply", "CODE", SIM_GROUP_PRINTER, "answer the exit command, and go only when the host closes",
     [](const char* a) { return di_usable(parse_code(a, &given.model.exit_reply)); }},
    {"exit-away", "MS", SIM_GROUP_PRINTER, "away after the exit command, before the new firmware",
     [](const char* a) { exit_away.emplace(); return di_usable(parse_away(a, &*exit_away)); }},
    {"split-ep", "EP", SIM_GROUP_PRINTER, "reads on endpoint EP deliver one byte each",
     [](const char* a) { return di_usable(parse_optional(a, 0, 3, &given.model.split_ep)); }},
    {"stale", "HEX", SIM_GROUP_PRINTER, "bytes pending ahead of a reply (e.g. 55550101) ...",
     [](const char* a) { return di_usable(parse_hex(a, &given.model.stale_bytes)); }},
    {"stale-before", "WHAT", SIM_GROUP_PRINTER,
     "... of the first command with code WHAT, or of the first\n"
     "'block', or of the first loader 'command' of any code",
     [](const char* a) { return di_usable(parse_stale_at(a, &given.model)); }},
    {"stale-every", nullptr, SIM_GROUP_PRINTER, "... of every one of them, not only the first",
     [](const char*) { given.model.stale_every = true; return DI_TAKEN; }},
    {"surplus", "HEX", SIM_GROUP_PRINTER, "bytes pending behind every version reply",
     [](const char* a) { return di_usable(parse_hex(a, &given.model.surplus)); }},
    {"garbage", "FROM[:COUNT]", SIM_GROUP_PRINTER,
     "loader replies from number FROM (0: the first) on, COUNT of\n"
     "them (default: all), are pseudo-random bytes, not frames",
     [](const char* a) {
         given.model.garbage_from.emplace();
         return di_usable(parse_pair(a, &*given.model.garbage_from, parse_times, &given.model.garbage_count));
     }},
    {"write-max", "N", SIM_GROUP_PRINTER, "every write takes at most N bytes",
     [](const char* a) { return di_usable(parse_number(a, 1, DI_TRANSFER_MAX, &given.model.write_max)); }},
    {"refuse-open", "COUNT", SIM_GROUP_PRINTER,
     "refuse this many OPEN requests ('always': every one) while\n"
     "published",
     [](const char* a) { return di_usable(parse_times(a, &given.model.refuse_opens)); }},
    {"vanish-at", "I[:MS]", SIM_GROUP_PRINTER,
     "go away when block I is written, and come back as the\n"
     "loader after MS (default never)",
     [](const char* a) {
         given.model.vanish_block.emplace();
         return di_usable(parse_pair(a, &*given.model.vanish_block, parse_away, &given.model.vanish_away));
     }},
};
// clang-format on

int sim_parse_command_line(int argc, char** argv, const char* program, const char* intro,
                           sim_config* c, const std::vector<di_option>& extra) {
    static const char* const headings[] = {"\nThe driver:\n", "\nThe printer and its faults:\n"};
    const di_usage usage = {program, intro, headings, 2, 28};
    std::vector<di_option> all(std::begin(options), std::end(options));
    all.insert(all.end(), extra.begin(), extra.end());
    given = sim_config();
    upgrade_away = state_fail_away = exit_away = std::nullopt;
    int status = di_parse_options(argc, argv, usage, all);
    if (status >= 0)
        return status;
    sim_options& m = given.model;
    if (!m.stale_bytes.empty() && m.stale_at == SIM_STALE_NOWHERE) {
        fprintf(stderr, "%s: --stale needs --stale-before\n", program);
        return DI_EXIT_USAGE;
    }
    const sim_away reenum = {given.run.reenum_ms, false};
    m.upgrade_away = upgrade_away.value_or(reenum);
    m.state_fail_away = state_fail_away.value_or(reenum);
    m.exit_away = exit_away.value_or(reenum);
    m.restart_away = reenum;
    *c = given;
    return -1;
}
