// Requests answered from the model, through the kit's checks and log line; or, replaying, as
// the recorded printer would answer them.
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

bool sim_answer(sim_client* c, const uint8_t* packet, size_t len) {
    di_request r;
    bool ok = false;
    uint32_t count = 0;
    uint8_t data[DI_TRANSFER_MAX];
    bool valid = di_check(c->s, packet, len, &r);
    if (valid && replaying) {
        if (!replay_answer(c->s.id, c->s.pipe, r, &ok, &count, data))
            return false;
    } else if (valid) {
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
