#include <cstdio>

#include "usbd/usbd.h"

static const char INTRO[] =
    "Usage: fpusbd --device VID[:PID] [OPTION]...\n"
    "       fpusbd --devices FILE [OPTION]...\n"
    "       fpusbd --list\n"
    "       fpusbd --setup VID[:PID] [--loader PID] [--setup ...]... [--group GROUP]\n"
    "              [--root DIR]\n"
    "       fpusbd --unsetup [--root DIR]\n"
    "Publishes each printer on the USB bus that has one of the given IDs and the\n"
    "printer's bulk pipes as a device interface under $XDG_RUNTIME_DIR/device-interfaces\n"
    "(or /tmp/device-interfaces-UID), named by its USB port path (1-2, 1-2.3), so that\n"
    "fpflash can update it; a device of such a vendor with the loader's pipes is a printer\n"
    "left in its loader, whatever its product ID. A printer that re-enumerates at its\n"
    "connector (into its loader and back) is followed and keeps its name and its place.\n"
    "Runs until SIGINT or SIGTERM, or --idle-exit, and removes its sockets then.\n"
    "\n"
    "Run it as the user who runs fpflash. Once per machine, as root, fpusbd --setup gives\n"
    "the printers to the user at the machine, and has fpusbd started for that user (the\n"
    "systemd user unit fpusbd.service) whenever one is plugged in; --unsetup undoes it.\n";

static const long TIMEOUT_MAX_MS = 600000;

static bool parse_hex16(const std::string& s, uint16_t* out) {
    long v = 0;
    // strtol would take a sign, spaces or 0x; an ID is bare hex digits.
    if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789abcdefABCDEF") != s.npos ||
        !di_parse_long(s.c_str(), 16, 0, 0xFFFF, &v))
        return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

bool usbd_parse_id(const char* s, usbd_id* out) {
    std::string text = s;
    size_t colon = text.find(':');
    usbd_id id = {0, 0, colon == std::string::npos};
    if (!parse_hex16(text.substr(0, colon), &id.vid) ||
        (!id.any_pid && !parse_hex16(text.substr(colon + 1), &id.pid)))
        return false;
    *out = id;
    return true;
}

static bool parse_address(const std::string& s, long lo, long hi, uint8_t* out) {
    long v = 0;
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ' ||
        !di_parse_long(s.c_str(), 0, lo, hi, &v))
        return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

bool usbd_parse_pipe(const char* s, int* endpoint, usbd_pipe* out) {
    std::string text = s;
    size_t eq = text.find('=');
    size_t comma = text.find(',', eq == std::string::npos ? 0 : eq);
    if (eq != 1 || comma == std::string::npos || text[0] < '0' || text[0] > '3')
        return false;
    usbd_pipe p = {0, 0};
    if (!parse_address(text.substr(eq + 1, comma - eq - 1), 0x01, 0x0F, &p.out) ||
        !parse_address(text.substr(comma + 1), 0x81, 0x8F, &p.in))
        return false;
    *endpoint = text[0] - '0';
    *out = p;
    return true;
}

static bool port_path_usable(const std::string& p) {
    // bus-port[.port]...: digits separated by one '-' and then dots, as sysfs names devices.
    size_t dash = p.find('-');
    if (dash == 0 || dash == std::string::npos || p.find_first_not_of("0123456789-.") != p.npos ||
        p.find('-', dash + 1) != std::string::npos)
        return false;
    char prev = '-';
    for (size_t i = dash + 1; i < p.size(); i++) {
        if (p[i] == '.' && prev == '.')
            return false;
        prev = p[i];
    }
    return prev != '.' && prev != '-' && p[dash + 1] != '.';
}

bool usbd_parse_alias(const char* s, usbd_alias* out) {
    std::string text = s;
    size_t eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    usbd_alias a = {text.substr(0, eq), text.substr(eq + 1)};
    if (!port_path_usable(a.port) || !di_name_usable(a.name))
        return false;
    *out = a;
    return true;
}

void usbd_default_pipes(usbd_pipe (&pipes)[DI_ENDPOINTS]) {
    for (int n = 0; n < DI_ENDPOINTS; n++)
        pipes[n] = {static_cast<uint8_t>(n), static_cast<uint8_t>(0x80 | n)};
}

// ---- the table ----------------------------------------------------------------------------

// What the table sets: the settings, and an option that goes with --setup only (not with --unsetup
// either), when given.
struct usbd_given {
    usbd_config c;
    const char* setup_option = nullptr;
};

static usbd_config& given(void* t) {
    return static_cast<usbd_given*>(t)->c;
}

static void setup_only(void* t, const char* option) {
    static_cast<usbd_given*>(t)->setup_option = option;
}

