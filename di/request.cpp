#include <cerrno>
#include <cstring>

#include <sys/socket.h>

#include "di/kit.h"

long di_receive(int fd, uint8_t (&buf)[DI_RECEIVE_SIZE]) {
    ssize_t n;
    do {
        n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (n <= 0)
        return -1;
    const long most = static_cast<long>(sizeof(buf));
    return n < most ? n : most;
}

bool di_check(const di_session& s, const uint8_t* packet, size_t len, di_request* r) {
    *r = {0, 0, nullptr, len};
    if (len < DI_HEADER_SIZE)
        return false;
    r->op = packet[0];
    r->value = di_get_u32(packet + 1);
    r->payload = packet + DI_HEADER_SIZE;
    bool bare = len == DI_HEADER_SIZE;
    switch (r->op) {
    case DI_OP_OPEN:
        return bare && r->value == DI_ACCESS && !s.open;
    case DI_OP_IOCTL:
        return bare && s.open && di_pipe_endpoint(r->value) >= 0;
    case DI_OP_READ:
        return bare && s.open && s.pipe >= 0 && r->value >= 1 && r->value <= DI_TRANSFER_MAX;
    case DI_OP_WRITE:
        return s.open && s.pipe >= 0 && r->value <= DI_TRANSFER_MAX &&
               len == DI_HEADER_SIZE + r->value;
    default:
        return false;
    }
}

uint32_t di_answered(di_session* s, const di_request& r, bool ok, uint32_t count,
                     const char* note) {
    if (!ok)
        count = 0;
    if (r.len < DI_HEADER_SIZE) {
        di_log("#%d request of %zu bytes: refused", s->id, r.len);
        return 0;
    }
    switch (r.op) {
    case DI_OP_OPEN:
        if (ok)
            *s = {s->id, true, -1};
        di_log("#%d OPEN 0x%08X: %s%s", s->id, r.value, ok ? "ok" : "refused", note);
        break;
    case DI_OP_IOCTL:
        if (ok)
            s->pipe = di_pipe_endpoint(r.value);
        di_log("#%d IOCTL 0x%08X: %s%s", s->id, r.value, ok ? "ok" : "failed", note);
        break;
    case DI_OP_READ:
    case DI_OP_WRITE:
        di_log("#%d %s %u: %s %u%s", s->id, r.op == DI_OP_READ ? "READ" : "WRITE", r.value,
               ok ? "ok" : "failed", count, note);
        break;
    default:
        di_log("#%d op %u: refused", s->id, r.op);
        break;
    }
    return count;
}

bool di_reply(int fd, bool ok, uint32_t count, const uint8_t* data, size_t size) {
    uint8_t reply[DI_PACKET_MAX];
    if (size > DI_TRANSFER_MAX)
        size = DI_TRANSFER_MAX;
    di_header(reply, ok ? DI_SUCCESS : DI_FAILURE, count);
    if (size > 0)
        memcpy(reply + DI_HEADER_SIZE, data, size);
    size_t len = DI_HEADER_SIZE + size;
    return send(fd, reply, len, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}
