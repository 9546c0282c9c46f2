#include "sim/inproc.h"

static int con = -1;

void sim_inproc_reset(const sim_options& o) {
    sim_reset(o);
    con = -1;
}

bool sim_inproc_find() {
    return sim_enumerate();
}

bool sim_inproc_open() {
    int c = sim_open();
    if (c < 0)
        return false;
    con = c;
    return true;
}

void sim_inproc_close() {
    sim_close(con);
    con = -1;
}

bool sim_inproc_ioctl(uint32_t code) {
    return sim_ioctl(con, code);
}

bool sim_inproc_read(uint8_t* buf, uint32_t size, uint32_t* count) {
    return sim_read(con, buf, size, count);
}

bool sim_inproc_write(const uint8_t* buf, uint32_t size, uint32_t* count) {
    return sim_write(con, buf, size, count);
}
