#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

static void print_help(const di_usage& u, const std::vector<di_option>& options) {
    fputs(u.intro, stdout);
    for (int g = 0; g < u.groups; g++) {
        fputs(u.headings[g], stdout);
        if (g == 0) {
            print_line(u, "help", nullptr, "show this text");
            print_line(u, "version", nullptr, "print the version and exit");
        }
        for (const di_option& o : options)
            if (o.group == g)
                print_line(u, o.name, o.arg, o.help);
    }
}

static void refuse(const di_usage& u, const char* what, const char* arg, const char* why) {
    fprintf(stderr, "%s: %s%s%s: %s (see %s --help)\n", u.program, what, arg ? " " : "",
            arg ? arg : "", why, u.program);
}

int di_parse_options(int argc, char** argv, const di_usage& u,
                     const std::vector<di_option>& options, std::vector<const char*>* operands) {
    // getopt_long's ids: the option's place in `options`, past every character.
    const int ID_BASE = 256, ID_HELP = 254, ID_VERSION = 255;
    std::vector<struct option> longs;
    for (size_t i = 0; i < options.size(); i++)
        longs.push_back({options[i].name, options[i].arg ? required_argument : no_argument, nullptr,
                         ID_BASE + static_cast<int>(i)});
    longs.push_back({"help", no_argument, nullptr, ID_HELP});
    longs.push_back({"version", no_argument, nullptr, ID_VERSION});
    longs.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    optind = 1;
    for (;;) {
        int prev = optind;
        // No reordering: argv[prev] is then always the option just read; operands, where
        // taken, come in order as id 1.
        int id = getopt_long(argc, argv, operands ? "-:" : "+:", longs.data(), nullptr);
        if (id == -1)
            break;
        if (id == 1 && operands != nullptr) {
            operands->push_back(optarg);
            continue;
        }
        if (id == ID_HELP || id == ID_VERSION) {
            if (id == ID_HELP)
                print_help(u, options);
            else
                printf("%s (fpflash) %s\n", u.program, FP_VERSION);
            return DI_EXIT_OK;
        }
        if (id < ID_BASE) {
            refuse(u, argv[prev], nullptr, "unknown option or missing argument");
            return DI_EXIT_USAGE;
        }
        const char* why = options[static_cast<size_t>(id - ID_BASE)].set(optarg);
        if (why != nullptr) {
            refuse(u, argv[prev], optarg, why);
            return DI_EXIT_USAGE;
        }
    }
    // What follows "--" is all operands.
    for (; operands != nullptr && optind < argc; optind++)
        operands->push_back(argv[optind]);
    if (optind < argc) {
        refuse(u, argv[optind], nullptr, "unexpected argument");
        return DI_EXIT_USAGE;
    }
    return -1;
}
