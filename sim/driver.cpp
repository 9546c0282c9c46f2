#include "sim/driver.h"

#include <cstdio>

#include "di/kit.h"

static sim_away absent; // --absent, which --hold counts from SIGUSR1
static bool held = false;
static long long back_at_ms = -1;
static long long end_ms = -1;
static bool stop_when_done = false;
static size_t notes_logged = 0;

static void due_in(const sim_away& away) {
    back_at_ms = away.for_good ? -1 : di_now_ms() + away.count;
}

void sim_driver_start(const sim_config& c) {
    sim_options model = c.model;
    absent = model.absent;
    held = c.run.hold;
    if (held)
        model.absent = SIM_FOR_GOOD;
    sim_reset(model);
    // Counted from the start.
    if (!sim_is_present() && !model.absent.for_good)
        back_at_ms = model.absent.count;
    end_ms = c.run.lifetime_s > 0 ? c.run.lifetime_s * 1000LL : -1;
    stop_when_done = c.run.stop_when_done;
}

bool sim_session_open(sim_session* s) {
    int con = sim_open();
    if (con < 0)
        return false;
    *s = {con, sim_current_mode() == SIM_APP && sim_rec.left_loader};
    return true;
}

bool sim_session_close(sim_session* s) {
    if (s->con == 0)
        return false;
    sim_close(s->con);
    bool done = s->after_exit && stop_when_done;
    *s = sim_session();
    return done;
}

void sim_log_notes() {
    for (; notes_logged < sim_rec.log.size(); notes_logged++)
        di_log("    %s", sim_rec.log[notes_logged].c_str());
}

void sim_went_away() {
    sim_away away = sim_away_left();
    due_in(away);
    if (away.for_good)
        di_log("away for good");
    else
        di_log("away for %d ms", away.count);
}

bool sim_comes_back() {
    if (held && di_released()) {
        held = false;
        due_in(absent);
        if (!absent.for_good)
            di_log("released: due in %d ms", absent.count);
    }
    if (back_at_ms < 0 || di_now_ms() < back_at_ms)
        return false;
    back_at_ms = -1;
    sim_come_back();
    sim_log_notes();
    return true;
}

long long sim_next_due() {
    return back_at_ms >= 0 && (end_ms < 0 || back_at_ms < end_ms) ? back_at_ms : end_ms;
}

bool sim_lifetime_over() {
    if (end_ms < 0 || di_now_ms() < end_ms)
        return false;
    di_log("lifetime over");
    return true;
}

void sim_save_image(const char* path, const std::vector<uint8_t>& image) {
    if (path == nullptr)
        return;
    FILE* f = fopen(path, "wb");
    bool ok = f != nullptr;
    if (ok && !image.empty())
        ok = fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f != nullptr && fclose(f) != 0)
        ok = false;
    if (!ok)
        di_complain("cannot save the image to %s", path);
}
