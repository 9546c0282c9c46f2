#include "sim/sim.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include <zlib.h>

#include "di/contract.h"

sim_record sim_rec;

static const uint32_t BLOCK_BYTES = 528;
static const uint8_t SYNC = 0x55;
static const uint8_t CMD_HEAD[3] = {0x51, 0x18, 0x06};
static const uint8_t CMD_STATE = 0x84;
static const uint8_t CMD_VERSION = 0x4A;
static const uint8_t CMD_EXIT = 0xF1;
static const uint8_t STATE_FLASHING = 4;
static const uint8_t STATE_DONE = 6;

struct sim_device {
    sim_options opt;
    bool present = false;
    sim_away away; // left to go while the printer is away
    sim_mode mode = SIM_APP;
    std::string app_version;
    int holder = 0; // the live connection, 0 when none
    int last_con = 0;
    int selected = -1;
    std::deque<uint8_t> pending[4];
    std::vector<uint8_t> states;
    size_t state_pos = 0;
    int state_fails_left = 0;
    bool stale_done = false;
    std::map<uint32_t, int> attempts; // writes seen per block index
    bool away_at_close = false;
    sim_times refusals;
    bool vanished = false;
    int replies = 0;              // loader replies so far, garbled or not
    bool session_blocks = false;  // blocks came since the last version query
    uint32_t noise = 0x2545F491u; // the garbage generator; the same bytes on every run
};

static sim_device dev;

#if defined(__GNUC__)
static void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

static void note(const char* fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    sim_rec.log.push_back(line);
}

static const char* mode_name(sim_mode m) {
    return m == SIM_APP ? "firmware" : "loader";
}

void sim_reset(const sim_options& o) {
    dev = sim_device();
    sim_rec = sim_record();
    dev.opt = o;
    dev.mode = o.start_mode;
    dev.app_version = o.app_version;
    dev.present = !o.absent.for_good && o.absent.count == 0;
    dev.away = o.absent;
    dev.states = o.states;
    if (dev.states.empty()) {
        dev.states.assign(o.flash_polls > 0 ? static_cast<size_t>(o.flash_polls) : 0,
                          STATE_FLASHING);
        dev.states.push_back(STATE_DONE);
    }
    dev.state_fails_left = o.state_write_fails;
    dev.refusals = o.refuse_opens;
    note("start: %s, %s", mode_name(dev.mode), dev.present ? "present" : "absent");
}

// Re-enumeration: whatever was open is dead, and what the pipes held is lost with the reset.
static void go_away(sim_mode back_as, const sim_away& away) {
    dev.present = false;
    dev.away = away;
    dev.mode = back_as;
    dev.holder = 0;
    dev.selected = -1;
    dev.away_at_close = false;
    for (std::deque<uint8_t>& p : dev.pending)
        p.clear();
    if (away.for_good)
        note("away: for good");
    else
        note("away: back as %s after %d enumerations", mode_name(back_as), away.count);
}

void sim_come_back() {
    if (dev.present)
        return;
    dev.present = true;
    dev.away = sim_away();
    note("back: %s", mode_name(dev.mode));
}

bool sim_enumerate() {
    sim_rec.enumerations++;
    if (!dev.present) {
        if (dev.away.count == 0 && !dev.away.for_good)
            sim_come_back();
        else if (!dev.away.for_good)
            dev.away.count--;
    }
    note("enumerate: %s", dev.present ? "present" : "absent");
    return dev.present;
}

bool sim_is_present() {
    return dev.present;
}

sim_away sim_away_left() {
    return dev.present ? sim_away() : dev.away;
}

sim_mode sim_current_mode() {
    return dev.mode;
}

int sim_open() {
    if (!dev.present) {
        note("open: absent");
        return -1;
    }
    if (dev.refusals.always || dev.refusals.count > 0) {
        if (!dev.refusals.always)
            dev.refusals.count--;
        note("open: refused");
        return -1;
    }
    if (dev.holder != 0) {
        note("open: busy, held by #%d", dev.holder);
        return -1;
    }
    dev.holder = ++dev.last_con;
    dev.selected = -1;
    sim_rec.opens++;
    note("open: #%d, %s", dev.holder, mode_name(dev.mode));
    return dev.holder;
}

