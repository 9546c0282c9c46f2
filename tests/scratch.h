// Scratch directories for tests, each removed with all it holds; in one, things an image path
// may name that are not regular files.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

// A directory of its own under /tmp, named from `prefix`.
struct scratch_dir {
    std::string path;
    explicit scratch_dir(const char* prefix) {
        std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
        if (mkdtemp(&tmpl[0]) != nullptr)
            path = tmpl;
        else
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    }
    ~scratch_dir() {
        if (!path.empty())
            nftw(
                path.c_str(),
                [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
                FTW_DEPTH | FTW_PHYS);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string write(const std::string& name, const std::string& text) const {
        if (!(std::ofstream(path + "/" + name, std::ios::binary) << text))
            ADD_FAILURE() << "cannot write " << path << "/" << name;
        return path + "/" + name;
    }
    std::string read(const std::string& name) const {
        std::ifstream f(path + "/" + name, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

class not_regular_files {
  public:
    std::string directory, fifo, socket, device = "/dev/null";

    not_regular_files() {
        if (dir.path.empty())
            return;
        directory = dir.path + "/directory";
        fifo = dir.path + "/fifo";
        socket = dir.path + "/socket";
        if (mkdir(directory.c_str(), 0700) != 0)
            ADD_FAILURE() << directory << ": " << strerror(errno);
        // No writer ever opens it.
        if (mkfifo(fifo.c_str(), 0600) != 0)
            ADD_FAILURE() << fifo << ": " << strerror(errno);
        bind_socket();
    }

    std::vector<std::string> paths() const { return {directory, fifo, socket, device}; }

  private:
    scratch_dir dir{"fpflash-not-regular-"};

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
