// The kit every driver of the Linux device-interface contract (di/contract.h) shares: fpsim,
// fpusbd and the tests' emulated USB bus. The daemon's plumbing (daemon.cpp): the timestamped
// log, warnings and complaints by level, the stop signals and the --ready file. Publishing
// (publish.cpp): the class directory, created private where it is missing, and one listening
// socket per interface in it; one class directory per process. Requests (request.cpp):
// receiving one, checking it against the contract and the client's session, its one log line
// and its reply. The clients (clients.cpp): the one loop that accepts, reads, checks, hands each
// request to the driver and replies. The command line (options.cpp): options as tables.
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

// Starts the log's clock and names the program in its warnings and complaints.
void di_start(const char* program);

// Milliseconds since di_start.
long long di_now_ms();

// Opens the log, emptied first when `fresh`. Every line goes in one write at the end of the
// file, so a testbed and the driver it runs can share one. Returns false, having complained.
bool di_log_open(const char* path, bool fresh);
void di_log_close();

// One line in the log, after the seconds since the start; nothing without a log. The request
// trail and everything that goes as it should.
void di_log(const char* fmt, ...) DI_PRINTF_LIKE;

// What went wrong, whatever the options: one line on stderr after the program's name (under
// systemd, the journal's, at its level) and the same in the log. A warning is what the driver
// gets over (a printer gone mid-transfer, a claim refused, bytes lost); a complaint, what stops
// it or what it cannot do at all.
void di_warn(const char* fmt, ...) DI_PRINTF_LIKE;
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

// ---- the clients (clients.cpp) ------------------------------------------------------------

// One connection to a published interface: its session, the place (the interface) it came to,
// and what the driver keeps for it. The kit's own; a driver reaches it by the functions below.
struct di_client;

// A driver's answer to one request.
struct di_answer {
    bool ok = false;
    uint32_t count = 0; // a WRITE's bytes taken, a READ's in `data`
    uint8_t data[DI_TRANSFER_MAX];
    const char* note = ""; // at the end of the request's log line
    // The answer comes later, by di_client_answer; nothing more is read from the client
    // until then.
    bool later = false;
    size_t send_max = DI_TRANSFER_MAX; // of a READ's bytes, how many go with the reply
    bool close = false;                // the connection is closed after the reply
};

// What a driver does with its clients' requests; the kit checks each against the contract
// and the session first, and what fails there never reaches the driver.
struct di_driver {
    void (*open)(di_client* c, di_answer* a);
    void (*ioctl)(di_client* c, int pipe, di_answer* a);
    void (*read)(di_client* c, int pipe, uint32_t wanted, di_answer* a);
    void (*write)(di_client* c, int pipe, const uint8_t* data, uint32_t len, di_answer* a);
    // Optional, in place of the four above: every request checked, as it came, with the pipe
    // selected before it (fpsim --replay answers as the recorded printer did). False: no
    // answer, the client goes.
    bool (*request)(di_client* c, int pipe, const di_request& r, di_answer* a);
    // Optional: a client came; it has gone (closed, lost, or `cut` off as its device went, or
    // at the end).
    void (*connected)(di_client* c);
    void (*gone)(di_client* c, bool cut);
    // Optional: the next whole request of `c` into `buf`, as di_receive returns it, for a
    // transport that frames a stream itself (fpsim's TCP bridge).
    long (*receive)(di_client* c, uint8_t (&buf)[DI_RECEIVE_SIZE]);
    // Optional: the USB endpoint a READ (`in`) or WRITE on `pipe` goes to, for the trace.
    uint8_t (*endpoint)(const di_client* c, int pipe, bool in);
    // Optional: the reply to `r`, made on `pipe`, went whole, with `sent` bytes of a READ's
    // data: a driver keeps those bytes until then, as a reply that can't go would lose them.
    void (*sent)(di_client* c, int pipe, const di_request& r, uint32_t sent);
};

// Serves every client with `d`, at most `per_place` of them at one interface.
void di_clients_start(const di_driver& d, size_t per_place);

// A client on `fd`, connected to `place` (named `where` when one is refused): its id, or -1
// when that place has its fill, the connection closed with a warning.
int di_client_add(int fd, void* place, const char* where);

// Every connection waiting on the listening socket `listen_fd`, as di_client_add takes them.
void di_clients_accept(int listen_fd, void* place, const char* where);

// The clients' descriptors to poll, appended to `fds`: all but those waiting for an answer.
void di_clients_poll(std::vector<struct pollfd>* fds);

// Serves the clients that the last di_clients_poll put in `fds` from `from` on and that poll
// found ready, as long as `go_on` (nullptr: always) says so; it is asked after every request.
void di_clients_serve(const std::vector<struct pollfd>& fds, size_t from, bool (*go_on)());

// The answer to the request of client `id` that was to be answered later; nothing when the
// client has gone meanwhile.
void di_client_answer(int id, const di_answer& a);

// Every client of `place` cut off, as its device goes; watchers stay.
void di_clients_cut(const void* place);

// Every client closed, at the end: no line in the log.
void di_clients_close();

int di_client_id(const di_client* c);
int di_client_fd(const di_client* c);
void* di_client_place(const di_client* c);
void* di_client_data(const di_client* c);
void di_client_set_data(di_client* c, void* data);

// A watcher asks nothing: it is told the interface's presence by a byte, at once and by
// di_clients_tell (fpsim's TCP bridge, where no socket comes and goes). One that sends
// anything is closed.
void di_client_watch(di_client* c);
bool di_client_watching(const di_client* c);
void di_clients_tell(uint8_t present);

// ---- the command line (options.cpp) -------------------------------------------------------

// Takes an argument into `target`, the object its table sets. Returns nullptr, or why the
// argument is no good.
typedef const char* (*di_setter)(void* target, const char* arg);

// One option, written once: the parser, --help and the man page's OPTIONS are made from
// tables of them.
struct di_option {
    const char* name; // without the dashes
    const char* arg;  // the argument's name in --help; nullptr for a flag
    int group;        // which heading of --help it stands under
    const char* help; // lines separated by '\n'
    di_setter set;    // its argument, nullptr for a flag
};

// A table of options and the object they set. A program that takes operands gives one table
// an `operand` setter, which takes each into the same object, in order, wherever they stand;
// without one they are refused.
struct di_table {
    const di_option* options;
    size_t count;
    void* target;
    di_setter operand = nullptr;
};

template <size_t N>
di_table di_table_of(const di_option (&options)[N], void* target, di_setter operand = nullptr) {
    return {options, N, target, operand};
}

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

// Parses argv against `tables`, and --help and --version; --man-options prints the options
// as the man page's OPTIONS has them (roff). Returns -1 to go on, or the status to exit with
// after one of those or a bad command line (said on stderr as "PROGRAM: ... (see PROGRAM
// --help)").
int di_parse_options(int argc, char** argv, const di_usage& u, const std::vector<di_table>& tables);
