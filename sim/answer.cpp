// Requests answered from the model, once the kit has checked them; or, replaying, as the
// recorded printer would answer them.
#include <cstdio>

#include "sim/fpsim.h"
#include "sim/replay.h"

static std::optional<int> cut_read;
static int data_reads = 0;

static sim_session& model(const di_client* c) {
    return sim_client_of(c)->model;
}

static void open_printer(di_client* c, di_answer* a) {
    a->ok = sim_session_open(&model(c));
}

static void select_pipe(di_client* c, int pipe, di_answer* a) {
    a->ok = sim_ioctl(model(c).con, DI_PIPE_SELECT | static_cast<uint32_t>(pipe) << 2);
}

// --cut-read: the reply to the Kth READ that carries data is cut short, then the connection.
// The header still announces every byte the printer gave up.
static void cut_if_due(di_answer* a) {
    if (!a->ok || a->count == 0 || ++data_reads != cut_read)
        return;
    static char note[64];
    a->send_max = a->count / 2;
    a->close = true;
    snprintf(note, sizeof(note), " (reply cut to %zu bytes)", a->send_max);
    a->note = note;
}

static void read_pipe(di_client* c, int, uint32_t wanted, di_answer* a) {
    a->ok = sim_read(model(c).con, a->data, wanted, &a->count);
    cut_if_due(a);
}

static void write_pipe(di_client* c, int, const uint8_t* data, uint32_t len, di_answer* a) {
    a->ok = sim_write(model(c).con, data, len, &a->count);
}

static bool replayed(di_client* c, int pipe, const di_request& r, di_answer* a) {
    if (!replay_answer(di_client_id(c), pipe, r, &a->ok, &a->count, a->data))
        return false;
    if (r.op == DI_OP_READ)
        cut_if_due(a);
    return true;
}

di_driver sim_answers(const fpsim_settings& own) {
    cut_read = own.cut_read;
    di_driver d = {};
    d.open = open_printer;
    d.ioctl = select_pipe;
    d.read = read_pipe;
    d.write = write_pipe;
    if (own.replay != nullptr)
        d.request = replayed;
    return d;
}
