#include <cstdio>

#include "usbd/usbd.h"

static const char INTRO[] =
    "Usage: fpusbd --device VID[:PID] [OPTION]...\n"
    "       fpusbd --devices FILE [OPTION]...\n"
    "       fpusbd --list\n"
    "       fpusbd --setup VID[:PID] [--loader PID] [--setup ...]... [--group GROUP]\n"
    "              [--root DIR]\n"
    "       fpusbd --unsetup [--root DIR]\n"
    "Publishes each printer on the USB bus that has one of the given IDs as a device\n"
    "interface under $XDG_RUNTIME_DIR/device-interfaces (or /tmp/device-interfaces-UID),\n"
    "named by its USB port path (1-2, 1-2.3), so that fpflash can update it. A printer\n"
    "that re-enumerates at its port (into its loader and back), whatever its new product\n"
    "ID, is followed and keeps its name and its place. Runs until SIGINT or SIGTERM, or\n"
    "--idle-exit, and removes its sockets then.\n"
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

bool usbd_wanted(const usbd_config& c, uint16_t vid, uint16_t pid) {
    for (const usbd_id& id : c.ids)
        if (id.vid == vid && (id.any_pid || id.pid == pid))
            return true;
    return false;
}

bool usbd_follows(const std::string& place_port, uint16_t place_vid, long long left_ms,
                  const std::string& port, uint16_t vid, long long now_ms) {
    return left_ms >= 0 && port == place_port && vid == place_vid &&
           now_ms - left_ms <= USBD_FOLLOW_GRACE_MS;
}

bool usbd_serves_a_pipe(const usbd_config& c, uint16_t out_mask, uint16_t in_mask) {
    for (const usbd_pipe& p : c.pipes) {
        unsigned out = p.out & 0x0F, in = p.in & 0x0F;
        if (out != 0 && in != 0 && ((static_cast<unsigned>(out_mask) >> out) & 1u) != 0 &&
            ((static_cast<unsigned>(in_mask) >> in) & 1u) != 0)
            return true;
    }
    return false;
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

std::string usbd_port_path(uint8_t bus, const uint8_t* ports, int count) {
    if (count <= 0)
        return "usb" + std::to_string(bus);
    std::string s = std::to_string(bus) + "-";
    for (int i = 0; i < count; i++)
        s += (i > 0 ? "." : "") + std::to_string(ports[i]);
    return s;
}

std::string usbd_instance_name(const usbd_config& c, const std::string& port) {
    for (const usbd_alias& a : c.aliases)
        if (a.port == port)
            return a.name;
    return port;
}

// ---- the table ----------------------------------------------------------------------------

// The settings being parsed; what parsing ends with is copied out.
static usbd_config given;
// An option that goes with --setup only (not with --unsetup either), when given.
static const char* setup_option = nullptr;

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
     "or every product of vendor VID; the loader a printer\n"
     "re-enumerates into is followed whatever its ID",
     [](const char* a) { return add_id(a, &given.ids); }},
    {"devices", "FILE", 0,
     "serve the printers whose IDs FILE lists, one a line\n"
     "(fpusbd --setup writes /etc/fpusbd/devices)",
     [](const char* a) -> const char* {
         if (given.devices != nullptr)
             return "given twice";
         given.devices = a;
         return DI_TAKEN;
     }},
    {"idle-exit", "SECONDS", 0,
     "exit once no printer has been there for SECONDS; one away\n"
     "re-enumerating, its place kept, is there",
     [](const char* a) {
         return set_int(a, 1, USBD_IDLE_EXIT_MAX_S, &given.idle_exit_s,
                        "not a number of seconds (1 to 86400)");
     }},
    {"interface", "N", 0, "the printer's USB interface (default 0)",
     [](const char* a) {
         return set_int(a, 0, 255, &given.interface, "not an interface number (0 to 255)");
     }},
    {"pipe", "N=OUT,IN", 0,
     "endpoint N (0 to 3) of fpflash writes to bulk endpoint OUT\n"
     "and reads from IN (default: N=0x0N,0x8N)",
     [](const char* a) -> const char* {
         int n = 0;
         usbd_pipe p = {0, 0};
         if (!usbd_parse_pipe(a, &n, &p))
             return "not N=OUT,IN with N 0 to 3, OUT 0x01 to 0x0F, IN 0x81 to 0x8F";
         if (given.pipe_given[n])
             return "endpoint given twice";
         given.pipes[n] = p;
         given.pipe_given[n] = true;
         return DI_TAKEN;
     }},
    {"name", "PORT=NAME", 0,
     "publish the printer at USB port PORT (1-2, 1-2.3) as NAME\n"
     "instead of its port path; fpflash takes the first name in\n"
     "byte order when there are several printers",
     [](const char* a) -> const char* {
         usbd_alias al;
         if (!usbd_parse_alias(a, &al))
             return "not PORT=NAME with a port path such as 1-2.3";
         for (const usbd_alias& x : given.aliases) {
             if (x.port == al.port)
                 return "port given twice";
             if (x.name == al.name)
                 return "name given to two ports";
         }
         given.aliases.push_back(al);
         return DI_TAKEN;
     }},
    {"list", nullptr, 0, "print the USB devices present, their IDs and bulk\nendpoints, and exit",
     [](const char*) -> const char* { given.list = true; return DI_TAKEN; }},
    {"log", "FILE", 0, "write every request served and every USB error to FILE",
     [](const char* a) -> const char* { given.log = a; return DI_TAKEN; }},
    {"ready", "FILE", 0,
     "once serving, write to FILE the process id and the path\nof each socket published",
     [](const char* a) -> const char* { given.ready = a; return DI_TAKEN; }},
    {"record", "FILE", 0,
     "write every exchange with the printers to FILE, a trace\n"
     "that fpsim --replay plays back; FILE must not exist",
     [](const char* a) -> const char* { given.record = a; return DI_TAKEN; }},
    {"record-no-blocks", nullptr, 0,
     "leave the image's records out of the trace, keeping their\n"
     "length and what the printer answered",
     [](const char*) -> const char* { given.record_blocks = false; return DI_TAKEN; }},
    {"write-timeout", "MS", 0,
     "fail a WRITE the printer has not taken whole within MS\n"
     "(default 2000, at most 4000: fpflash waits 5 s for a reply)",
     [](const char* a) {
         return set_int(a, 1, USBD_WRITE_TIMEOUT_MAX_MS, &given.write_timeout_ms,
                        "not a time in milliseconds (1 to 4000)");
     }},
    {"poll", "MS", 0,
     "look for printers by listing the bus every MS instead of\n"
     "following hotplug events (the default where there are none)",
     [](const char* a) {
         return set_int(a, 10, TIMEOUT_MAX_MS, &given.poll_ms,
                        "not a time in milliseconds (10 to 600000)");
     }},

    {"setup", "VID[:PID]", 1,
     "write the udev rule that gives the printers with this ID\n"
     "(every product of vendor VID) to the user at the machine,\n"
     "and the device list of fpusbd.service; reload udev, and\n"
     "exit; repeat for more IDs",
     [](const char* a) { return add_id(a, &given.setup.ids); }},
    {"loader", "PID", 1,
     "the product ID of the loader of the --setup VID:PID given\n"
     "before it, which the rule and the list then name too",
     [](const char* a) -> const char* {
         usbd_id loader = {0, 0};
         if (given.setup.ids.empty() || given.setup.ids.back().any_pid)
             return "goes after the --setup VID:PID of its printer";
         loader.vid = given.setup.ids.back().vid;
         if (!parse_hex16(a, &loader.pid))
             return "not a product ID in hex, e.g. 0002";
         given.setup.ids.push_back(loader);
         given.setup.loader_given = true;
         return DI_TAKEN;
     }},
    {"group", "GROUP", 1,
     "also give the printers to GROUP's users, from anywhere\n"
     "(mode 0660), for a bench reached over ssh",
     [](const char* a) {
         given.setup.group = a;
         setup_option = "--group";
         return usbd_group_usable(a) ? DI_TAKEN
                                     : "not a group name (a-z, 0-9, _ and -, at most 32)";
     }},
    {"unsetup", nullptr, 1, "remove what --setup wrote, reload udev, and exit",
     [](const char*) -> const char* { given.setup.undo = true; return DI_TAKEN; }},
    {"root", "DIR", 1, "write or remove below DIR instead of /, and leave udev\nalone",
     [](const char* a) {
         given.setup.root = a;
         return di_usable(!given.setup.root.empty());
     }},
};
// clang-format on

