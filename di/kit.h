// The driver's side of the Linux device-interface contract (di/contract.h): the class
// directory, created private where it is missing, and one listening socket per interface in
// it. Shared by every driver that publishes printers (fpsim, fpusbd); one class directory per
// process.
#pragma once

#include <cstdint>
#include <string>

// Where a driver's complaints go ("cannot create ...", "warning: ... not private ...").
typedef void (*di_complain_fn)(const char* fmt, ...);

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
bool di_open_class_dir(di_complain_fn complain);
const std::string& di_class_path();
void di_close_class_dir();

// Publishes interface `name` as a non-blocking listening socket. A socket of that name left
// by a driver that died is removed first; one that answers belongs to a live driver and stops
// this one. Returns false, having complained.
bool di_publish(const std::string& name, di_socket* s);

// Closes the socket and removes its file, unless another driver has taken the name since.
void di_unpublish(const std::string& name, di_socket* s);
