// fpsim --replay: a printer played back, in the model's place, from a recording of a real one:
// a trace that fpusbd --record wrote (di/trace.h), or a capture of the USB bus (pcap or
// pcapng, from USBPcap on Windows or usbmon on Linux, read through libpcap).
//
// Both become the same thing, the printer's bus: when it arrived and left, what each bulk OUT
// transfer carried and whether the printer took it, what each bulk IN transfer brought. The
// replay answers as that printer would whatever the client's pattern of requests: a WRITE
// must carry the next OUT transfer the printer took (an image record left out of the
// recording is matched by its length), a READ gets the bytes the printer had sent on that
// endpoint by then, counted from the OUT transfer before them as in the recording, and the
// printer goes and comes back where it did. The first WRITE the printer never took at that
// point ends the replay, naming the file, the packet or line, and what differs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "di/kit.h"

// ---- the recording ------------------------------------------------------------------------

enum replay_kind { REPLAY_ARRIVED, REPLAY_LEFT, REPLAY_OUT, REPLAY_IN };

struct replay_event {
    replay_kind kind;
    long long us; // since the recording's start
    long where;   // its packet (from 1, as Wireshark counts them) or line
    uint8_t endpoint;
    // OUT: the printer took it, `taken` bytes of `length`; `known`: its bytes are in `data`,
    // not only their length. IN: `data` is what it brought.
    bool ok;
    bool known;
    uint32_t length;
    uint32_t taken;
    std::vector<uint8_t> data;
    // ARRIVED: its ID (0 when the recording has no descriptor of it) and bulk endpoints,
    // bit N for OUT 0x0N and bit 16 + N for IN 0x8N.
    uint32_t id;
    uint32_t endpoints;
};

// An endpoint's bit in replay_event's `endpoints`.
inline uint32_t replay_endpoint_bit(uint8_t ep) {
    return (ep & 0x80) != 0 ? 1u << (16 + (ep & 0x0F)) : 1u << (ep & 0x0F);
}

// The printer's shape where nothing says otherwise: bulk pipes 1 and 3 both ways.
const uint32_t REPLAY_PRINTER_ENDPOINTS = 0x000A000Au;

struct replay_recording {
    std::string path;
    std::string form;      // "fpusbd trace", "pcapng, USBPcap", ...
    const char* unit;      // "line" or "packet"
    long units;            // lines or packets in the file
    long skipped;          // packets that were not the printer's USB traffic
    long other_devices;    // ... of which other devices' on the bus
    std::string addresses; // the printer's BUS.ADDR, one per enumeration, for captures
    std::vector<replay_event> events;
};

// ---- captures (capture.cpp) ---------------------------------------------------------------

// One USB packet as the pseudo-header of a capture tells it, LINKTYPE_USBPCAP (249),
// LINKTYPE_USB_LINUX (189) or LINKTYPE_USB_LINUX_MMAPPED (220).
struct capture_packet {
    long number;
    long long us;
    uint16_t bus;
    uint16_t address;
    uint8_t endpoint;          // with its direction bit
    uint8_t transfer;          // 0 isochronous, 1 interrupt, 2 control, 3 bulk
    bool completion;           // handed back to the host, as opposed to submitted
    bool ok;                   // a completion without error
    bool gone;                 // ... whose error says the device is no longer there
    bool counted;              // `length` is what the transfer moved (usbmon's completions)
    uint64_t id;               // pairs a submission with its completion
    uint32_t length;           // the transfer's length as the header gives it
    std::vector<uint8_t> data; // the bytes captured, at most those the header announces
};

const int CAPTURE_USBPCAP = 249;
const int CAPTURE_USB_LINUX = 189;
const int CAPTURE_USB_LINUX_MMAPPED = 220;

// Decodes one packet of `link` from the `caplen` bytes captured. Returns false when they hold
// no whole pseudo-header of that link type.
bool capture_decode(int link, const uint8_t* p, size_t caplen, capture_packet* out);

// Finds the printer among the devices of `packets` (every packet of the file, decoded or not:
// `total`) and makes its recording: `device` ("BUS.ADDR", may be null) picks one of several.
// Returns false with `why` saying what was found instead.
bool capture_assemble(const std::vector<capture_packet>& packets, long total, const char* device,
                      replay_recording* out, std::string* why);

// Reads a capture through libpcap into `out`. Returns false with `why`, which names the file.
bool capture_read(const char* path, const char* device, replay_recording* out, std::string* why);

// ---- the replay (replay.cpp) --------------------------------------------------------------

// Reads a trace or a capture; `device` as for capture_assemble. Returns false, having
// complained, when it is neither or holds no printer.
bool replay_load(const char* path, const char* device);

// Prints what a recording holds about the printer to stdout. Returns false, having
// complained, when it can't be loaded.
bool replay_summary(const char* path, const char* device);

// Plays what the recording holds before its next OUT transfer, as far as its time has come.
// Returns whether the printer is there now.
bool replay_published();

// When the next of those is due, as di_now_ms; -1 when nothing waits for the clock.
long long replay_due();

// Answers request `r` of connection `id`, whose selected pipe is `pipe`, as the printer
// would: `*ok`, `*count` and a READ's `data` (DI_TRANSFER_MAX bytes of room). Returns false
// when it is a WRITE the printer never took at that point: the replay is over.
bool replay_answer(int id, int pipe, const di_request& r, bool* ok, uint32_t* count, uint8_t* data);

// Whether a WRITE went where the recording has none.
bool replay_diverged();

// The image's records the printer took (WRITEs of a record's length, answered whole), one
// equal to the last it took being that record sent again: what --save writes.
const std::vector<uint8_t>& replay_kept();
