#include "di/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

// An image record: the bytes a printer owner may not share. Everything else on the bus is
// the protocol's own.
static const uint32_t IMAGE_RECORD = 528;
// Longer lines are no trace of ours: two hex digits for each of at most 1024 bytes, and words.
static const size_t LINE_MAX = 2 * DI_TRANSFER_MAX + 128;

static FILE* out = nullptr;
static bool whole_blocks = true;
static long long last_ms = 0;

bool di_trace_start(const char* path, bool blocks, const std::string& comment) {
    // The image's records are in it by default: for the user alone, whatever the umask.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        di_complain(errno == EEXIST ? "%s exists already; a trace is never written over it"
                                    : "cannot write the trace %s: %s",
                    path, strerror(errno));
        return false;
    }
    out = fdopen(fd, "w");
    if (out == nullptr) {
        close(fd);
        di_complain("cannot write the trace %s: %s", path, strerror(errno));
        return false;
    }
    // A line at a time: a trace of a run that was killed still holds what came before.
    setvbuf(out, nullptr, _IOLBF, 0);
    whole_blocks = blocks;
    last_ms = di_now_ms();
    fprintf(out, "%s\n# %s\n", DI_TRACE_HEADER, comment.c_str());
    return true;
}

void di_trace_end() {
    if (out != nullptr)
        fclose(out);
    out = nullptr;
}

// "+MS " before what follows on the line.
static void stamp() {
    long long now = di_now_ms();
    fprintf(out, "+%lld ", now - last_ms);
    last_ms = now;
}

std::string di_hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0x0F];
    }
    return s;
}

void di_trace(const char* fmt, ...) {
    if (out == nullptr)
        return;
    stamp();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(out, fmt, ap);
    va_end(ap);
    fputc('\n', out);
}

void di_trace_request(int id, const di_request& r, uint8_t endpoint, bool ok, uint32_t count,
                      const uint8_t* data) {
    static const char* const ops[] = {"OPEN", "IOCTL", "READ", "WRITE"};
    if (out == nullptr)
        return;
    stamp();
    fprintf(out, "#%d ", id);
    if (r.len < DI_HEADER_SIZE) {
        fprintf(out, "SHORT %zu failed\n", r.len);
        return;
    }
    if (r.op > DI_OP_WRITE) {
        fprintf(out, "OP%u 0x%08X failed\n", r.op, r.value);
        return;
    }
    if (r.op == DI_OP_OPEN || r.op == DI_OP_IOCTL) {
        fprintf(out, "%s 0x%08X %s\n", ops[r.op], r.value, ok ? "ok" : "failed");
        return;
    }
    fprintf(out, "%s %u ", ops[r.op], r.value);
    if (endpoint == 0)
        fputc('-', out);
    else
        fprintf(out, "0x%02x", endpoint);
    size_t n = r.len - DI_HEADER_SIZE;
    if (r.op == DI_OP_WRITE && n == 0)
        fputs(" none", out);
    else if (r.op == DI_OP_WRITE && !whole_blocks && n == IMAGE_RECORD)
        fputs(" -", out);
    else if (r.op == DI_OP_WRITE)
        fprintf(out, " %s", di_hex(r.payload, n).c_str());
    if (!ok)
        fputs(" failed\n", out);
    else if (r.op == DI_OP_READ && count > 0)
        fprintf(out, " ok %u %s\n", count, di_hex(data, count).c_str());
    else
        fprintf(out, " ok %u\n", count);
}

// ---- reading ------------------------------------------------------------------------------

static bool parse_u32(const std::string& s, int base, uint32_t* v) {
    long n = 0;
    if (s.empty() || s[0] == '-' || s[0] == '+' ||
        !di_parse_long(s.c_str(), base, 0, 0xFFFFFFFFL, &n))
        return false;
    *v = static_cast<uint32_t>(n);
    return true;
}

static bool parse_hex_bytes(const std::string& s, std::vector<uint8_t>* out_bytes) {
    if (s.size() % 2 != 0 || s.size() / 2 > DI_TRANSFER_MAX)
        return false;
    out_bytes->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        uint32_t b = 0;
        if (s.find_first_not_of("0123456789abcdef", i) < i + 2 ||
            !parse_u32(s.substr(i, 2), 16, &b))
            return false;
        out_bytes->push_back(static_cast<uint8_t>(b));
    }
    return true;
}

