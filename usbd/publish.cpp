// Each printer's socket in the class directory, under its port's name.
#include "usbd/daemon.h"

bool publish(printer* p) {
    if (!di_publish(p->name, &p->sock))
        return false;
    di_log("published %s/%s", di_class_path().c_str(), p->name.c_str());
    return true;
}

void unpublish(printer* p) {
    if (p->sock.listen_fd < 0)
        return;
    di_unpublish(p->name, &p->sock);
    di_log("unpublished %s", p->name.c_str());
}
