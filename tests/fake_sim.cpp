// The simulated printer in the scripted device's place: every device call of the fake goes to
// the model, on the connection opened last, so a whole scenario plays out on the virtual clock.
#include "tests/fake_platform.h"

static int con = -1;

static bool sim_open_last() {
    int c = sim_open();
    if (c < 0)
        return false;
    con = c;
    return true;
}

static void sim_close_last() {
    sim_close(con);
    con = -1;
}

static bool sim_ioctl_last(uint32_t code) {
    return sim_ioctl(con, code);
}

static bool sim_read_last(uint8_t* buf, uint32_t size, uint32_t* count) {
    return sim_read(con, buf, size, count);
}

static bool sim_write_last(const uint8_t* buf, uint32_t size, uint32_t* count) {
    return sim_write(con, buf, size, count);
}

static const fake_backend sim_backend = {sim_enumerate,  sim_open_last, sim_close_last,
                                         sim_ioctl_last, sim_read_last, sim_write_last};

void fake_serve_sim(const sim_options& o) {
    fake_reset();
    sim_reset(o);
    con = -1;
    fake_backend_in_use = &sim_backend;
}
