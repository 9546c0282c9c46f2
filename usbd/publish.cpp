// Each printer's socket in the class directory, under its port's name.
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "usbd/daemon.h"

// The sockets published, for the stop watch to remove should the loop never come back from
// the bus. The loop holds the lock only here, never across a libusb call.
struct published_socket {
    std::string name;
    uint64_t dev;
    uint64_t ino;
};
static std::mutex published_lock;
static std::vector<published_socket> published;

bool publish(printer* p) {
    if (!di_publish(p->name, &p->sock))
        return false;
    {
        std::lock_guard<std::mutex> hold(published_lock);
        published.push_back({p->name, p->sock.dev, p->sock.ino});
    }
    log_line("published %s/%s", di_class_path().c_str(), p->name.c_str());
    return true;
}

void unpublish(printer* p) {
    if (p->sock.listen_fd < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(published_lock);
        for (size_t i = published.size(); i-- > 0;)
            if (published[i].name == p->name)
                published.erase(published.begin() + static_cast<long>(i));
    }
    di_unpublish(p->name, &p->sock);
    log_line("unpublished %s", p->name.c_str());
}

void unpublish_all_now() {
    std::lock_guard<std::mutex> hold(published_lock);
    for (const published_socket& s : published) {
        std::string path = di_class_path() + "/" + s.name;
        struct stat st;
        // Unless another driver has taken the name since.
        if (lstat(path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
            unlink(path.c_str());
    }
    published.clear();
}