static bool parse_endpoint(const std::string& s, uint8_t* ep) {
    uint32_t v = 0;
    *ep = 0;
    if (s == "-")
        return true;
    if (s.size() != 4 || s.compare(0, 2, "0x") != 0 || !parse_u32(s, 16, &v))
        return false;
    *ep = static_cast<uint8_t>(v);
    return true;
}

// "0x01,0x03", or "-" for none.
static bool parse_endpoints(const std::string& s, std::vector<uint8_t>* eps) {
    if (s == "-")
        return true;
    for (size_t from = 0; from <= s.size();) {
        size_t comma = std::min(s.find(',', from), s.size());
        uint8_t ep = 0;
        if (!parse_endpoint(s.substr(from, comma - from), &ep) || ep == 0)
            return false;
        eps->push_back(ep);
        from = comma + 1;
    }
    return true;
}

// "1209:0001" as 0x12090001.
static bool parse_id(const std::string& s, uint32_t* id) {
    uint32_t vid = 0, pid = 0;
    if (s.size() != 9 || s[4] != ':' ||
        s.find_first_not_of("0123456789abcdef:") != std::string::npos ||
        !parse_u32(s.substr(0, 4), 16, &vid) || !parse_u32(s.substr(5), 16, &pid))
        return false;
    *id = vid << 16 | pid;
    return true;
}

static bool parse_client(const std::string& s, int* id) {
    uint32_t v = 0;
    if (s.size() < 2 || s[0] != '#' || !parse_u32(s.substr(1), 10, &v) || v == 0 || v > 1000000)
        return false;
    *id = static_cast<int>(v);
    return true;
}

// The answer at word `k` on: "ok", with "COUNT [HEX]" behind it where `counted`; or "failed".
static bool parse_answer(const std::vector<std::string>& w, size_t k, bool counted, bool with_data,
                         di_trace_entry* e) {
    if (k < w.size() && w[k] == "failed") {
        e->ok = false;
        return w.size() == k + 1;
    }
    if (k >= w.size() || w[k] != "ok")
        return false;
    e->ok = true;
    if (!counted)
        return w.size() == k + 1;
    if (k + 1 >= w.size() || !parse_u32(w[k + 1], 10, &e->count) || e->count > DI_TRANSFER_MAX)
        return false;
    if (!with_data || e->count == 0)
        return w.size() == k + 2;
    return w.size() == k + 3 && parse_hex_bytes(w[k + 2], &e->data) && e->data.size() == e->count;
}

// A request line's words after "#ID".
static bool parse_request(const std::vector<std::string>& w, di_trace_entry* e) {
    const std::string& op = w[1];
    if ((op == "OPEN" || op == "IOCTL") && w.size() >= 3) {
        e->op = op == "OPEN" ? DI_OP_OPEN : DI_OP_IOCTL;
        return parse_u32(w[2], 16, &e->value) && parse_answer(w, 3, false, false, e);
    }
    if (op == "READ" && w.size() >= 4) {
        e->op = DI_OP_READ;
        return parse_u32(w[2], 10, &e->value) && parse_endpoint(w[3], &e->endpoint) &&
               parse_answer(w, 4, true, true, e) && e->count <= e->value;
    }
    if (op == "WRITE" && w.size() >= 5) {
        e->op = DI_OP_WRITE;
        if (!parse_u32(w[2], 10, &e->value) || !parse_endpoint(w[3], &e->endpoint))
            return false;
        e->payload_known = w[4] != "-";
        if (w[4] == "none")
            e->payload.clear();
        else if (e->payload_known && !parse_hex_bytes(w[4], &e->payload))
            return false;
        // Only a refused WRITE can carry other than the length it names.
        return parse_answer(w, 5, true, false, e) &&
               (!e->ok || !e->payload_known || e->payload.size() == e->value);
    }
    uint32_t code = 0;
    if (op.compare(0, 2, "OP") == 0 && w.size() == 4 && parse_u32(op.substr(2), 10, &code) &&
        code > DI_OP_WRITE && code <= 0xFF) {
        e->op = static_cast<int>(code);
        return parse_u32(w[2], 16, &e->value) && w[3] == "failed";
    }
    if (op == "SHORT" && w.size() == 4) {
        e->op = DI_TRACE_SHORT;
        return parse_u32(w[2], 10, &e->value) && e->value < DI_HEADER_SIZE && w[3] == "failed";
    }
    return false;
}

