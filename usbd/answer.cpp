// The requests of the kit's clients, each carried out on the device of the printer at the
// client's place; a printer away re-enumerating has none, and refuses to be opened.
#include "usbd/fpusbd.h"

static printer* printer_of(const di_client* c) {
    return usbd_bus_printer(di_client_place(c));
}

static void open_printer(di_client* c, di_answer* a) {
    printer* p = printer_of(c);
    if (p == nullptr)
        a->note = " (away)";
    else if (int held = usbd_dev_hold(p, di_client_id(c), &a->note); held >= 0)
        a->ok = held == 1;
    else
        a->later = true;
}

// The requests below come on a session that opened the printer, whose clients are cut off
// when its device goes; a printer away fails them all the same.
static void select_pipe(di_client* c, int pipe, di_answer* a) {
    printer* p = printer_of(c);
    a->ok = p != nullptr && usbd_dev_select(p, pipe);
}

static void read_pipe(di_client* c, int pipe, uint32_t wanted, di_answer* a) {
    printer* p = printer_of(c);
    a->ok = p != nullptr && usbd_dev_read(p, pipe, a->data, wanted, &a->count);
}

static void write_pipe(di_client* c, int pipe, const uint8_t* data, uint32_t len, di_answer* a) {
    printer* p = printer_of(c);
    a->later = p != nullptr && usbd_dev_write(p, pipe, data, len, di_client_id(c));
}

// A client cut off went with the device, which let go of it then.
static void client_gone(di_client* c, bool cut) {
    printer* p = printer_of(c);
    if (!cut && p != nullptr)
        usbd_dev_let_go(p, di_client_id(c));
}

// A READ's bytes stay with the device until its reply is sent.
static void reply_sent(di_client* c, int pipe, const di_request& r, uint32_t count) {
    printer* p = printer_of(c);
    if (r.op == DI_OP_READ && p != nullptr)
        usbd_dev_read_sent(p, pipe, count);
}

static uint8_t endpoint_of(const di_client* c, int pipe, bool in) {
    const printer* p = printer_of(c);
    return p != nullptr ? usbd_dev_endpoint(p, pipe, in) : 0;
}

const di_driver usbd_answers = {open_printer, select_pipe, read_pipe, write_pipe,  nullptr,
                                nullptr,      client_gone, nullptr,   endpoint_of, reply_sent};
