// The kit every driver of the Linux device-interface contract (di/contract.h) shares: fpsim,
// fpusbd and the tests' emulated USB bus. The daemon's plumbing (daemon.cpp): the timestamped
// log, complaints, the stop signals and the --ready file. Publishing (publish.cpp): the class
// directory, created private where it is missing, and one listening socket per interface in
// it; one class directory per process.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

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

// Removes every socket still published, from any thread: the last thing a stop that the
// driver's loop cannot answer does.
void di_unpublish_all_now();
