// What the technician sees: on a terminal one line per printer, redrawn in place; piped, a
// plain line whenever a printer moves on. Then the table, and its JSON on request. Everything
// is flushed as it is written, so a pipe shows it live.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

#include "all/all.h"
#include "di/kit.h"

static bool live = false;
static int blocks = 0;
static size_t drawn = 0;              // live lines on the screen, the cursor below them
static std::vector<std::string> said; // each printer's last line

// Names and versions come from outside (a socket's name, a printer's reply): nothing in them
// may move the cursor or talk to the terminal.
static std::string shown(const std::string& s) {
    std::string out = s;
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
    return out;
}

static std::string dash(const std::string& s) {
    return s.empty() ? "-" : shown(s);
}

static std::string before_of(const all_printer& p) {
    return p.progress.found_in_loader ? "loader" : dash(p.progress.before);
}

std::string all_result_text(const all_printer& p) {
    switch (p.result) {
    case ALL_RUNNING:
        return all_phase_text(p.progress, blocks, live);
    case ALL_UPDATED:
        return "updated";
    case ALL_FAILED:
        return p.why.empty() ? all_meaning(p.status, p.progress) : shown(p.why);
    case ALL_STOPPED:
        return p.progress.in_loader ? "stopped in its loader: run fpflash-all again" : "stopped";
    case ALL_NOT_STARTED:
        return "not started: Ctrl-C came first";
    case ALL_ABSENT:
        return "no printer at this port";
    case ALL_LATE:
        return "plugged in during the run: not updated";
    }
    return "";
}

static size_t port_width(const std::vector<all_printer>& ps) {
    size_t w = 4;
    for (const all_printer& p : ps)
        w = std::max(w, shown(p.port).size());
    return w;
}

// The terminal's size; 0 where stdout is none.
static struct winsize terminal() {
    struct winsize ws = {0, 0, 0, 0};
    const char* term = getenv("TERM");
    if (!isatty(STDOUT_FILENO) || term == nullptr || strcmp(term, "dumb") == 0 ||
        ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0)
        return {0, 0, 0, 0};
    return ws;
}

static int columns() {
    int n = terminal().ws_col;
    return n > 1 ? n : 80;
}

// One printer's live line, cut to the terminal's width so that it never wraps.
static std::string live_line(const std::vector<all_printer>& ps, size_t i) {
    const all_printer& p = ps[i];
    char head[512];
    snprintf(head, sizeof(head), "%-*s  %-10s  ", static_cast<int>(port_width(ps)),
             shown(p.port).c_str(), before_of(p).c_str());
    std::string text = all_result_text(p);
    if (p.result == ALL_UPDATED)
        text += " to " + dash(p.progress.after);
    if (p.result == ALL_FAILED)
        text = "FAILED: " + text;
    std::string line = head + text;
    size_t width = static_cast<size_t>(columns() - 1);
    return line.size() > width ? line.substr(0, width) : line;
}

static void redraw(const std::vector<all_printer>& ps) {
    std::string out;
    if (drawn > 0)
        out = "\r\033[" + std::to_string(drawn) + "A";
    for (size_t i = 0; i < ps.size(); i++)
        out += "\r\033[2K" + live_line(ps, i) + "\n";
    out += "\033[J";
    fputs(out.c_str(), stdout);
    fflush(stdout);
    drawn = ps.size();
}

void all_report_start(int image_blocks, size_t printers) {
    // Lines that scroll off the top could not be redrawn.
    live = terminal().ws_row > printers + 2;
    blocks = image_blocks;
}

void all_report_update(const std::vector<all_printer>& ps, size_t i) {
    said.resize(ps.size());
    if (live) {
        std::string line = live_line(ps, i);
        if (line != said[i] || drawn != ps.size())
            redraw(ps);
        said[i] = line;
        return;
    }
    const all_printer& p = ps[i];
    std::string text = all_result_text(p);
    if (p.result == ALL_RUNNING && p.progress.phase == ALL_SWITCH && !p.progress.before.empty())
        text = "version " + shown(p.progress.before) + ", " + text;
    else if (p.result == ALL_UPDATED)
        text += " to " + dash(p.progress.after);
    else if (p.result == ALL_FAILED)
        text = "FAILED: " + text;
    // "Press 'Enter'" has come, and the result comes with the end a moment later.
    if (text == said[i] || (p.result == ALL_RUNNING && p.progress.closed))
        return;
    said[i] = text;
    printf("%5.1f s  %s: %s\n", static_cast<double>(di_now_ms()) / 1000.0, shown(p.port).c_str(),
           text.c_str());
    fflush(stdout);
}