static std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> w;
    std::istringstream in(s);
    for (std::string t; in >> t;)
        w.push_back(t);
    return w;
}

static bool parse_entry(const std::string& line, di_trace_entry* e) {
    size_t space = line.find(' ');
    uint32_t gap = 0;
    if (line.size() < 3 || line[0] != '+' || space == std::string::npos ||
        !parse_u32(line.substr(1, space - 1), 10, &gap))
        return false;
    e->gap_ms = gap;
    e->text = line.substr(space + 1);
    // One space between words, none at the ends: a line that diffs cleanly.
    if (e->text.empty() || e->text.find("  ") != std::string::npos ||
        e->text.find_first_of("\t\r") != std::string::npos || e->text.front() == ' ' ||
        e->text.back() == ' ')
        return false;
    std::vector<std::string> w = words(e->text);
    e->kind = DI_TRACE_OTHER;
    if (w[0][0] == '#') {
        if (!parse_client(w[0], &e->client) || w.size() < 2)
            return false;
        if (w.size() == 2 && (w[1] == "connected" || w[1] == "closed"))
            return true;
        if (w.size() == 2 && w[1] == "cut") {
            e->kind = DI_TRACE_CUT;
            return true;
        }
        e->kind = DI_TRACE_REQUEST;
        return parse_request(w, e);
    }
    if ((w[0] == "published" || w[0] == "unpublished") && w.size() == 2) {
        e->kind = w[0] == "published" ? DI_TRACE_PUBLISHED : DI_TRACE_UNPUBLISHED;
        return true;
    }
    if (w[0] == "arrived") {
        e->kind = DI_TRACE_ARRIVED;
        return w.size() == 9 && parse_id(w[2], &e->value) && w[3] == "interface" && w[5] == "out" &&
               parse_endpoints(w[6], &e->payload) && w[7] == "in" &&
               parse_endpoints(w[8], &e->payload);
    }
    if (w[0] == "left") {
        e->kind = DI_TRACE_LEFT;
        return w.size() == 3;
    }
    if (w[0] == "bulk" && w.size() >= 4 && w[1] == "in" && parse_endpoint(w[2], &e->endpoint)) {
        uint32_t n = 0;
        if (w[3] == "error")
            return w.size() == 5;
        e->kind = DI_TRACE_BULK_IN;
        return w.size() == 5 && parse_u32(w[3], 10, &n) && parse_hex_bytes(w[4], &e->data) &&
               e->data.size() == n;
    }
    return false;
}

bool di_trace_read(const char* path, std::vector<di_trace_entry>* entries, std::string* why) {
    std::ifstream in(path);
    if (!in) {
        *why = std::string("cannot read ") + path;
        return false;
    }
    entries->clear();
    std::string line;
    int n = 1;
    auto refuse = [&](const std::string& what) {
        *why = std::string(path) + ":" + std::to_string(n) + ": " + what;
        return false;
    };
    for (; std::getline(in, line); n++) {
        if (line.size() > LINE_MAX)
            return refuse("a line too long for a trace");
        if (n == 1 && line != DI_TRACE_HEADER)
            return refuse(std::string("not \"") + DI_TRACE_HEADER + "\"");
        if (n == 1 || line.empty() || line[0] == '#')
            continue;
        di_trace_entry e = {n, 0, DI_TRACE_OTHER, 0, 0, 0, true, {}, false, 0, {}, "", 0};
        if (!parse_entry(line, &e))
            return refuse("not a line of a trace: " + line.substr(0, 120));
        entries->push_back(e);
    }
    if (n == 1) {
        *why = std::string(path) + ": empty, not a trace";
        return false;
    }
    return true;
}
