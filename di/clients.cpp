// The clients of every interface a driver publishes, fpsim's and fpusbd's alike: their list,
// ids and sessions; accepting, reading, checking, handing the request to the driver, the log
// line, the trace and the reply; cutting and closing.
#include <algorithm>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "di/kit.h"
#include "di/trace.h"

struct di_client {
    int fd;
    di_session s;
    void* place;
    void* data;
    bool watching;
    // A request to be answered later, kept whole: nothing more is read until then.
    bool waiting;
    uint8_t pending[DI_PACKET_MAX];
    size_t pending_len;
};

static di_driver driver;
static size_t per_place = 1;
static std::vector<di_client*> clients;
static int next_id = 1;
// The ids of the clients the last di_clients_poll put in its fds, in their order.
static std::vector<int> polled;

void di_clients_start(const di_driver& d, size_t most) {
    driver = d;
    per_place = most;
    next_id = 1;
}

static di_client* find(int id) {
    for (di_client* c : clients)
        if (c->s.id == id)
            return c;
    return nullptr;
}

int di_client_add(int fd, void* place, const char* where) {
    size_t there = static_cast<size_t>(std::count_if(
        clients.begin(), clients.end(), [place](const di_client* c) { return c->place == place; }));
    if (there >= per_place) {
        close(fd);
        di_warn("%s: a connection refused: %zu clients are connected already", where, there);
        return -1;
    }
    di_client* c = new di_client{fd, {next_id++, false, -1}, place, nullptr, false, false, {}, 0};
    clients.push_back(c);
    di_log("#%d connected", c->s.id);
    di_trace("#%d connected", c->s.id);
    if (driver.connected != nullptr)
        driver.connected(c);
    return c->s.id;
}

void di_clients_accept(int listen_fd, void* place, const char* where) {
    for (int fd; (fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        di_client_add(fd, place, where);
}

static di_request pending_request(const di_client* c) {
    return {c->pending[0], di_get_u32(c->pending + 1), c->pending + DI_HEADER_SIZE, c->pending_len};
}

static uint8_t endpoint_of(const di_client* c, const di_request& r) {
    bool data = r.op == DI_OP_READ || r.op == DI_OP_WRITE;
    if (!data || c->s.pipe < 0 || driver.endpoint == nullptr)
        return 0;
    return driver.endpoint(c, c->s.pipe, r.op == DI_OP_READ);
}

// `c` goes: closed or lost on its side (`how`), or cut off on ours.
static void drop(di_client* c, const char* how, bool cut) {
    clients.erase(std::find(clients.begin(), clients.end(), c));
    close(c->fd);
    di_log("#%d %s", c->s.id, how);
    // A request still with the device gets no answer; in the trace it failed, as it did for
    // the client, so that a replay meets it where it came.
    if (cut && c->waiting) {
        di_request r = pending_request(c);
        di_trace_request(c->s.id, r, endpoint_of(c, r), false, 0, nullptr);
    }
    di_trace("#%d %s", c->s.id, cut ? "cut" : "closed");
    if (driver.gone != nullptr)
        driver.gone(c, cut);
    delete c;
}

static void reply(di_client* c, const di_request& r, const di_answer& a) {
    uint8_t endpoint = endpoint_of(c, r);
    uint32_t count = di_answered(&c->s, r, a.ok, a.count, a.note);
    di_trace_request(c->s.id, r, endpoint, a.ok, count, a.data);
    size_t size = std::min(r.op == DI_OP_READ ? count : size_t{0}, a.send_max);
    if (!di_reply(c->fd, a.ok, count, a.data, size)) {
        drop(c, "lost", false);
        return;
    }
    if (driver.sent != nullptr)
        driver.sent(c, c->s.pipe, r, static_cast<uint32_t>(size));
    if (a.close)
        drop(c, "closed", false);
}

static void answer(di_client* c, const uint8_t* packet, size_t len) {
    di_request r;
    di_answer a;
    bool checked = di_check(c->s, packet, len, &r);
    if (checked && driver.request != nullptr) {
        if (!driver.request(c, c->s.pipe, r, &a)) {
            drop(c, "closed", false);
            return;
        }
    } else if (checked) {
        switch (r.op) {
        case DI_OP_OPEN:
            driver.open(c, &a);
            break;
        case DI_OP_IOCTL:
            driver.ioctl(c, di_pipe_endpoint(r.value), &a);
            break;
        case DI_OP_READ:
            driver.read(c, c->s.pipe, r.value, &a);
            break;
        default:
            driver.write(c, c->s.pipe, r.payload, r.value, &a);
            break;
        }
    }
    if (!a.later || len > sizeof(c->pending)) {
        reply(c, r, a);
        return;
    }
    c->waiting = true;
    memcpy(c->pending, packet, len);
    c->pending_len = len;
}

void di_client_answer(int id, const di_answer& a) {
    di_client* c = find(id);
    if (c == nullptr || !c->waiting)
        return;
    c->waiting = false;
    reply(c, pending_request(c), a);
}

void di_clients_poll(std::vector<struct pollfd>* fds) {
    polled.clear();
    for (const di_client* c : clients)
        if (!c->waiting) {
            fds->push_back({c->fd, POLLIN, 0});
            polled.push_back(c->s.id);
        }
}

// By id: a request may take other clients, or this one, with it.
static void serve(int id, bool (*go_on)()) {
    for (di_client* c; (c = find(id)) != nullptr && !c->waiting;) {
        uint8_t packet[DI_RECEIVE_SIZE];
        long n = driver.receive != nullptr ? driver.receive(c, packet) : di_receive(c->fd, packet);
        if (n < 0)
            drop(c, "closed", false);
        if (n <= 0)
            return;
        answer(c, packet, static_cast<size_t>(n));
        if (go_on != nullptr && !go_on())
            return;
    }
}

void di_clients_serve(const std::vector<struct pollfd>& fds, size_t from, bool (*go_on)()) {
    std::vector<int> ready;
    for (size_t k = 0; k < polled.size() && from + k < fds.size(); k++)
        if (fds[from + k].revents != 0)
            ready.push_back(polled[k]);
    for (int id : ready) {
        if (go_on != nullptr && !go_on())
            return;
        serve(id, go_on);
    }
}

void di_clients_cut(const void* place) {
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i]->place == place && !clients[i]->watching)
            drop(clients[i], "cut off", true);
}

void di_clients_close() {
    while (!clients.empty()) {
        di_client* c = clients.back();
        clients.pop_back();
        close(c->fd);
        if (driver.gone != nullptr)
            driver.gone(c, true);
        delete c;
    }
}

int di_client_id(const di_client* c) {
    return c->s.id;
}

int di_client_fd(const di_client* c) {
    return c->fd;
}

void* di_client_place(const di_client* c) {
    return c->place;
}

void* di_client_data(const di_client* c) {
    return c->data;
}

void di_client_set_data(di_client* c, void* data) {
    c->data = data;
}

void di_client_watch(di_client* c) {
    c->watching = true;
    di_log("#%d watching", c->s.id);
}

bool di_client_watching(const di_client* c) {
    return c->watching;
}

void di_clients_tell(uint8_t present) {
    for (size_t i = clients.size(); i-- > 0;)
        if (clients[i]->watching &&
            send(clients[i]->fd, &present, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1)
            drop(clients[i], "lost", false);
}
