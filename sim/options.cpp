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

// What the table sets: the settings, and the away times a re-enumeration takes when they are
// not given.
struct sim_given {
    sim_config c;
    std::optional<sim_away> upgrade_away, state_fail_away, exit_away;
};

static sim_given& given(void* t) {
    return *static_cast<sim_given*>(t);
}

static sim_settings& run(void* t) {
    return given(t).c.run;
}

static sim_options& model(void* t) {
    return given(t).c.model;
}

// Adding a printer fault touches, in this order:
//   sim/sim.h               its field in sim_options, of a type that says what it is (an away
//                           time, a reply, a count or always, std::optional when it is off
//                           unless given)
//   sim/sim.cpp             what the model does with it
//   this table              its row: name, argument, help (--help's, and the man page's
//                           OPTIONS) and setter
//   tests/sim_test.cpp      the model's behaviour, through fpflash's own functions
//   tests/e2e/scenarios.py  a row of the fault matrix, and its transcript in
//                           tests/e2e/expected/ if it compares one
//   tests/FAULTS.md         the fault, what fpflash must do, the tests that show it
//   tests/e2e/chaos.py      its draw in the campaign, and what it adds to a run's bound
// A fault only the USB path has is an option of the testbed instead (tests/usbd/).
// clang-format off
static const di_option options[] = {
    {"name", "NAME", SIM_GROUP_DRIVER, "instance name, the socket's file name (default printer)",
     [](void* t, const char* a) {
         run(t).name = a;
         run(t).named = true;
         return di_usable(di_name_usable(a));
     }},
    {"ready", "FILE", SIM_GROUP_DRIVER,
     "once the printer is set up, write to FILE the process id and\n"
     "the socket's path (with --tcp: the port)",
     [](void* t, const char* a) { run(t).ready = a; return DI_TAKEN; }},
    {"log", "FILE", SIM_GROUP_DRIVER, "write every request served and what the printer did",
     [](void* t, const char* a) { run(t).log = a; return DI_TAKEN; }},
    {"save", "FILE", SIM_GROUP_DRIVER,
     "on exit, write the image the printer kept (its\n"
     "acknowledged blocks, in order) to FILE",
     [](void* t, const char* a) { run(t).save = a; return DI_TAKEN; }},
    {"reenum", "MS", SIM_GROUP_DRIVER,
     "time a re-enumeration keeps the printer away, for every\n"
     "away time not given (default 200)",
     [](void* t, const char* a) { return di_usable(parse_number(a, 0, AWAY_MAX_MS, &run(t).reenum_ms)); }},
    {"stop-when-done", nullptr, SIM_GROUP_DRIVER,
     "stop once the updated firmware has been opened and closed",
     [](void* t, const char*) { run(t).stop_when_done = true; return DI_TAKEN; }},
    {"lifetime", "SECONDS", SIM_GROUP_DRIVER, "stop after this long in any case",
     [](void* t, const char* a) { return di_usable(parse_number(a, 1, 30L * 24 * 3600, &run(t).lifetime_s)); }},

    {"absent", "MS", SIM_GROUP_PRINTER, "publish only this long after the start (default 0)",
     [](void* t, const char* a) { return di_usable(parse_away(a, &model(t).absent)); }},
    {"hold", nullptr, SIM_GROUP_PRINTER, "stay away until SIGUSR1; --absent counts from there",
     [](void* t, const char*) { run(t).hold = true; return DI_TAKEN; }},
    {"start-loader", nullptr, SIM_GROUP_PRINTER, "start in the loader, as after an interrupted update",
     [](void* t, const char*) { model(t).start_mode = SIM_LOADER; return DI_TAKEN; }},
    {"app-version", "TEXT", SIM_GROUP_PRINTER, "version the firmware reports (default 1.2.3)",
     [](void* t, const char* a) { model(t).app_version = a; return DI_TAKEN; }},
    {"new-version", "TEXT", SIM_GROUP_PRINTER, "version it reports after the loader's exit (default 1.2.4)",
     [](void* t, const char* a) { model(t).new_version = a; return DI_TAKEN; }},
    {"app-silent", nullptr, SIM_GROUP_PRINTER, "never answer get_version",
     [](void* t, const char*) { model(t).app_silent = true; return DI_TAKEN; }},
    {"app-refuses-ep3", nullptr, SIM_GROUP_PRINTER, "the firmware fails every write to endpoint 3",
     [](void* t, const char*) { model(t).app_refuses_ep3 = true; return DI_TAKEN; }},
    {"version-reply", "TEXT", SIM_GROUP_PRINTER, "answer get_version with TEXT as it stands",
     [](void* t, const char* a) { return di_usable(parse_text(a, &model(t).version_reply)); }},
    {"fail-write", "COMMAND", SIM_GROUP_PRINTER,
     "fail the write of the document naming COMMAND\n"
     "(get_version, upgrade_mode)",
     [](void* t, const char* a) { model(t).fail_command = a; return di_usable(*a != '\0'); }},
    {"upgrade-away", "MS", SIM_GROUP_PRINTER, "away after upgrade_mode, before the loader shows up",
     [](void* t, const char* a) { given(t).upgrade_away.emplace(); return di_usable(parse_away(a, &*given(t).upgrade_away)); }},
    {"loader-version", "N", SIM_GROUP_PRINTER, "version the loader reports (default 0x00020107)",
     [](void* t, const char* a) { return di_usable(parse_number(a, 0, 0xFFFFFFFFL, &model(t).loader_version)); }},
    {"loader-silent", nullptr, SIM_GROUP_PRINTER, "the loader answers nothing",
     [](void* t, const char*) { model(t).loader_silent = true; return DI_TAKEN; }},
    {"ack", "CODE", SIM_GROUP_PRINTER, "code the loader answers to a block (default 1)",
     [](void* t, const char* a) { return di_usable(parse_code(a, &model(t).ack)); }},
    {"block", "I:CODE[:TIMES]", SIM_GROUP_PRINTER,
     "answer block I with CODE ('none': no answer) for TIMES\n"
     "writes of it (default: always); repeat for more rules",
     [](void* t, const char* a) {
         model(t).block_rules.emplace_back();
         return di_usable(parse_block_rule(a, &model(t).block_rules.back()));
     }},
    {"flash-polls", "N", SIM_GROUP_PRINTER, "state 4 for N state queries, then 6 (default 3)",
     [](void* t, const char* a) { return di_usable(parse_number(a, 0, 1000000, &model(t).flash_polls)); }},
    {"states", "LIST", SIM_GROUP_PRINTER, "state codes to answer, comma separated; the last repeats",
     [](void* t, const char* a) { return di_usable(parse_states(a, &model(t).states)); }},
    {"state-write-fails", "N[:AFTER]", SIM_GROUP_PRINTER,
     "N state queries fail to be written, from the first or once\n"
     "AFTER have been answered, and each drops the printer",
     [](void* t, const char* a) {
         sim_options& m = model(t);
         return di_usable(parse_pair(a, &m.state_write_fails, parse_state_count, &m.state_fail_after));
     }},
    {"state-fail-away", "MS", SIM_GROUP_PRINTER, "away after such a failure, before the loader is back",
     [](void* t, const char* a) { given(t).state_fail_away.emplace(); return di_usable(parse_away(a, &*given(t).state_fail_away)); }},
    {"restart-after-flash", nullptr, SIM_GROUP_PRINTER,
     "having written its flash, the loader restarts by itself into\n"
     "the new firmware instead of answering 6: the state query\n"
     "finds it gone, and it is back after the re-enumeration time",
     [](void* t, const char*) { model(t).restart_after_flash = true; return DI_TAKEN; }},
    {"exit-reply", "CODE", SIM_GROUP_PRINTER, "answer the exit command, and go only when the host closes",
     [](void* t, const char* a) { return di_usable(parse_code(a, &model(t).exit_reply)); }},
    {"exit-away", "MS", SIM_GROUP_PRINTER, "away after the exit command, before the new firmware",
     [](void* t, const char* a) { given(t).exit_away.emplace(); return di_usable(parse_away(a, &*given(t).exit_away)); }},
    {"split-ep", "EP", SIM_GROUP_PRINTER, "reads on endpoint EP deliver one byte each",
     [](void* t, const char* a) { return di_usable(parse_optional(a, 0, 3, &model(t).split_ep)); }},
    {"stale", "HEX", SIM_GROUP_PRINTER, "bytes pending ahead of a reply (e.g. 55550101) ...",
     [](void* t, const char* a) { return di_usable(parse_hex(a, &model(t).stale_bytes)); }},
    {"stale-before", "WHAT", SIM_GROUP_PRINTER,
     "... of the first command with code WHAT, or of the first\n"
     "'block', or of the first loader 'command' of any code",
     [](void* t, const char* a) { return di_usable(parse_stale_at(a, &model(t))); }},
    {"stale-every", nullptr, SIM_GROUP_PRINTER, "... of every one of them, not only the first",
     [](void* t, const char*) { model(t).stale_every = true; return DI_TAKEN; }},
    {"surplus", "HEX", SIM_GROUP_PRINTER, "bytes pending behind every version reply",
     [](void* t, const char* a) { return di_usable(parse_hex(a, &model(t).surplus)); }},
    {"garbage", "FROM[:COUNT]", SIM_GROUP_PRINTER,
     "loader replies from number FROM (0: the first) on, COUNT of\n"
     "them (default: all), are pseudo-random bytes, not frames",
     [](void* t, const char* a) {
         model(t).garbage_from.emplace();
         return di_usable(parse_pair(a, &*model(t).garbage_from, parse_times, &model(t).garbage_count));
     }},
    {"write-max", "N", SIM_GROUP_PRINTER, "every write takes at most N bytes",
     [](void* t, const char* a) { return di_usable(parse_number(a, 1, DI_TRANSFER_MAX, &model(t).write_max)); }},
    {"refuse-open", "COUNT", SIM_GROUP_PRINTER,
     "refuse this many OPEN requests ('always': every one) while\n"
     "published",
     [](void* t, const char* a) { return di_usable(parse_times(a, &model(t).refuse_opens)); }},
    {"vanish-at", "I[:MS]", SIM_GROUP_PRINTER,
     "go away when block I is written, and come back as the\n"
     "loader after MS (default never)",
     [](void* t, const char* a) {
         model(t).vanish_block.emplace();
         return di_usable(parse_pair(a, &*model(t).vanish_block, parse_away, &model(t).vanish_away));
     }},
};
// clang-format on

