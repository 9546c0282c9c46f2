#include "sim/replay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>

#include "di/trace.h"

static const uint32_t RECORD = 528;
static const uint8_t LOADER_IN = 0x83;

static replay_recording rec;
static size_t pos = 0; // the next event to play
// The last OUT transfer served: when here, and when in the recording. What follows it is due
// as long after it as it came in the recording.
static long long anchor_ms = 0;
static long long anchor_us = 0;
static bool present = false;
static uint32_t endpoints = 0;
static std::vector<uint8_t> pending[16]; // sent on IN 0x8N and not read yet
static bool diverged = false;
static std::vector<uint8_t> kept;

// ---- reading ------------------------------------------------------------------------------

static uint32_t endpoint_mask(const std::vector<uint8_t>& eps) {
    return std::accumulate(eps.begin(), eps.end(), 0u,
                           [](uint32_t m, uint8_t ep) { return m | replay_endpoint_bit(ep); });
}

// A trace's bus: its "bulk in" lines, and the WRITEs that reached an endpoint. fpusbd writes
// a WRITE's line once the printer has taken it, after the IN transfers that came meanwhile:
// those are the printer's answers to it, so they follow it here.
static bool from_trace(const char* path, replay_recording* out, std::string* why) {
    std::vector<di_trace_entry> lines;
    if (!di_trace_read(path, &lines, why))
        return false;
    bool arrivals = std::any_of(lines.begin(), lines.end(),
                                [](const di_trace_entry& e) { return e.kind == DI_TRACE_ARRIVED; });
    out->path = path;
    out->form = "fpusbd trace";
    out->unit = "line";
    out->units = lines.empty() ? 1 : lines.back().line;
    out->skipped = out->other_devices = 0;
    out->events.clear();
    std::vector<replay_event> held;
    long long us = 0;
    auto flush = [&]() {
        out->events.insert(out->events.end(), held.begin(), held.end());
        held.clear();
    };
    for (const di_trace_entry& e : lines) {
        us += e.gap_ms * 1000;
        replay_event v = {REPLAY_IN, us,      e.line,    e.endpoint, e.ok, e.payload_known,
                          e.value,   e.count, e.payload, 0,          0};
        if (e.kind == DI_TRACE_BULK_IN) {
            v.data = e.data;
            held.push_back(v);
            continue;
        }
        if (e.kind == DI_TRACE_REQUEST && e.op == DI_OP_WRITE && e.endpoint != 0) {
            v.kind = REPLAY_OUT;
            out->events.push_back(v);
        }
        flush();
        // Older traces have no bus lines; the socket's coming and going stands in for them.
        if (e.kind == (arrivals ? DI_TRACE_ARRIVED : DI_TRACE_PUBLISHED)) {
            v.kind = REPLAY_ARRIVED;
            v.id = arrivals ? e.value : 0;
            v.endpoints = arrivals ? endpoint_mask(e.payload) : REPLAY_PRINTER_ENDPOINTS;
            out->events.push_back(v);
        } else if (e.kind == (arrivals ? DI_TRACE_LEFT : DI_TRACE_UNPUBLISHED)) {
            v.kind = REPLAY_LEFT;
            out->events.push_back(v);
        }
    }
    flush();
    out->skipped = static_cast<long>(lines.size()) -
                   std::count_if(out->events.begin(), out->events.end(), [](const replay_event& v) {
                       return v.kind == REPLAY_OUT || v.kind == REPLAY_IN;
                   });
    return true;
}

static bool is_trace(const char* path) {
    char head[sizeof(DI_TRACE_HEADER)] = "";
    std::ifstream in(path, std::ios::binary);
    in.read(head, sizeof(head) - 1);
    return strcmp(head, DI_TRACE_HEADER) == 0;
}

static bool load(const char* path, const char* device, replay_recording* out) {
    std::string why;
    bool trace = is_trace(path);
    if (trace && device != nullptr) {
        di_complain("--replay-device: %s is a trace of one printer", path);
        return false;
    }
    if (trace ? !from_trace(path, out, &why) : !capture_read(path, device, out, &why)) {
        di_complain("--replay: %s", why.c_str());
        return false;
    }
    return true;
}

bool replay_load(const char* path, const char* device) {
    pos = 0;
    present = diverged = false;
    endpoints = 0;
    for (std::vector<uint8_t>& q : pending)
        q.clear();
    kept.clear();
    if (!load(path, device, &rec))
        return false;
    anchor_ms = di_now_ms();
    anchor_us = rec.events.empty() ? 0 : rec.events.front().us;
    di_log("replay: %s: %s, %ld %ss, %zu events of the printer%s%s, %ld %ss skipped", path,
           rec.form.c_str(), rec.units, rec.unit, rec.events.size(),
           rec.addresses.empty() ? "" : " at ", rec.addresses.c_str(), rec.skipped, rec.unit);
    return true;
}