void sim_close(int con) {
    if (con <= 0 || con != dev.holder) {
        note("close: #%d, dead", con);
        return;
    }
    dev.holder = 0;
    dev.selected = -1;
    note("close: #%d", con);
    if (dev.away_at_close)
        go_away(SIM_APP, dev.opt.exit_away);
}

// Whether `con` holds the printer, and for a transfer (`piped`) has selected a pipe.
static bool live(int con, const char* op, bool piped) {
    if (con <= 0 || con != dev.holder) {
        note("%s: #%d, dead", op, con);
        return false;
    }
    if (piped && dev.selected < 0) {
        note("%s: no pipe selected", op);
        return false;
    }
    return true;
}

bool sim_ioctl(int con, uint32_t code) {
    if (!live(con, "ioctl", false))
        return false;
    int ep = di_pipe_endpoint(code);
    if (ep < 0) {
        note("ioctl: 0x%08X refused", code);
        return false;
    }
    dev.selected = ep;
    return true;
}

bool sim_read(int con, uint8_t* buf, uint32_t size, uint32_t* count) {
    *count = 0;
    if (!live(con, "read", true))
        return false;
    std::deque<uint8_t>& p = dev.pending[dev.selected];
    size_t n = p.size() < size ? p.size() : size;
    if (dev.opt.split_ep == dev.selected && n > 1)
        n = 1;
    for (size_t i = 0; i < n; i++) {
        buf[i] = p.front();
        p.pop_front();
    }
    *count = static_cast<uint32_t>(n);
    // Empty polls are the bulk of the traffic and say nothing.
    if (n > 0)
        note("read: ep%d %u of %u bytes", dev.selected, *count, size);
    return true;
}

static void queue(int ep, const std::vector<uint8_t>& bytes) {
    dev.pending[ep].insert(dev.pending[ep].end(), bytes.begin(), bytes.end());
}

static void put_le32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

static uint8_t noise_byte() {
    dev.noise ^= dev.noise << 13;
    dev.noise ^= dev.noise >> 17;
    dev.noise ^= dev.noise << 5;
    return static_cast<uint8_t>(dev.noise >> 24);
}

static bool reply_garbled() {
    int n = dev.replies++;
    const std::optional<int>& from = dev.opt.garbage_from;
    return from && n >= *from &&
           (dev.opt.garbage_count.always || n - *from < dev.opt.garbage_count.count);
}

// Returns false when no frame went out: none was due, or garbage went in its place.
static bool reply_frame(sim_reply code, const uint32_t* data) {
    if (dev.opt.loader_silent || !code)
        return false;
    std::vector<uint8_t> f = {SYNC, SYNC, *code, *code};
    if (data) {
        put_le32(f, data[0]);
        put_le32(f, data[1]);
    }
    bool garbled = reply_garbled();
    if (garbled) {
        for (uint8_t& b : f)
            b = noise_byte();
        note("reply %d garbled", dev.replies - 1);
    }
    queue(3, f);
    return !garbled;
}

// Before a block, or before the loader command `code`.
static void stale_check(bool block, uint8_t code) {
    sim_stale_at at = dev.opt.stale_at;
    bool due =
        block ? at == SIM_STALE_BLOCK
              : at == SIM_STALE_COMMAND || (at == SIM_STALE_CODE && code == dev.opt.stale_code);
    if (!due || (dev.stale_done && !dev.opt.stale_every))
        return;
    dev.stale_done = true;
    queue(3, dev.opt.stale_bytes);
    note("stale: %zu bytes pending", dev.opt.stale_bytes.size());
}

static bool names_command(const std::string& doc, const std::string& name) {
    return !name.empty() && doc.find("\"" + name + "\"") != std::string::npos;
}

