// Things an image path may name that are not regular files, made under a directory of their
// own and removed with it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

class not_regular_files {
  public:
    std::string directory, fifo, socket, device = "/dev/null";

    not_regular_files() {
        char tmpl[] = "/tmp/fpflash-not-regular-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
            return;
        }
        dir = tmpl;
        directory = dir + "/directory";
        fifo = dir + "/fifo";
        socket = dir + "/socket";
        if (mkdir(directory.c_str(), 0700) != 0)
            ADD_FAILURE() << directory << ": " << strerror(errno);
        // No writer ever opens it.
        if (mkfifo(fifo.c_str(), 0600) != 0)
            ADD_FAILURE() << fifo << ": " << strerror(errno);
        bind_socket();
    }
    ~not_regular_files() {
        for (const std::string& p : {socket, fifo, directory})
            remove(p.c_str());
        rmdir(dir.c_str());
    }
    not_regular_files(const not_regular_files&) = delete;
    not_regular_files& operator=(const not_regular_files&) = delete;

    std::vector<std::string> paths() const { return {directory, fifo, socket, device}; }

  private:
    std::string dir;

    // The socket file stays after its descriptor is closed.
    void bind_socket() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", socket.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            ADD_FAILURE() << socket << ": " << strerror(errno);
        if (fd >= 0)
            close(fd);
    }
};