// ---- playing ------------------------------------------------------------------------------

static long long due_ms(const replay_event& e) {
    return anchor_ms + std::max(0LL, (e.us - anchor_us + 999) / 1000);
}

static void play(const replay_event& e) {
    switch (e.kind) {
    case REPLAY_ARRIVED:
    case REPLAY_LEFT:
        present = e.kind == REPLAY_ARRIVED;
        endpoints = e.endpoints;
        for (std::vector<uint8_t>& q : pending)
            q.clear();
        di_log("replay: %s %ld: the printer %s", rec.unit, e.where, present ? "arrived" : "left");
        break;
    case REPLAY_IN:
        pending[e.endpoint & 0x0F].insert(pending[e.endpoint & 0x0F].end(), e.data.begin(),
                                          e.data.end());
        break;
    default:
        break;
    }
}

// Plays what comes before the next OUT transfer, as far as its time has come.
static void advance() {
    for (; pos < rec.events.size() && rec.events[pos].kind != REPLAY_OUT; pos++)
        if (di_now_ms() < due_ms(rec.events[pos]))
            return;
        else
            play(rec.events[pos]);
}

bool replay_published() {
    advance();
    return present;
}

long long replay_due() {
    advance();
    return pos < rec.events.size() && rec.events[pos].kind != REPLAY_OUT ? due_ms(rec.events[pos])
                                                                         : -1;
}

static bool has(int pipe, bool in) {
    return pipe >= 0 && (endpoints >> (pipe + (in ? 16 : 0)) & 1u) != 0;
}

static std::string describe(const di_request& r) {
    size_t n = r.len - DI_HEADER_SIZE;
    return "WRITE " + std::to_string(r.value) + " " + di_hex(r.payload, std::min<size_t>(n, 16)) +
           (n > 16 ? "..." : "");
}

static bool end_replay(int id, const di_request& r, const std::string& what) {
    diverged = true;
    std::string said = "replay: #" + std::to_string(id) + " " + describe(r) + " " + what;
    di_log("%s", said.c_str());
    di_complain("%s", said.c_str());
    return false;
}

// A WRITE of `pipe`: the next OUT transfer, once whatever the printer did before it is done.
static bool take(int id, int pipe, const di_request& r, bool* ok, uint32_t* count) {
    for (; pos < rec.events.size() && rec.events[pos].kind != REPLAY_OUT; pos++) {
        const replay_event& e = rec.events[pos];
        if (e.kind != REPLAY_IN)
            return end_replay(id, r,
                              "comes before the printer " +
                                  std::string(e.kind == REPLAY_LEFT ? "left" : "came back") +
                                  " at " + rec.unit + " " + std::to_string(e.where) + " of " +
                                  rec.path);
        play(e);
    }
    if (pos >= rec.events.size())
        return end_replay(id, r, "comes after the last OUT transfer of " + rec.path);
    const replay_event& e = rec.events[pos];
    size_t n = r.len - DI_HEADER_SIZE;
    bool same =
        e.endpoint == pipe && n == e.length &&
        (!e.known || (e.data.size() == n && std::equal(e.data.begin(), e.data.end(), r.payload)));
    if (!same) {
        std::string bytes = e.known ? di_hex(e.data.data(), std::min<size_t>(e.data.size(), 16)) +
                                          (e.data.size() > 16 ? "..." : "")
                                    : "(bytes left out)";
        char head[64];
        snprintf(head, sizeof(head), ": OUT 0x%02x %u ", e.endpoint, e.length);
        return end_replay(id, r,
                          "differs from " + std::string(rec.unit) + " " + std::to_string(e.where) +
                              " of " + rec.path + head + bytes);
    }
    pos++;
    anchor_ms = di_now_ms();
    anchor_us = e.us;
    *ok = e.ok;
    *count = e.taken;
    if (n == RECORD && e.ok && e.taken == RECORD &&
        (kept.size() < RECORD || !std::equal(r.payload, r.payload + RECORD, kept.end() - RECORD)))
        kept.insert(kept.end(), r.payload, r.payload + RECORD);
    return true;
}

bool replay_answer(int id, int pipe, const di_request& r, bool* ok, uint32_t* count,
                   uint8_t* data) {
    advance();
    if (diverged)
        return false;
    *ok = false;
    *count = 0;
    switch (r.op) {
    case DI_OP_OPEN:
        *ok = present;
        return true;
    case DI_OP_IOCTL:
        pipe = di_pipe_endpoint(r.value);
        *ok = has(pipe, false) || has(pipe, true);
        return true;
    case DI_OP_READ: {
        if (!has(pipe, true))
            return true;
        std::vector<uint8_t>& q = pending[static_cast<size_t>(pipe)];
        *count = std::min<uint32_t>(r.value, static_cast<uint32_t>(q.size()));
        std::copy(q.begin(), q.begin() + *count, data);
        q.erase(q.begin(), q.begin() + *count);
        *ok = true;
        return true;
    }
    default:
        return take(id, pipe, r, ok, count);
    }
}