// A USB ID added to `ids`, or why it is not one.
static const char* add_id(const char* s, std::vector<usbd_id>* ids) {
    usbd_id id = {0, 0};
    if (!usbd_parse_id(s, &id))
        return "not VID:PID or VID in hex, e.g. 1209:0001";
    ids->push_back(id);
    return DI_TAKEN;
}

// A whole number from lo to hi into `out`, or `why` it is not.
static const char* set_int(const char* s, long lo, long hi, int* out, const char* why) {
    long v = 0;
    if (!di_parse_long(s, 10, lo, hi, &v))
        return why;
    *out = static_cast<int>(v);
    return DI_TAKEN;
}

// clang-format off
static const di_option options[] = {
    {"device", "VID[:PID]", 0,
     "serve printers with this USB ID (hex, as --list shows it),\n"
     "or every product of vendor VID, that have the printer's\n"
     "bulk pipes; a device of the vendor with the loader's pipes\n"
     "is served whatever its ID",
     [](void* t, const char* a) { return add_id(a, &given(t).ids); }},
    {"devices", "FILE", 0,
     "serve the printers whose IDs FILE lists, one a line\n"
     "(fpusbd --setup writes /etc/fpusbd/devices)",
     [](void* t, const char* a) -> const char* {
         if (given(t).devices != nullptr)
             return "given twice";
         given(t).devices = a;
         return DI_TAKEN;
     }},
    {"idle-exit", "SECONDS", 0,
     "exit once no update has gone on for SECONDS: no printer\n"
     "held by a client, nor let go less than 25 s before, also\n"
     "one away re-enumerating",
     [](void* t, const char* a) {
         return set_int(a, 1, USBD_IDLE_EXIT_MAX_S, &given(t).idle_exit_s,
                        "not a number of seconds (1 to 86400)");
     }},
    {"interface", "N", 0, "the printer's USB interface (default 0)",
     [](void* t, const char* a) {
         return set_int(a, 0, 255, &given(t).interface, "not an interface number (0 to 255)");
     }},
    {"pipe", "N=OUT,IN", 0,
     "endpoint N (0 to 3) of fpflash writes to bulk endpoint OUT\n"
     "and reads from IN (default: N=0x0N,0x8N)",
     [](void* t, const char* a) -> const char* {
         int n = 0;
         usbd_pipe p = {0, 0};
         if (!usbd_parse_pipe(a, &n, &p))
             return "not N=OUT,IN with N 0 to 3, OUT 0x01 to 0x0F, IN 0x81 to 0x8F";
         if (given(t).pipe_given[n])
             return "endpoint given twice";
         given(t).pipes[n] = p;
         given(t).pipe_given[n] = true;
         return DI_TAKEN;
     }},
    {"name", "PORT=NAME", 0,
     "publish the printer at USB port PORT (1-2, 1-2.3) as NAME\n"
     "instead of its port path; fpflash takes the first name in\n"
     "byte order when there are several printers",
     [](void* t, const char* a) -> const char* {
         usbd_alias al;
         if (!usbd_parse_alias(a, &al))
             return "not PORT=NAME with a port path such as 1-2.3";
         for (const usbd_alias& x : given(t).aliases) {
             if (x.port == al.port)
                 return "port given twice";
             if (x.name == al.name)
                 return "name given to two ports";
         }
         given(t).aliases.push_back(al);
         return DI_TAKEN;
     }},
    {"list", nullptr, 0, "print the USB devices present, their IDs and bulk\nendpoints, and exit",
     [](void* t, const char*) -> const char* { given(t).list = true; return DI_TAKEN; }},
    {"log", "FILE", 0,
     "write every request served and every USB event to FILE;\n"
     "warnings and errors go to standard error in any case",
     [](void* t, const char* a) -> const char* { given(t).log = a; return DI_TAKEN; }},
    {"ready", "FILE", 0,
     "once serving, write to FILE the process id and the path\nof each socket published",
     [](void* t, const char* a) -> const char* { given(t).ready = a; return DI_TAKEN; }},
    {"record", "FILE", 0,
     "write every exchange with the printers to FILE, a trace\n"
     "that fpsim --replay plays back; FILE must not exist",
     [](void* t, const char* a) -> const char* { given(t).record = a; return DI_TAKEN; }},
    {"record-no-blocks", nullptr, 0,
     "leave the image's records out of the trace, keeping their\n"
     "length and what the printer answered",
     [](void* t, const char*) -> const char* { given(t).record_blocks = false; return DI_TAKEN; }},
    {"write-timeout", "MS", 0,
     "fail a WRITE the printer has not taken whole within MS\n"
     "(default 2000, at most 4000: fpflash waits 5 s for a reply)",
     [](void* t, const char* a) {
         return set_int(a, 1, USBD_WRITE_TIMEOUT_MAX_MS, &given(t).write_timeout_ms,
                        "not a time in milliseconds (1 to 4000)");
     }},
    {"poll", "MS", 0,
     "look for printers by listing the bus every MS instead of\n"
     "following hotplug events (the default where there are none)",
     [](void* t, const char* a) {
         return set_int(a, 10, TIMEOUT_MAX_MS, &given(t).poll_ms,
                        "not a time in milliseconds (10 to 600000)");
     }},

    {"setup", "VID[:PID]", 1,
     "write the udev rule that gives the printers with this ID\n"
     "(every product of vendor VID) to the user at the machine,\n"
     "and the device list of fpusbd.service; reload udev, and\n"
     "exit; repeat for more IDs",
     [](void* t, const char* a) { return add_id(a, &given(t).setup.ids); }},
    {"loader", "PID", 1,
     "the product ID of the loader of the --setup VID:PID given\n"
     "before it, which the rule and the list then name too",
     [](void* t, const char* a) -> const char* {
         usbd_setup& s = given(t).setup;
         usbd_id loader = {0, 0};
         if (s.ids.empty() || s.ids.back().any_pid)
             return "goes after the --setup VID:PID of its printer";
         loader.vid = s.ids.back().vid;
         if (!parse_hex16(a, &loader.pid))
             return "not a product ID in hex, e.g. 0002";
         s.ids.push_back(loader);
         s.loader_given = true;
         return DI_TAKEN;
     }},
    {"group", "GROUP", 1,
     "also give the printers to GROUP's users, from anywhere\n"
     "(mode 0660), for a bench reached over ssh",
     [](void* t, const char* a) {
         given(t).setup.group = a;
         setup_only(t, "--group");
         return usbd_group_usable(a) ? DI_TAKEN
                                     : "not a group name (a-z, 0-9, _ and -, at most 32)";
     }},
    {"unsetup", nullptr, 1, "remove what --setup wrote, reload udev, and exit",
     [](void* t, const char*) -> const char* { given(t).setup.undo = true; return DI_TAKEN; }},
    {"root", "DIR", 1, "write or remove below DIR instead of /, and leave udev\nalone",
     [](void* t, const char* a) {
         given(t).setup.root = a;
         return di_usable(!given(t).setup.root.empty());
     }},
};
// clang-format on

