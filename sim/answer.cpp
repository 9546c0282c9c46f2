// Requests answered from the model, once the kit has checked them; or, replaying, as the
// trace has them answered.
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

static void read_pipe(di_client* c, int, uint32_t wanted, di_answer* a) {
    a->ok = sim_read(model(c).con, a->data, wanted, &a->count);
    // The header still announces every byte the printer gave up.
    if (!a->ok || a->count == 0 || ++data_reads != cut_read)
        return;
    static char note[64];
    a->send_max = a->count / 2;
    a->close = true;
    snprintf(note, sizeof(note), " (reply cut to %zu bytes)", a->send_max);
    a->note = note;
}

static void write_pipe(di_client* c, int, const uint8_t* data, uint32_t len, di_answer* a) {
    a->ok = sim_write(model(c).con, data, len, &a->count);
}

// The recorded printer's answer, whatever the kit would make of the request: the trace has
// what was answered to it, malformed or not.
static bool replayed(di_client* c, const di_request& r, di_answer* a) {
    bool cut = false;
    if (!replay_answer(di_client_id(c), r, &a->ok, &a->count, a->data, &cut))
        return false;
    a->note = cut ? " (then cut off)" : "";
    a->close = cut;
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
        d.unchecked = replayed;
    return d;
}