bool replay_diverged() {
    return diverged;
}

const std::vector<uint8_t>& replay_kept() {
    return kept;
}

// ---- the summary --------------------------------------------------------------------------

static const char* code_name(int code) {
    switch (code) {
    case 0x01:
        return "block taken";
    case 0x02:
        return "end";
    case 0x03:
        return "begin";
    case 0x04:
        return "writing";
    case 0x06:
        return "written";
    case 0x4A:
        return "version";
    case 0xFB:
        return "writing failed";
    case 0xFD:
        return "flash error";
    case 0xFE:
        return "block refused";
    default:
        return "unknown";
    }
}

// The codes of the loader's reply frames in `in`: sync bytes, then the code twice.
static void count_codes(const std::vector<uint8_t>& in, std::vector<std::pair<int, long>>* codes) {
    for (size_t i = 0; i < in.size();) {
        if (in[i] == 0x55 || i + 1 >= in.size() || in[i + 1] != in[i]) {
            i++;
            continue;
        }
        auto c = std::find_if(codes->begin(), codes->end(),
                              [&](const std::pair<int, long>& p) { return p.first == in[i]; });
        if (c == codes->end())
            codes->push_back({in[i], 1});
        else
            c->second++;
        i += in[i] == 0x4A ? 10u : 2u;
    }
}

bool replay_summary(const char* path, const char* device) {
    replay_recording r;
    if (!load(path, device, &r))
        return false;
    struct tally {
        long count, bytes, failed, left_out;
    };
    std::map<uint8_t, tally> transfers;
    std::vector<uint8_t> loader;
    std::vector<std::pair<int, long>> codes;
    long arrivals = 0;
    printf("%s: %s, %ld %ss\n", path, r.form.c_str(), r.units, r.unit);
    for (const replay_event& e : r.events) {
        if (e.kind == REPLAY_ARRIVED || e.kind == REPLAY_LEFT) {
            // A reply is never split across a re-enumeration.
            count_codes(loader, &codes);
            loader.clear();
            arrivals += e.kind == REPLAY_ARRIVED;
            printf("  %9.3f s  %s %ld: %s", static_cast<double>(e.us - r.events[0].us) / 1e6,
                   r.unit, e.where, e.kind == REPLAY_LEFT ? "left" : "arrived");
            if (e.id != 0)
                printf(" as %04x:%04x", e.id >> 16, e.id & 0xFFFF);
            printf("\n");
            continue;
        }
        tally& t = transfers[e.endpoint];
        t.count++;
        t.bytes += e.kind == REPLAY_IN ? static_cast<long>(e.data.size()) : e.taken;
        t.failed += e.kind == REPLAY_OUT && !e.ok;
        t.left_out += e.kind == REPLAY_OUT && !e.known;
        if (e.kind == REPLAY_IN && e.endpoint == LOADER_IN)
            loader.insert(loader.end(), e.data.begin(), e.data.end());
    }
    count_codes(loader, &codes);
    printf("printer: %s%s%ld re-enumerations\n", r.addresses.c_str(),
           r.addresses.empty() ? "" : "; ", std::max(0L, arrivals - 1));
    printf("transfers:\n");
    for (const auto& t : transfers) {
        printf("  %-3s 0x%02x %5ld %8ld bytes", (t.first & 0x80) != 0 ? "IN" : "OUT", t.first,
               t.second.count, t.second.bytes);
        if (t.second.failed + t.second.left_out > 0)
            printf(", %ld failed, %ld with their bytes left out", t.second.failed,
                   t.second.left_out);
        printf("\n");
    }
    printf("loader answered on 0x%02x:", LOADER_IN);
    for (size_t i = 0; i < codes.size(); i++)
        printf("%s 0x%02x %s x%ld", i > 0 ? "," : "", codes[i].first, code_name(codes[i].first),
               codes[i].second);
    printf("%s\n", codes.empty() ? " nothing" : "");
    printf("skipped: %ld %ss that are not the printer's bulk transfers (%ld of other devices)\n",
           r.skipped, r.unit, r.other_devices);
    printf("duration: %.3f s\n",
           r.events.empty() ? 0.0 : static_cast<double>(r.events.back().us - r.events[0].us) / 1e6);
    fflush(stdout);
    return true;
}