int usbd_parse_command_line(int argc, char** argv, usbd_config* c) {
    static const char* const headings[] = {"\nServing the printers:\n",
                                           "\nThe one-time setup, as root:\n"};
    const di_usage usage = {"fpusbd", INTRO, headings, 2, 24};
    usbd_given parsed;
    usbd_config& taken = parsed.c;
    usbd_default_pipes(taken.pipes);
    int status = di_parse_options(argc, argv, usage, {di_table_of(options, &parsed)});
    if (status >= 0)
        return status;
    if (!taken.record_blocks && taken.record == nullptr) {
        fprintf(stderr, "fpusbd: --record-no-blocks goes with --record FILE\n");
        return DI_EXIT_USAGE;
    }
    bool setup = !taken.setup.ids.empty(), undo = taken.setup.undo;
    if ((setup || undo) &&
        (taken.list || !taken.ids.empty() || taken.devices || taken.idle_exit_s > 0)) {
        fprintf(stderr, "fpusbd: --setup and --unsetup write or remove their files and exit: they "
                        "serve no printer and list nothing\n");
        return DI_EXIT_USAGE;
    }
    if (setup && undo) {
        fprintf(stderr, "fpusbd: --setup and --unsetup go one at a time\n");
        return DI_EXIT_USAGE;
    }
    if (!setup && parsed.setup_option != nullptr) {
        fprintf(stderr, "fpusbd: %s goes with --setup\n", parsed.setup_option);
        return DI_EXIT_USAGE;
    }
    if (!setup && !undo && !taken.setup.root.empty()) {
        fprintf(stderr, "fpusbd: --root goes with --setup or --unsetup\n");
        return DI_EXIT_USAGE;
    }
    if (taken.devices != nullptr && !usbd_read_devices(taken.devices, &taken.ids))
        return DI_EXIT_FAILED;
    if (taken.devices != nullptr && taken.ids.empty()) {
        fprintf(stderr, "fpusbd: %s names no printer (fpusbd --setup VID writes it)\n",
                taken.devices);
        return DI_EXIT_FAILED;
    }
    if (!setup && !undo && !taken.list && taken.ids.empty()) {
        fprintf(stderr, "fpusbd: which printers? Give --device VID:PID (fpusbd --list shows the "
                        "IDs on the bus), --device VID, or --devices FILE\n");
        return DI_EXIT_USAGE;
    }
    *c = taken;
    return -1;
}
