// The kit every driver of the Linux device-interface contract (di/contract.h) shares: fpsim,
// fpusbd and the tests' emulated USB bus. The daemon's plumbing (daemon.cpp): the timestamped
// log, complaints, the stop signals and the --ready file. Publishing (publish.cpp): the class
// directory, created private where it is missing, and one listening socket per interface in
// it; one class directory per process. Requests (request.cpp): receiving one, checking it
// against the contract and the client's session, its one log line and its reply. The command
// line (options.cpp): options as one table.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include <poll.h>

#include "di/contract.h"

#if defined(__GNUC__)
#define DI_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define DI_PRINTF_LIKE
#endif

// ---- the daemon (daemon.cpp) --------------------------------------------------------------

// Exit statuses of the drivers.
enum { DI_EXIT_OK = 0, DI_EXIT_FAILED = 1, DI_EXIT_USAGE = 2 };

// Starts the log's clock and names the program in its complaints, which go to the log too,
// among the requests, when `complaints_logged`.
void di_start(const char* program, bool complaints_logged);

// Milliseconds since di_start.
long long di_now_ms();

// Opens the log, emptied first when `fresh`. Every line goes in one write at the end of the
// file, so a testbed and the driver it runs can share one. Returns false, having complained.
bool di_log_open(const char* path, bool fresh);
void di_log_close();

// One line in the log, after the seconds since the start; nothing without a log.
void di_log(const char* fmt, ...) DI_PRINTF_LIKE;

// One line on stderr, after the program's name.
void di_complain(const char* fmt, ...) DI_PRINTF_LIKE;

// The stop signals are SIGINT, SIGTERM and SIGHUP, and SIGUSR1 too for `release` (fpsim's
// --hold). They are blocked and SIGPIPE ignored, so that a request is always answered whole:
// a loop lets them in only while it waits, with `wait` in ppoll, or a thread takes them with
// sigwait on `caught`. `before` is the mask from before, for a child. Threads started later
// inherit the block.
struct di_signals {
    sigset_t caught;
    sigset_t wait;
    sigset_t before;
};
void di_take_signals(bool release, di_signals* s);

// The stop signal that came, 0 until one has.
int di_stop_signal();

// Whether SIGUSR1 has come.
bool di_released();

// Waits in ppoll until one of `fds` is ready, `wake_ms` (as di_now_ms, -1 for never) has come,
// or a signal arrives that `mask` lets in (none for nullptr). Returns ppoll's result.
int di_poll(struct pollfd* fds, size_t n, long long wake_ms, const sigset_t* mask);

// Writes "PID<rest>\n" to `path`, whole under another name first, so that a reader never sees
// half a line. Returns false, having complained.
bool di_write_ready(const char* path, const std::string& rest);

// ---- publishing (publish.cpp) -------------------------------------------------------------

// A published interface: its listening socket and the file that socket is.
struct di_socket {
    int listen_fd = -1;
    uint64_t dev = 0;
    uint64_t ino = 0;
};

// Opens the printer class directory under the base directory, creating both with DI_DIR_MODE
// where missing; one of the user's that others may write to is used, with a warning (clients
// will find nothing in it). Returns false, having complained, when it can't be opened or
// either directory belongs to another user.
bool di_open_class_dir();
const std::string& di_class_path();
void di_close_class_dir();

// Publishes interface `name` as a non-blocking listening socket. A socket of that name left
// by a driver that died is removed first; one that answers belongs to a live driver and stops
// this one. Returns false, having complained.
bool di_publish(const std::string& name, di_socket* s);

// Closes the socket and removes its file, unless another driver has taken the name since.
void di_unpublish(const std::string& name, di_socket* s);

// Whether `name` may be an interface's file name: not empty, no '/', not "." or "..", at most
// 255 bytes.
bool di_name_usable(const std::string& name);

// Removes every socket still published, from any thread: the last thing a stop that the
// driver's loop cannot answer does.
void di_unpublish_all_now();

// ---- requests (request.cpp) ---------------------------------------------------------------

// A client's place in the contract: an OPEN, then a pipe-select before each READ or WRITE.
struct di_session {
    int id;    // its number in the log
    bool open; // its OPEN succeeded
    int pipe;  // the endpoint its last pipe-select named, -1 before one
};

// One request as a client sent it.
struct di_request {
    uint8_t op;
    uint32_t value;
    const uint8_t* payload; // WRITE's bytes
    size_t len;             // the whole packet's
};

// Room for the largest request and a byte more, so that one past it shows.
const size_t DI_RECEIVE_SIZE = DI_PACKET_MAX + 1;

// Takes one packet from `fd` without waiting. Returns its length (one past the largest request
// cut to DI_RECEIVE_SIZE, never read past the buffer), 0 when none is waiting, -1 when the
// client has gone.
long di_receive(int fd, uint8_t (&buf)[DI_RECEIVE_SIZE]);

// Reads the packet into `r` and says whether the driver is to carry the request out: well
// formed, and in its place in the session. One that is not fails as it stands.
bool di_check(const di_session& s, const uint8_t* packet, size_t len, di_request* r);

// After the driver's answer (`ok`, `count`): the session takes a good OPEN or pipe-select, and
// the request's one log line is written ("#3 OPEN 0xC0000000: ok", "#3 WRITE 528: ok 528"),
// `note` at its end. Returns the count to reply with, 0 on failure.
uint32_t di_answered(di_session* s, const di_request& r, bool ok, uint32_t count, const char* note);

// Sends the reply: the status and `count`, then `size` bytes of `data` (a READ's). Returns
// false when it could not go whole at once: a client that doesn't take its replies must not
// stall the printer for the others.
bool di_reply(int fd, bool ok, uint32_t count, const uint8_t* data, size_t size);

// ---- the command line (options.cpp) -------------------------------------------------------

// One option, written once: the parser and --help are made from a table of them.
struct di_option {
    const char* name; // without the dashes
    const char* arg;  // the argument's name in --help; nullptr for a flag
    int group;        // which heading of --help it stands under
    const char* help; // lines separated by '\n'
    // Takes the argument (nullptr for a flag) into the program's settings. Returns nullptr,
    // or why the argument is no good.
    const char* (*set)(const char* arg);
};

// A setter's "taken", and its answer when the argument is or is not one it takes.
const char* const DI_TAKEN = nullptr;
inline const char* di_usable(bool ok) {
    return ok ? DI_TAKEN : "not a usable value";
}

// A whole number in `base` (0: as C writes it) from lo to hi, and nothing after it.
bool di_parse_long(const char* s, int base, long lo, long hi, long* out);

// What --help shows around the options.
struct di_usage {
    const char* program;
    const char* intro;           // opens --help
    const char* const* headings; // one per group; --help and --version stand under the first
    int groups;
    int help_column;
};

// Parses argv against `options`, and --help and --version. Returns -1 to go on, or the status
// to exit with after --help, --version or a bad command line (said on stderr as
// "PROGRAM: ... (see PROGRAM --help)"). A program that takes arguments besides its options gets
// them in `operands`, in order, wherever they stand; without it they are refused.
int di_parse_options(int argc, char** argv, const di_usage& u,
                     const std::vector<di_option>& options,
                     std::vector<const char*>* operands = nullptr);