// ---- fpsim's own --------------------------------------------------------------------------

static fpsim_settings& own(void* t) {
    return *static_cast<fpsim_settings*>(t);
}

// The testbed, which takes the table above, has no socket to cut and plays no traces.
// clang-format off
static const di_option fpsim_options[] = {
    {"tcp", "PORT", SIM_GROUP_DRIVER,
     "publish nothing; serve on 127.0.0.1:PORT (0: a free port)\n"
     "instead. Each connection is a handle and carries the same\n"
     "messages; one whose first request is WATCH (op 4) is sent\n"
     "a byte instead, 1 present or 0 away, at once and at every\n"
     "change",
     [](void* t, const char* a) { return di_usable(parse_optional(a, 0, 65535, &own(t).tcp_port)); }},
    {"cut-read", "K", SIM_GROUP_DRIVER,
     "cut the reply to the Kth READ that carries data short of\n"
     "the bytes its header announces, then close the connection",
     [](void* t, const char* a) { return di_usable(parse_optional(a, 1, INT_MAX, &own(t).cut_read)); }},

    {"replay", "FILE", SIM_GROUP_PRINTER,
     "play back the printer of a trace that fpusbd --record\n"
     "wrote, or of a capture of the USB bus (pcap or pcapng,\n"
     "USBPcap or usbmon), in place of the simulated one, by what\n"
     "it did on its endpoints; a write the printer did not take\n"
     "at that point ends the replay, and fpsim fails",
     [](void* t, const char* a) {
         own(t).replay = a;
         return di_usable(*a != '\0');
     }},
    {"replay-device", "BUS.ADDR", SIM_GROUP_PRINTER,
     "the printer of a capture that holds several: its bus and\n"
     "address (any one of its, where it re-enumerated)",
     [](void* t, const char* a) {
         own(t).replay_device = a;
         return di_usable(*a != '\0');
     }},
    {"replay-summary", "FILE", SIM_GROUP_PRINTER,
     "print what a trace or capture holds of the printer (its\n"
     "IDs, re-enumerations, transfers per endpoint, the loader's\n"
     "answers, duration) and exit",
     [](void* t, const char* a) {
         own(t).summary = a;
         return di_usable(*a != '\0');
     }},
};
// clang-format on

