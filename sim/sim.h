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
#include <string>
#include <vector>

enum sim_mode { SIM_APP, SIM_LOADER };

// An away count that never runs out, and a block rule or reply that is never given.
const int SIM_NEVER = -1;
const int SIM_NO_REPLY = -1;
const int SIM_ALWAYS = -1;

// A command code for `stale_before` that means the first block rather than a command.
const int SIM_FIRST_BLOCK = 0x100;
// ... and one that means any loader command.
const int SIM_ANY_COMMAND = 0x101;

// The reply recorded for a block answered with pseudo-random bytes instead of a frame.
const int SIM_GARBAGE = -2;

// What the loader answers to the block of image index `index` (the count of blocks it had
// kept before it): `code` for `times` writes of that block (SIM_ALWAYS: every one), then the
// next rule for the same index, then `ack_code`. SIM_NO_REPLY leaves the write unanswered.
struct sim_block_rule {
    uint32_t index;
    int code;
    int times;
};

// A scenario. Away counts are enumerations (sim_enumerate calls) that find nothing before the
// one that finds the printer; SIM_NEVER keeps it away for good.
struct sim_options {
    sim_mode start_mode = SIM_APP;
    int absent_enums = 0; // before the first appearance

    // Application firmware.
    std::string app_version = "1.2.3";
    std::string new_version = "1.2.4"; // reported after the loader's exit
    bool app_silent = false;           // get_version is never answered
    bool app_refuses_ep3 = false;      // every write to endpoint 3 fails
    std::string version_reply;         // replaces the JSON reply verbatim when not empty
    std::string fail_command;          // a document naming this command fails to be written
    int upgrade_away = 0;              // after upgrade_mode, before the loader shows up

    // Loader.
    uint32_t loader_version = 0x00020107;
    bool loader_silent = false; // answers nothing on endpoint 3
    int ack_code = 1;
    std::vector<sim_block_rule> block_rules;
    int flash_polls = 3;         // state 4 this many times, then 6 ...
    std::vector<uint8_t> states; // ... unless a list is given; its last code repeats
    int state_write_fails = 0;   // state commands whose write fails ...
    int state_fail_after = 0;    // ... once this many have been answered
    int state_fail_away = 0;     // the failing write drops the printer; back as the loader
    // Instead of answering 6 the loader restarts by itself into the new firmware: the state
    // command finds it gone, and it is back as the firmware after this away count.
    bool restart_after_flash = false;
    int restart_away = 0;
    int exit_reply = SIM_NO_REPLY; // with a code, answered and gone only at the close
    int exit_away = 0;             // after exit, before the new firmware shows up

    // Delivery.
    int split_ep = -1;                // reads on this endpoint deliver one byte each
    std::vector<uint8_t> stale_bytes; // pending ahead of the reply ...
    int stale_before = -1;            // ... to the first command of this code (once) ...
    bool stale_every = false;         // ... or to every one of them
    std::vector<uint8_t> surplus;     // pending behind every version reply
    int garbage_from = -1;            // loader replies from this one on (0: the first) ...
    int garbage_count = SIM_ALWAYS;   // ... this many, are pseudo-random bytes, not frames
    uint32_t write_max = 0;           // a write takes at most this many bytes (0: all)

    // Connection.
    int refuse_opens = 0;        // opens refused while published, from the first (SIM_ALWAYS)
    int vanish_block = -1;       // the printer goes when block I is written to it ...
    int vanish_away = SIM_NEVER; // ... and comes back as the loader after this away count
};

// One 528-byte write the loader received, in arrival order.
struct sim_block {
    uint32_t index;
    int reply; // code sent back, SIM_NO_REPLY or SIM_GARBAGE
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

// Enumerations still to go before the printer comes back (SIM_NEVER for good; 0 when present
// or due at the next enumeration).
int sim_away_left();

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