int usbd_parse_command_line(int argc, char** argv, usbd_config* c) {
    static const char* const headings[] = {"\nOptions:\n", "\nThe one-time setup, as root:\n"};
    const di_usage usage = {"fpusbd", INTRO, headings, 2, 24};
    given = usbd_config();
    setup_option = nullptr;
    usbd_default_pipes(given.pipes);
    int status = di_parse_options(argc, argv, usage, {std::begin(options), std::end(options)});
    if (status >= 0)
        return status;
    if (!given.record_blocks && given.record == nullptr) {
        fprintf(stderr, "fpusbd: --record-no-blocks goes with --record FILE\n");
        return DI_EXIT_USAGE;
    }
    bool setup = !given.setup.ids.empty(), undo = given.setup.undo;
    if ((setup || undo) &&
        (given.list || !given.ids.empty() || given.devices || given.idle_exit_s > 0)) {
        fprintf(stderr, "fpusbd: --setup and --unsetup write or remove their files and exit: they "
                        "serve no printer and list nothing\n");
        return DI_EXIT_USAGE;
    }
    if (setup && undo) {
        fprintf(stderr, "fpusbd: --setup and --unsetup go one at a time\n");
        return DI_EXIT_USAGE;
    }
    if (!setup && setup_option != nullptr) {
        fprintf(stderr, "fpusbd: %s goes with --setup\n", setup_option);
        return DI_EXIT_USAGE;
    }
    if (!setup && !undo && !given.setup.root.empty()) {
        fprintf(stderr, "fpusbd: --root goes with --setup or --unsetup\n");
        return DI_EXIT_USAGE;
    }
    if (undo)
        return usbd_unsetup_run(given.setup);
    if (given.devices != nullptr && !usbd_read_devices(given.devices, &given.ids))
        return DI_EXIT_FAILED;
    if (given.devices != nullptr && given.ids.empty()) {
        fprintf(stderr, "fpusbd: %s names no printer (fpusbd --setup VID writes it)\n",
                given.devices);
        return DI_EXIT_FAILED;
    }
    if (!setup && !given.list && given.ids.empty()) {
        fprintf(stderr, "fpusbd: which printers? Give --device VID:PID (fpusbd --list shows the "
                        "IDs on the bus), --device VID, or --devices FILE\n");
        return DI_EXIT_USAGE;
    }
    *c = given;
    return -1;
}
