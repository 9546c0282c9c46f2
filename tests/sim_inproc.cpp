#include "tests/sim_inproc.h"

static int con = -1;

static bool be_present() {
    return sim_present();
}

static bool be_open() {
    int c = sim_open();
    if (c < 0)
        return false;
    con = c;
    return true;
}

static void be_close() {
    sim_close(con);
    con = -1;
}

static bool be_ioctl(uint32_t code) {
    return sim_ioctl(con, code);
}

static bool be_read(uint8_t* buf, uint32_t size, uint32_t* count) {
    return sim_read(con, buf, size, count);
}

static bool be_write(const uint8_t* buf, uint32_t size, uint32_t* count) {
    return sim_write(con, buf, size, count);
}

static const fake_backend backend = {be_present, be_open, be_close, be_ioctl, be_read, be_write};

const fake_backend* sim_backend() {
    return &backend;
}

void sim_inproc_start(const sim_options& o) {
    fake_reset();
    sim_reset(o);
    con = -1;
    fake_backend_in_use = sim_backend();
}