static void app_document(const uint8_t* buf, uint32_t size) {
    std::string doc(reinterpret_cast<const char*>(buf), size);
    sim_rec.documents.push_back(doc);
    if (names_command(doc, "get_version")) {
        if (dev.opt.app_silent) {
            note("write: get_version, not answered");
            return;
        }
        std::string reply = dev.opt.version_reply;
        if (reply.empty())
            reply = "{\"result\": {\"value\": \"" + dev.app_version + "\"}}";
        queue(1, std::vector<uint8_t>(reply.begin(), reply.end()));
        note("write: get_version, %s", dev.app_version.c_str());
    } else if (names_command(doc, "upgrade_mode")) {
        note("write: upgrade_mode");
        go_away(SIM_LOADER, dev.opt.upgrade_away);
    } else {
        note("write: document of %u bytes ignored", size);
    }
}

static sim_reply block_reply(uint32_t index, int attempt) {
    for (const sim_block_rule& r : dev.opt.block_rules) {
        if (r.index != index)
            continue;
        if (r.times.always || attempt < r.times.count)
            return r.reply;
        attempt -= r.times.count;
    }
    return dev.opt.ack;
}

static void loader_block(const uint8_t* buf) {
    stale_check(true, 0);
    // The host that asks for the version before its first block starts a download of its own
    // (a run that was cut off, started again): the flash is written from the start.
    if (!dev.session_blocks && !sim_rec.image.empty()) {
        note("write: a new download, %zu bytes of flash written again", sim_rec.image.size());
        sim_rec.image.clear();
    }
    dev.session_blocks = true;
    // A loader places a record by its own index: the one it acknowledged last, sent again by
    // a host that missed the acknowledgement, takes its own place again.
    size_t held = sim_rec.image.size();
    bool again = held >= BLOCK_BYTES &&
                 std::equal(buf, buf + BLOCK_BYTES, sim_rec.image.data() + (held - BLOCK_BYTES));
    uint32_t index = static_cast<uint32_t>(held / BLOCK_BYTES) - (again ? 1 : 0);
    sim_reply reply =
        dev.opt.loader_silent ? sim_reply() : block_reply(index, dev.attempts[index]++);
    // A loader that answers garbage has not taken the block either.
    bool garbled = reply && !reply_frame(reply, nullptr);
    if (garbled)
        reply.reset();
    // Only what the loader acknowledges goes to flash; a rejected block comes again.
    bool kept = reply && *reply >= 1 && *reply <= 3;
    sim_rec.blocks.push_back(
        {index, reply, garbled, kept, std::vector<uint8_t>(buf, buf + BLOCK_BYTES)});
    if (kept && !again)
        sim_rec.image.insert(sim_rec.image.end(), buf, buf + BLOCK_BYTES);
    // The log has always said -1 for no answer and -2 for garbage.
    note("write: block %u%s, reply %d", index, again ? " again" : "",
         garbled ? -2
         : reply ? *reply
                 : -1);
}

static uint8_t next_state() {
    return dev.states[dev.state_pos < dev.states.size() ? dev.state_pos : dev.states.size() - 1];
}

static void loader_command(uint8_t code) {
    sim_rec.commands.push_back(code);
    stale_check(false, code);
    if (code == CMD_STATE) {
        uint8_t state = next_state();
        dev.state_pos++;
        if (state == STATE_DONE)
            sim_rec.flash_done = true;
        reply_frame(state, nullptr);
        note("write: state, reply %d", state);
    } else if (code == CMD_VERSION) {
        dev.session_blocks = false;
        uint32_t data[2] = {dev.opt.loader_version,
                            sim_crc32(sim_rec.image.data(), sim_rec.image.size())};
        bool framed = reply_frame(CMD_VERSION, data);
        note("write: version, 0x%08X crc32 0x%08X", data[0], data[1]);
        if (framed && !dev.opt.surplus.empty()) {
            queue(3, dev.opt.surplus);
            note("surplus: %zu bytes pending", dev.opt.surplus.size());
        }
    } else if (code == CMD_EXIT) {
        note("write: exit");
        dev.app_version = dev.opt.new_version;
        sim_rec.left_loader = true;
        // With an answer to read, the reset waits for the host to let go of the device.
        if (dev.opt.exit_reply && !dev.opt.loader_silent) {
            reply_frame(dev.opt.exit_reply, nullptr);
            dev.away_at_close = true;
        } else {
            go_away(SIM_APP, dev.opt.exit_away);
        }
    } else {
        note("write: command 0x%02X ignored", code);
    }
}

