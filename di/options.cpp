#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include <getopt.h>

#include "di/kit.h"

bool di_parse_long(const char* s, int base, long lo, long hi, long* out) {
    if (s == nullptr || *s == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(s, &end, base);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

static void print_line(const di_usage& u, const char* name, const char* arg, const char* help) {
    std::string head = std::string("  --") + name + (arg != nullptr ? std::string(" ") + arg : "");
    std::string text = help;
    int column = u.help_column - 1;
    size_t from = 0;
    for (bool first = true;; first = false) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? nl : nl - from);
        if (first && head.size() < static_cast<size_t>(column))
            printf("%-*s%s\n", column, head.c_str(), line.c_str());
        else if (first)
            printf("%s\n%*s%s\n", head.c_str(), column, "", line.c_str());
        else
            printf("%*s%s\n", column, "", line.c_str());
        if (nl == std::string::npos)
            return;
        from = nl + 1;
    }
}

static void print_help(const di_usage& u, const std::vector<di_table>& tables) {
    fputs(u.intro, stdout);
    for (int g = 0; g < u.groups; g++) {
        fputs(u.headings[g], stdout);
        if (g == 0) {
            print_line(u, "help", nullptr, "show this text");
            print_line(u, "version", nullptr, "print the version and exit");
        }
        for (const di_table& t : tables)
            for (size_t i = 0; i < t.count; i++)
                if (t.options[i].group == g)
                    print_line(u, t.options[i].name, t.options[i].arg, t.options[i].help);
    }
}

// Text as roff takes it: a backslash and a hyphen escaped, no line read as a request.
static std::string roff(const std::string& text) {
    std::string s;
    for (char c : text)
        s += c == '\\' ? "\\e" : c == '-' ? "\\-" : std::string(1, c);
    return !s.empty() && (s[0] == '.' || s[0] == '\'') ? "\\&" + s : s;
}

// An option as the man page's OPTIONS lists it: its help as one sentence.
static void print_entry(const char* name, const char* arg, const char* help) {
    std::string text = help;
    std::replace(text.begin(), text.end(), '\n', ' ');
    if (!text.empty())
        text[0] = static_cast<char>(toupper(static_cast<unsigned char>(text[0])));
    if (text.empty() || text.back() != '.')
        text += '.';
    if (arg != nullptr)
        printf(".TP\n.BI \\-\\-%s \" %s\"\n%s\n", roff(name).c_str(), roff(arg).c_str(),
               roff(text).c_str());
    else
        printf(".TP\n.B \\-\\-%s\n%s\n", roff(name).c_str(), roff(text).c_str());
}

// The groups as subsections, their headings without the blank line and the colon.
static void print_man(const di_usage& u, const std::vector<di_table>& tables) {
    for (int g = 0; g < u.groups; g++) {
        std::string heading = u.headings[g];
        heading.erase(0, heading.find_first_not_of('\n'));
        heading.erase(heading.find_last_not_of(":\n") + 1);
        printf(".SS %s\n", roff(heading).c_str());
        if (g == 0) {
            print_entry("help", nullptr, "show the options and exit");
            print_entry("version", nullptr, "print the version and exit");
        }
        for (const di_table& t : tables)
            for (size_t i = 0; i < t.count; i++)
                if (t.options[i].group == g)
                    print_entry(t.options[i].name, t.options[i].arg, t.options[i].help);
    }
}

static void refuse(const di_usage& u, const char* what, const char* arg, const char* why) {
    fprintf(stderr, "%s: %s%s%s: %s (see %s --help)\n", u.program, what, arg ? " " : "",
            arg ? arg : "", why, u.program);
}

int di_parse_options(int argc, char** argv, const di_usage& u,
                     const std::vector<di_table>& tables) {
    // getopt_long's ids: past every character, the built-in ones, then the tables' options in
    // their order.
    const int ID_HELP = 253, ID_VERSION = 254, ID_MAN = 255, ID_BASE = 256;
    // The table that takes the operands, if any does.
    auto taker = std::find_if(tables.begin(), tables.end(),
                              [](const di_table& t) { return t.operand != nullptr; });
    const di_table* operands = taker != tables.end() ? &*taker : nullptr;
    auto take_operand = [&](const char* arg) {
        const char* why = operands->operand(operands->target, arg);
        if (why != nullptr)
            refuse(u, arg, nullptr, why);
        return why == nullptr;
    };
    std::vector<struct option> longs;
    std::vector<std::pair<const di_option*, void*>> ids;
    for (const di_table& t : tables)
        for (size_t i = 0; i < t.count; i++) {
            const di_option& o = t.options[i];
            longs.push_back({o.name, o.arg ? required_argument : no_argument, nullptr,
                             ID_BASE + static_cast<int>(ids.size())});
            ids.emplace_back(&o, t.target);
        }
    longs.push_back({"help", no_argument, nullptr, ID_HELP});
    longs.push_back({"version", no_argument, nullptr, ID_VERSION});
    longs.push_back({"man-options", no_argument, nullptr, ID_MAN});
    longs.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    // 0, not 1: getopt starts afresh, taking operands or not as this call does, in a process
    // that parses more than one command line (the tests).
    optind = 0;
    for (;;) {
        int prev = std::max(optind, 1);
        // No reordering: argv[prev] is then always the option just read; operands, where
        // taken, come in order as id 1.
        int id = getopt_long(argc, argv, operands ? "-:" : "+:", longs.data(), nullptr);
        if (id == -1)
            break;
        if (id == 1 && operands != nullptr) {
            if (!take_operand(optarg))
                return DI_EXIT_USAGE;
            continue;
        }
        if (id == ID_HELP)
            print_help(u, tables);
        else if (id == ID_VERSION)
            printf("%s (fpflash) %s\n", u.program, FP_VERSION);
        else if (id == ID_MAN)
            print_man(u, tables);
        if (id == ID_HELP || id == ID_VERSION || id == ID_MAN)
            return DI_EXIT_OK;
        if (id < ID_BASE) {
            refuse(u, argv[prev], nullptr, "unknown option or missing argument");
            return DI_EXIT_USAGE;
        }
        const std::pair<const di_option*, void*>& o = ids[static_cast<size_t>(id - ID_BASE)];
        const char* why = o.first->set(o.second, optarg);
        if (why != nullptr) {
            refuse(u, argv[prev], optarg, why);
            return DI_EXIT_USAGE;
        }
    }
    // What follows "--" is all operands.
    for (; operands != nullptr && optind < argc; optind++)
        if (!take_operand(argv[optind]))
            return DI_EXIT_USAGE;
    if (optind < argc) {
        refuse(u, argv[optind], nullptr, "unexpected argument");
        return DI_EXIT_USAGE;
    }
    return -1;
}
