#include <cstring>

#include "usbd/usbd.h"

bool usbd_fifo_put(usbd_fifo* f, const uint8_t* data, size_t n) {
    if (n > usbd_fifo_room(*f))
        return false;
    size_t tail = (f->head + f->count) % USBD_FIFO_SIZE;
    size_t first = n < USBD_FIFO_SIZE - tail ? n : USBD_FIFO_SIZE - tail;
    if (first > 0)
        memcpy(f->buf + tail, data, first);
    if (n > first)
        memcpy(f->buf, data + first, n - first);
    f->count += n;
    return true;
}

size_t usbd_fifo_peek(const usbd_fifo& f, uint8_t* out, size_t max) {
    size_t n = max < f.count ? max : f.count;
    size_t first = n < USBD_FIFO_SIZE - f.head ? n : USBD_FIFO_SIZE - f.head;
    if (first > 0)
        memcpy(out, f.buf + f.head, first);
    if (n > first)
        memcpy(out + first, f.buf, n - first);
    return n;
}

void usbd_fifo_drop(usbd_fifo* f, size_t n) {
    n = n < f->count ? n : f->count;
    f->head = (f->head + n) % USBD_FIFO_SIZE;
    f->count -= n;
}
