#include "sim/replay.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "di/trace.h"

static const uint32_t RECORD = 528;

static std::vector<di_trace_entry> trace;
static std::string trace_path;
static size_t pos = 0; // the next entry to play
static bool published = false;
// The socket taken down at entry `away_from`, at `away_since`: it is back when the trace's
// time since then has passed here too, as no request marks its return.
static size_t away_from = 0;
static long long away_since = -1;
static bool diverged = false;
// A recorded connection is the replay's connection that made its first request.
static std::map<int, int> by_recorded, by_replayed;
static std::vector<uint8_t> kept;

bool replay_load(const char* path) {
    pos = 0;
    published = diverged = false;
    away_since = -1;
    by_recorded.clear();
    by_replayed.clear();
    kept.clear();
    std::string why;
    if (!di_trace_read(path, &trace, &why)) {
        di_complain("--replay: %s", why.c_str());
        return false;
    }
    trace_path = path;
    di_log("replay: %zu lines of %s", trace.size(), path);
    return true;
}

// The trace's milliseconds from the socket's going to entry `k`.
static long long away_ms(size_t k) {
    long long ms = 0;
    for (size_t i = away_from + 1; i <= k; i++)
        ms += trace[i].gap_ms;
    return ms;
}

static void advance() {
    for (; pos < trace.size() && trace[pos].kind != DI_TRACE_REQUEST; pos++) {
        const di_trace_entry& e = trace[pos];
        if (e.kind == DI_TRACE_PUBLISHED && !published) {
            if (away_since >= 0 && di_now_ms() < away_since + away_ms(pos))
                return;
            published = true;
            away_since = -1;
            di_log("replay: line %d: published", e.line);
        } else if (e.kind == DI_TRACE_UNPUBLISHED && published) {
            published = false;
            away_from = pos;
            away_since = di_now_ms();
            di_log("replay: line %d: unpublished", e.line);
        }
    }
}

bool replay_published() {
    advance();
    return published;
}

long long replay_due() {
    advance();
    if (pos < trace.size() && trace[pos].kind == DI_TRACE_PUBLISHED && away_since >= 0)
        return away_since + away_ms(pos);
    return -1;
}

// A request as the trace would write it, shortened, for the message that ends the replay.
static std::string describe(const di_request& r) {
    static const char* const ops[] = {"OPEN", "IOCTL", "READ", "WRITE"};
    if (r.len < DI_HEADER_SIZE)
        return "SHORT " + std::to_string(r.len);
    char head[48];
    if (r.op <= DI_OP_WRITE)
        snprintf(head, sizeof(head), r.op <= DI_OP_IOCTL ? "%s 0x%08X" : "%s %u", ops[r.op],
                 r.value);
    else
        snprintf(head, sizeof(head), "OP%u 0x%08X", r.op, r.value);
    std::string s = head;
    size_t n = r.len - DI_HEADER_SIZE;
    if (r.op == DI_OP_WRITE && n > 0)
        s += " " + di_hex(r.payload, std::min<size_t>(n, 16)) + (n > 16 ? "..." : "");
    return s;
}

static bool same(const di_trace_entry& e, const di_request& r) {
    if (r.len < DI_HEADER_SIZE)
        return e.op == DI_TRACE_SHORT && e.value == r.len;
    if (e.op != r.op || e.value != r.value)
        return false;
    if (r.op != DI_OP_WRITE)
        return r.len == DI_HEADER_SIZE;
    size_t n = r.len - DI_HEADER_SIZE;
    if (!e.payload_known)
        return n == r.value;
    return n == e.payload.size() && std::equal(e.payload.begin(), e.payload.end(), r.payload);
}

static bool same_connection(int recorded, int id) {
    auto a = by_recorded.find(recorded);
    auto b = by_replayed.find(id);
    if (a == by_recorded.end() && b == by_replayed.end()) {
        by_recorded[recorded] = id;
        by_replayed[id] = recorded;
        return true;
    }
    return a != by_recorded.end() && a->second == id;
}

static bool end_replay(int id, const di_request& r, const std::string& what) {
    diverged = true;
    std::string said = "replay: #" + std::to_string(id) + " " + describe(r) + " " + what;
    di_log("%s", said.c_str());
    di_complain("%s", said.c_str());
    return false;
}

bool replay_answer(int id, const di_request& r, bool* ok, uint32_t* count, uint8_t* data,
                   bool* cut) {
    advance();
    if (diverged)
        return false;
    if (pos >= trace.size())
        return end_replay(id, r,
                          "comes after the last request of " + trace_path + ", which has no more");
    const di_trace_entry& e = trace[pos];
    if (!same(e, r) || !same_connection(e.client, id))
        return end_replay(id, r,
                          "differs from line " + std::to_string(e.line) + " of " + trace_path +
                              ": " + e.text.substr(0, 80) + (e.text.size() > 80 ? "..." : ""));
    *ok = e.ok;
    *count = e.count;
    if (!e.data.empty())
        memcpy(data, e.data.data(), e.data.size());
    if (r.op == DI_OP_WRITE && r.len == DI_HEADER_SIZE + RECORD && e.ok && e.count == RECORD &&
        (kept.size() < RECORD || !std::equal(r.payload, r.payload + RECORD, kept.end() - RECORD)))
        kept.insert(kept.end(), r.payload, r.payload + RECORD);
    *cut = false;
    for (size_t k = ++pos; k < trace.size() && trace[k].kind != DI_TRACE_REQUEST; k++)
        *cut = *cut || (trace[k].kind == DI_TRACE_CUT && trace[k].client == e.client);
    return true;
}

bool replay_diverged() {
    return diverged;
}

const std::vector<uint8_t>& replay_kept() {
    return kept;
}