static bool is_command(const uint8_t* buf, uint32_t size) {
    return size == sizeof(CMD_HEAD) + 1 && memcmp(buf, CMD_HEAD, sizeof(CMD_HEAD)) == 0;
}

static void loader_write(const uint8_t* buf, uint32_t size) {
    if (is_command(buf, size))
        loader_command(buf[3]);
    else if (size == BLOCK_BYTES)
        loader_block(buf);
    else
        note("write: %u bytes ignored", size);
}

bool sim_write(int con, const uint8_t* buf, uint32_t size, uint32_t* count) {
    *count = 0;
    if (!live(con, "write", true))
        return false;
    int ep = dev.selected;
    if (dev.opt.write_max > 0 && size > dev.opt.write_max) {
        note("write: %u of %u bytes taken", dev.opt.write_max, size);
        size = dev.opt.write_max;
    }
    if (ep == 3 && dev.mode == SIM_LOADER && size == BLOCK_BYTES && !dev.vanished &&
        dev.opt.vanish_block == sim_rec.image.size() / BLOCK_BYTES) {
        dev.vanished = true;
        note("write: block %u, printer gone", *dev.opt.vanish_block);
        go_away(SIM_LOADER, dev.opt.vanish_away);
        return false;
    }
    bool state_query =
        ep == 3 && dev.mode == SIM_LOADER && is_command(buf, size) && buf[3] == CMD_STATE;
    if (state_query && dev.state_fails_left > 0 &&
        dev.state_pos >= static_cast<size_t>(dev.opt.state_fail_after)) {
        dev.state_fails_left--;
        sim_rec.commands.push_back(CMD_STATE);
        note("write: state, failed");
        go_away(SIM_LOADER, dev.opt.state_fail_away);
        return false;
    }
    if (state_query && dev.opt.restart_after_flash && next_state() == STATE_DONE) {
        sim_rec.commands.push_back(CMD_STATE);
        sim_rec.flash_done = sim_rec.left_loader = true;
        dev.app_version = dev.opt.new_version;
        note("write: state, failed: the loader restarted into the new firmware");
        go_away(SIM_APP, dev.opt.restart_away);
        return false;
    }
    if (ep == 3 && dev.mode == SIM_APP && dev.opt.app_refuses_ep3) {
        note("write: ep3 refused by the firmware");
        return false;
    }
    if (ep == 1 && dev.mode == SIM_APP &&
        names_command(std::string(reinterpret_cast<const char*>(buf), size),
                      dev.opt.fail_command)) {
        note("write: %s, failed", dev.opt.fail_command.c_str());
        return false;
    }

    sim_rec.received[ep].insert(sim_rec.received[ep].end(), buf, buf + size);
    *count = size;
    if (ep == 1 && dev.mode == SIM_APP)
        app_document(buf, size);
    else if (ep == 3 && dev.mode == SIM_LOADER)
        loader_write(buf, size);
    else
        note("write: ep%d %u bytes ignored by the %s", ep, size, mode_name(dev.mode));
    return true;
}

uint32_t sim_crc32(const void* data, size_t size) {
    uLong c = crc32(0L, Z_NULL, 0);
    const Bytef* p = static_cast<const Bytef*>(data);
    // zlib takes its lengths as uInt.
    while (size > 0) {
        uInt n = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
        c = crc32(c, p, n);
        p += n;
        size -= n;
    }
    return static_cast<uint32_t>(c);
}
