// Requests answered from the model, through the kit's checks and log line; or, replaying, as
// the trace has them answered.
#include "sim/fpsim.h"
#include "sim/replay.h"

static std::optional<int> cut_read;
static int data_reads = 0;
static bool replaying = false;

void sim_answer_cut(std::optional<int> k) {
    cut_read = k;
}

void sim_answer_replayed() {
    replaying = true;
}

// The recorded printer's answer, whatever the kit would make of the request: the trace has
// what was answered to it, malformed or not.
static bool replayed(sim_client* c, const uint8_t* packet, size_t len) {
    di_request r;
    di_check(c->s, packet, len, &r);
    bool ok = false, cut = false;
    uint32_t count = 0;
    uint8_t data[DI_TRANSFER_MAX];
    if (!replay_answer(c->s.id, r, &ok, &count, data, &cut))
        return false;
    count = di_answered(&c->s, r, ok, count, cut ? " (then cut off)" : "");
    return di_reply(c->fd, ok, count, data, r.op == DI_OP_READ ? count : 0) && !cut;
}

bool sim_answer(sim_client* c, const uint8_t* packet, size_t len) {
    if (replaying)
        return replayed(c, packet, len);
    di_request r;
    bool ok = false;
    uint32_t count = 0;
    uint8_t data[DI_TRANSFER_MAX];
    if (di_check(c->s, packet, len, &r)) {
        switch (r.op) {
        case DI_OP_OPEN:
            ok = sim_session_open(&c->model);
            break;
        case DI_OP_IOCTL:
            ok = sim_ioctl(c->model.con, r.value);
            break;
        case DI_OP_READ:
            ok = sim_read(c->model.con, data, r.value, &count);
            break;
        default:
            ok = sim_write(c->model.con, r.payload, r.value, &count);
            break;
        }
    }
    count = di_answered(&c->s, r, ok, count, "");
    size_t size = r.op == DI_OP_READ ? count : 0;
    // The header still announces every byte the printer gave up.
    bool cut = size > 0 && ++data_reads == cut_read;
    if (cut) {
        size = count / 2;
        di_log("#%d READ reply cut to %zu of %u bytes", c->s.id, size, count);
    }
    return di_reply(c->fd, ok, count, data, size) && !cut;
}