void all_report_note(const std::vector<all_printer>& ps, const std::string& text) {
    if (live && drawn > 0)
        printf("\r\033[%zuA\033[J", drawn);
    drawn = 0;
    printf("%s\n", text.c_str());
    fflush(stdout);
    if (live)
        redraw(ps);
}

static std::string seconds(const all_printer& p) {
    if (p.started_ms < 0 || p.ended_ms < 0)
        return "-";
    char s[32];
    snprintf(s, sizeof(s), "%.0f s", static_cast<double>(p.ended_ms - p.started_ms) / 1000.0);
    return s;
}

static bool has_status(const all_printer& p) {
    return p.result == ALL_UPDATED || (p.result == ALL_FAILED && p.why.empty());
}

void all_report_table(const std::vector<all_printer>& ps) {
    if (live)
        redraw(ps);
    std::vector<std::vector<std::string>> rows = {
        {"PORT", "BEFORE", "AFTER", "STATUS", "TIME", "RESULT", "LOG"}};
    for (const all_printer& p : ps) {
        bool kept = p.result != ALL_UPDATED && !p.log.empty();
        rows.push_back({shown(p.port), before_of(p), dash(p.progress.after),
                        has_status(p) ? std::to_string(p.status) : "-", seconds(p),
                        all_result_text(p), kept ? shown(p.log) : ""});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); c++)
            width[c] = std::max(width[c], r[c].size());
    printf("\n");
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); c++) {
            // The status column is a number: to the right.
            std::string cell = c == 3 ? std::string(width[c] - r[c].size(), ' ') + r[c] : r[c];
            line += cell + (c + 1 < r.size() ? std::string(width[c] - cell.size() + 2, ' ') : "");
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        printf("%s\n", line.c_str());
    }
    size_t updated = 0;
    std::string left;
    for (const all_printer& p : ps) {
        updated += p.result == ALL_UPDATED;
        if (p.result == ALL_STOPPED && p.progress.in_loader)
            left += (left.empty() ? "" : ", ") + shown(p.port);
    }
    printf("\n%zu of %zu printers updated.", updated, ps.size());
    if (!left.empty())
        printf(" Left in their loader: %s; run fpflash-all again to finish them.", left.c_str());
    printf("\n");
    fflush(stdout);
}

// ---- JSON ---------------------------------------------------------------------------------

// A JSON string. Bytes past ASCII are taken as Latin-1, as fpflash's own text is, so that
// whatever a printer said stays valid JSON.
static std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

static const char* result_word(all_result r) {
    static const char* const words[] = {"running",     "updated", "failed", "stopped",
                                        "not started", "absent",  "late"};
    return words[r];
}

bool all_report_json(const char* path, const std::vector<all_printer>& ps, const std::string& image,
                     int status) {
    std::string out = "{\n  \"image\": " + json_text(image) +
                      ",\n  \"status\": " + std::to_string(status) + ",\n  \"printers\": [";
    for (size_t i = 0; i < ps.size(); i++) {
        const all_printer& p = ps[i];
        char secs[32] = "null";
        if (p.started_ms >= 0 && p.ended_ms >= 0)
            snprintf(secs, sizeof(secs), "%.1f",
                     static_cast<double>(p.ended_ms - p.started_ms) / 1000.0);
        out += std::string(i > 0 ? "," : "") + "\n    {\"port\": " + json_text(p.port) +
               ", \"result\": \"" + result_word(p.result) +
               "\", \"before\": " + json_text(p.progress.before) +
               ", \"after\": " + json_text(p.progress.after) +
               ", \"found_in_loader\": " + (p.progress.found_in_loader ? "true" : "false") +
               ", \"status\": " + (has_status(p) ? std::to_string(p.status) : "null") +
               ", \"signal\": " + std::to_string(p.signal) +
               ", \"meaning\": " + json_text(all_result_text(p)) + ", \"seconds\": " + secs +
               ", \"in_loader\": " + (p.progress.in_loader ? "true" : "false") +
               ", \"log\": " + (p.log.empty() ? "null" : json_text(p.log)) + "}";
    }
    out += "\n  ]\n}\n";
    FILE* f = fopen(path, "w");
    bool ok = f != nullptr && fwrite(out.data(), 1, out.size(), f) == out.size();
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok)
        di_complain("cannot write %s: %s", path, strerror(errno));
    return ok;
}
