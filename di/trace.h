// A trace: what went between fpflash and a printer, as `fpusbd --record` writes it and
// `fpsim --replay` plays it back, so that a real printer's behaviour becomes a test.
//
// Text, one exchange per line, so that a person can read it and diff two of them. The first
// line is "fpflash-trace 1"; a line that starts with '#' is a comment. Every other line is
// "+MS WHAT": the milliseconds since the line before, then what happened:
//
//   arrived PORT VID:PID interface N out 0x01,0x03 in 0x81,0x83   a device on the bus
//   left PORT VID:PID                                             ... gone from it
//   published NAME / unpublished NAME                             its socket
//   #ID connected / #ID closed / #ID cut                          a client's connection
//   #ID OPEN 0xC0000000 ok|failed                                 a request and its answer:
//   #ID IOCTL 0x950F200C ok|failed                                  the pipe-select,
//   #ID READ WANTED 0x83 ok COUNT [HEX] | failed                    what the printer had sent,
//   #ID WRITE LENGTH 0x03 HEX|none|- ok COUNT | failed              what it took ('-': bytes
//   #ID SHORT LENGTH failed / #ID OPn 0xVALUE failed                left out), a packet too
//   bulk in 0x83 COUNT HEX | bulk in 0x83 error NAME                short or of no known op;
//                                                                   a bulk IN transfer back
// Bytes are lower-case hex, two digits each; an endpoint is '-' where no pipe was selected, a
// list of them '-' where there is none.
// The replay plays the bus: the printer's arrivals and departures, the WRITEs that reached an
// endpoint and the bulk IN transfers; the rest says what the client asked, and when.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "di/kit.h"

const char DI_TRACE_HEADER[] = "fpflash-trace 1";

// ---- writing (fpusbd) ---------------------------------------------------------------------

// Starts a trace at `path`, which must not exist yet: a trace is evidence, never overwritten.
// `blocks`: the image's records (WRITEs of 528 bytes) are written whole; otherwise only their
// length and answer. `comment` goes on the second line. Returns false, having complained.
bool di_trace_start(const char* path, bool blocks, const std::string& comment);
void di_trace_end();

// One line that is not a request: "+MS " and the text.
void di_trace(const char* fmt, ...) DI_PRINTF_LIKE;

// Bytes as the trace writes them.
std::string di_hex(const uint8_t* p, size_t n);

// A request of client `id` and its answer: `endpoint` the USB endpoint of its pipe (0: none),
// `data` a READ's `count` bytes.
void di_trace_request(int id, const di_request& r, uint8_t endpoint, bool ok, uint32_t count,
                      const uint8_t* data);

// ---- reading (fpsim --replay) -------------------------------------------------------------

enum di_trace_kind {
    DI_TRACE_REQUEST,
    DI_TRACE_PUBLISHED,
    DI_TRACE_UNPUBLISHED,
    DI_TRACE_CUT,
    DI_TRACE_ARRIVED,
    DI_TRACE_LEFT,
    DI_TRACE_BULK_IN,
    DI_TRACE_OTHER
};

struct di_trace_entry {
    int line;
    long long gap_ms;
    di_trace_kind kind;
    int client; // #ID of a request or a cut
    // A request: op (DI_TRACE_SHORT for a packet too short to have one), value (a SHORT
    // packet's length) and the payload of a WRITE, unless it was left out. A device that
    // arrived: VID << 16 | PID in value, its bulk endpoints in payload.
    int op;
    uint32_t value;
    bool payload_known;
    std::vector<uint8_t> payload;
    // Its answer.
    bool ok;
    uint32_t count;
    std::vector<uint8_t> data; // also what a bulk IN transfer brought
    std::string text;          // the line after its time, for messages
    uint8_t endpoint;          // of a READ, a WRITE or a bulk IN transfer; 0 for '-'
};

const int DI_TRACE_SHORT = -1;

// Reads a whole trace into `out`. Returns false with `why` naming the first line that is not
// one of the forms above.
bool di_trace_read(const char* path, std::vector<di_trace_entry>* out, std::string* why);
