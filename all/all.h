// fpflash-all: every printer attached updated at once on Linux, each by its own fpflash that
// sees only its own printer. Each printer's update runs in a worker process of its own, which
// publishes one socket in a private runtime directory, relays it packet for packet to the
// printer's own socket, runs `fpflash IMAGE` against it and sends its transcript up a pipe; the
// parent only reads those pipes, draws and decides.
//
// The files: the command line and the run (main.cpp); which printers there are, and simulated
// ones (printers.cpp); one printer's worker, its relay and its fpflash (worker.cpp); what a
// transcript says (progress.cpp); the live lines, the table and its JSON (report.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// ---- what fpflash's transcript says (progress.cpp) ----------------------------------------

// Where an update is, in the order fpflash goes through it.
enum all_phase {
    ALL_OPENING,    // the image read, the printer looked for
    ALL_VERSION,    // asking the firmware its version
    ALL_SWITCH,     // upgrade_mode written: the printer on its way to its loader
    ALL_LOADER,     // the loader's CRC32
    ALL_DOWNLOAD,   // sending the blocks
    ALL_FLASH,      // the printer writing its flash
    ALL_EXIT,       // the loader told to exit, the printer on its way back
    ALL_NEW_VERSION // asking the new firmware its version
};

struct all_progress {
    all_phase phase = ALL_OPENING;
    std::string before;           // the version the firmware reported first
    std::string after;            // ... and after the update
    bool found_in_loader = false; // no version at first, and the loader answered
    bool in_loader = false;       // switched, or found there, and not yet told to exit
    int block = -1;               // the last block fpflash announced
    int waits = 0;                // "Wait open USB" since the last "Open USB - O'k"
    bool closed = false;          // "Press 'Enter' for exit..."
    bool download_failed = false;
    bool flash_failed = false;
    std::optional<int> image_code; // the image was refused: -1 not found, or the load's code
    std::optional<int> first_crc;  // the first CRC32 query's answer, when not the version
    std::string error;             // the last line starting with "ERROR"
};

// Takes one line of fpflash's output (without its line end).
void all_take_line(all_progress* p, const std::string& line);

// fpflash's exit status as the program returned it (-1, not 255), from the byte its parent
// saw and what the transcript said.
int all_status(int exit_byte, const all_progress& p);

// What a status means, for the table.
std::string all_meaning(int status, const all_progress& p);

// Where the update is, in a few words; `blocks` is the image's. `detail`: the block and the
// attempt too, for a line redrawn in place rather than one printed at each change.
std::string all_phase_text(const all_progress& p, int blocks, bool detail);

// ---- the printers (printers.cpp) ----------------------------------------------------------

// The printer class directory under runtime directory `xdg` (nullptr or "": as fpflash finds
// it), "" when it is missing or not private to this user, as fpflash would ignore it; `why`
// then says which.
std::string all_class_dir(const char* xdg, std::string* why);

// The names of the sockets in `dir`, in byte order.
std::vector<std::string> all_sockets(const std::string& dir);

// --simulate: `n` simulated printers, each its own `fpsim` with `options[k]` (the kth
// printer's, when given), published in a private runtime directory. Returns that directory,
// or "" having said why.
std::string all_simulate(const std::string& fpsim, int n,
                         const std::vector<std::vector<std::string>>& options);
// Stops the simulated printers and removes their directory.
void all_simulate_end();

// Removes `dir` and the directories of the printer class below it, once empty.
void all_remove_runtime_dir(const std::string& dir);

// A private directory under $TMPDIR (or /tmp) named from `prefix`; "" on failure.
std::string all_private_dir(const char* prefix);

// ---- one printer's update (worker.cpp) ----------------------------------------------------

// What a worker needs, all of it set before the fork.
struct all_work {
    std::string port;    // the printer's name, published as is in the private directory
    std::string socket;  // the printer's own socket, which the relay connects to
    std::string fpflash; // the program, and its one argument
    std::string image;
    int log_fd;    // the transcript goes here, and anything said on stderr
    int report_fd; // lines up to the parent: "L" a transcript line, "E" why the update could
                   // not start, "S<exit byte> <signal>" at the end
    pid_t parent;
};

// Runs in the forked child: the whole update, then the status line. Returns the child's exit
// status.
int all_worker(const all_work& w);

// ---- what the technician sees (report.cpp) ------------------------------------------------

enum all_result {
    ALL_RUNNING,
    ALL_UPDATED,
    ALL_FAILED,
    ALL_STOPPED,     // by the second Ctrl-C
    ALL_NOT_STARTED, // the first Ctrl-C came before its turn
    ALL_ABSENT,      // named on the command line, and no printer there
    ALL_LATE         // plugged in during the run
};

struct all_printer {
    std::string port;
    std::string socket;
    all_result result = ALL_RUNNING;
    all_progress progress;
    int status = 0;  // fpflash's, once it has ended
    int signal = 0;  // what ended it, when a signal did
    std::string why; // a worker that could not run fpflash says why
    std::string log;
    long long started_ms = -1;
    long long ended_ms = -1;
    // The worker's, while it runs.
    pid_t pid = -1;
    int report_fd = -1;
    std::string partial; // a report line still arriving
};

// Live lines redrawn in place where stdout is a terminal with room for them all, else plain
// lines as events happen.
void all_report_start(int blocks, size_t printers);
// Printer `i` has moved on.
void all_report_update(const std::vector<all_printer>& ps, size_t i);
// A message of the command's own, above the live lines.
void all_report_note(const std::vector<all_printer>& ps, const std::string& text);
// The final table, and how many were updated.
void all_report_table(const std::vector<all_printer>& ps);
// The table as JSON, for the tools that roll a release out. False, having complained.
bool all_report_json(const char* path, const std::vector<all_printer>& ps, const std::string& image,
                     int status);
// What a result is, in a word, and in the line of a printer that has ended.
std::string all_result_text(const all_printer& p);