static const char* const HEADINGS[] = {"\nThe driver:\n", "\nThe printer and its faults:\n"};

// The shared table, then `tables`.
static int parse(int argc, char** argv, const char* program, const char* intro, sim_config* c,
                 std::vector<di_table> tables) {
    const di_usage usage = {program, intro, HEADINGS, 2, 28};
    sim_given parsed;
    tables.insert(tables.begin(), di_table_of(options, &parsed));
    int status = di_parse_options(argc, argv, usage, tables);
    if (status >= 0)
        return status;
    sim_options& m = parsed.c.model;
    if (!m.stale_bytes.empty() && m.stale_at == SIM_STALE_NOWHERE) {
        fprintf(stderr, "%s: --stale needs --stale-before\n", program);
        return DI_EXIT_USAGE;
    }
    const sim_away reenum = {parsed.c.run.reenum_ms, false};
    m.upgrade_away = parsed.upgrade_away.value_or(reenum);
    m.state_fail_away = parsed.state_fail_away.value_or(reenum);
    m.exit_away = parsed.exit_away.value_or(reenum);
    m.restart_away = reenum;
    *c = parsed.c;
    return -1;
}

int sim_parse_command_line(int argc, char** argv, const char* program, const char* intro,
                           sim_config* c, const di_table& extra) {
    return parse(argc, argv, program, intro, c,
                 extra.count > 0 ? std::vector<di_table>{extra} : std::vector<di_table>{});
}

int fpsim_parse_command_line(int argc, char** argv, const char* intro, sim_config* c,
                             fpsim_settings* own) {
    *own = fpsim_settings();
    return parse(argc, argv, "fpsim", intro, c, {di_table_of(fpsim_options, own)});
}
