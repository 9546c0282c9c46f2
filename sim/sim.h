// The simulated printer: its application firmware on endpoint 1 and its loader on endpoint 3,
// as one process-wide model behind whatever transport serves it.
//
// The model knows no sockets, no clock and no threads. Everything it does is a reaction to a
// request (an enumeration, an open, a pipe-select, a read, a write, a close), so a scenario
// plays out the same way on every run. Whoever serves it decides when a printer that went
// away comes back: the in-process platform counts enumerations through sim_enumerate(), a
// socket driver may wait on its own clock and call sim_come_back().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum sim_mode { SIM_APP, SIM_LOADER };

// How long the printer stays away: `count` enumerations that find nothing (a driver on the
// wall clock reads milliseconds), or for good.
struct sim_away {
    int count = 0;
    bool for_good = false;
};
const sim_away SIM_FOR_GOOD = {0, true};

// How often a fault strikes: `count` times, or always.
struct sim_times {
    int count = 0;
    bool always = false;
};
const sim_times SIM_ALWAYS = {0, true};

// What the loader answers: a code, or nothing.
typedef std::optional<uint8_t> sim_reply;

// Where stale bytes wait: ahead of the reply to the first loader command of one code, to the
// first loader command of any code, or to the first block.
enum sim_stale_at { SIM_STALE_NOWHERE, SIM_STALE_CODE, SIM_STALE_COMMAND, SIM_STALE_BLOCK };

// What the loader answers to the block of image index `index` (the count of blocks it had
// kept before it): `reply` for `times` writes of that block, then the next rule for the same
// index, then `ack`.
struct sim_block_rule {
    uint32_t index = 0;
    sim_reply reply;
    sim_times times = SIM_ALWAYS;
};

// A scenario. Each fault is off unless set.
struct sim_options {
    sim_mode start_mode = SIM_APP;
    sim_away absent; // before the first appearance

    // Application firmware.
    std::string app_version = "1.2.3";
    std::string new_version = "1.2.4"; // reported after the loader's exit
    bool app_silent = false;           // get_version is never answered
    bool app_refuses_ep3 = false;      // every write to endpoint 3 fails
    std::string version_reply;         // replaces the JSON reply verbatim when not empty
    std::string fail_command;          // a document naming this command fails to be written
    sim_away upgrade_away;             // after upgrade_mode, before the loader shows up

    // Loader.
    uint32_t loader_version = 0x00020107;
    bool loader_silent = false; // answers nothing on endpoint 3
    sim_reply ack = 1;
    std::vector<sim_block_rule> block_rules;
    int flash_polls = 3;         // state 4 this many times, then 6 ...
    std::vector<uint8_t> states; // ... unless a list is given; its last code repeats
    int state_write_fails = 0;   // state commands whose write fails ...
    int state_fail_after = 0;    // ... once this many have been answered
    sim_away state_fail_away;    // the failing write drops the printer; back as the loader
    // Instead of answering 6 the loader restarts by itself into the new firmware: the state
    // command finds it gone, and it is back as the firmware after `restart_away`.
    bool restart_after_flash = false;
    sim_away restart_away;
    sim_reply exit_reply; // answered, and the loader gone only at the close
    sim_away exit_away;   // after exit, before the new firmware shows up

    // Delivery.
    std::optional<int> split_ep;               // reads on this endpoint deliver one byte each
    std::vector<uint8_t> stale_bytes;          // pending ahead of the reply ...
    sim_stale_at stale_at = SIM_STALE_NOWHERE; // ... to the first such command, once ...
    uint8_t stale_code = 0;                    // (SIM_STALE_CODE's)
    bool stale_every = false;                  // ... or to every one of them
    std::vector<uint8_t> surplus;              // pending behind every version reply
    std::optional<int> garbage_from;           // loader replies from this one on (0: the first) ...
    sim_times garbage_count = SIM_ALWAYS;      // ... this many, are pseudo-random bytes, not frames
    uint32_t write_max = 0;                    // a write takes at most this many bytes (0: all)

    // Connection.
    sim_times refuse_opens;               // opens refused while published, from the first
    std::optional<uint32_t> vanish_block; // the printer goes when block I is written to it ...
    sim_away vanish_away = SIM_FOR_GOOD;  // ... and comes back as the loader after this
};

// One 528-byte write the loader received, in arrival order.
struct sim_block {
    uint32_t index;
    sim_reply reply; // the code sent back; none when none was, or garbage went instead
    bool garbled;
    bool kept; // acknowledged (1, 2 or 3): part of the flash content
    std::vector<uint8_t> data;
};

// Everything the printer received, for tests and for the simulator's log file.
struct sim_record {
    std::vector<uint8_t> received[4];   // every byte accepted, per endpoint
    std::vector<std::string> documents; // endpoint 1 writes of the application firmware
    std::vector<uint8_t> commands;      // loader command codes, written or not
    std::vector<sim_block> blocks;
    // The kept blocks, concatenated: what the flash holds. A block after a version query that
    // follows blocks of an earlier download starts it afresh.
    std::vector<uint8_t> image;
    std::vector<std::string> log;
    int enumerations = 0;
    int opens = 0;
    bool flash_done = false;  // the loader said 6, or restarted by itself having written it
    bool left_loader = false; // for the new firmware: told to exit, or restarted by itself
};

extern sim_record sim_rec;

// Starts a scenario: the printer as `o` describes it, nothing received, nothing open.
void sim_reset(const sim_options& o);

// One enumeration: true when the interface is published now. While the printer is away this
// counts down its away count and brings it back when the count is spent.
bool sim_enumerate();

// True when the interface is published; counts nothing.
bool sim_is_present();

// Enumerations still to go before the printer comes back (0 when present or due at the next
// enumeration), or for good.
sim_away sim_away_left();

// Publishes the printer now, whatever its away count; a transport's own timing uses this.
void sim_come_back();

// Which program the printer runs (or will run when it comes back).
sim_mode sim_current_mode();

// Opens the printer exclusively. Returns a connection number above 0, or -1 when it is absent
// or another connection holds it.
int sim_open();

// Ends connection `con`. A connection that died when the printer went away closes too.
void sim_close(int con);

// The pipe-select call. Fails for a code other than 0x950F2000 | endpoint << 2 (0 to 3), and
// for any connection but the live holder.
bool sim_ioctl(int con, uint32_t code);

// Delivers at once up to `size` bytes pending on the selected pipe (0 when none). Fails, with
// `*count` 0, on a dead connection or with no pipe selected.
bool sim_read(int con, uint8_t* buf, uint32_t size, uint32_t* count);

// One write to the selected pipe; `*count` is what the printer accepted. Fails, with `*count`
// 0, as a read does, or by a scenario's fault.
bool sim_write(int con, const uint8_t* buf, uint32_t size, uint32_t* count);

// The CRC-32 of zlib (and of the loader's reply): reflected 0xEDB88320, complemented.
uint32_t sim_crc32(const void* data, size_t size);
