// The capture reader past libpcap: the USB pseudo-headers of every packet, and finding the
// printer among the devices they name, on packets of any bytes.
//
// The first input byte picks the link type (USBPcap, usbmon, usbmon with 64-byte headers, or
// one the decoder must refuse); the second, whether --replay-device names 1.5. Then packets,
// each a length byte (its bytes, up to 255) and a byte of milliseconds since the one before.
// What the recording holds must be well formed whatever the packets said.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/replay.h"
#include "tests/fuzz/fuzz_check.h"

static const int LINKS[4] = {CAPTURE_USBPCAP, CAPTURE_USB_LINUX, CAPTURE_USB_LINUX_MMAPPED, 1};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    int link = LINKS[data[0] % 4];
    const char* device = data[1] % 2 != 0 ? "1.5" : nullptr;
    std::vector<capture_packet> packets;
    long total = 0;
    long long us = 0;
    for (size_t at = 2; at + 2 <= size;) {
        size_t n = std::min<size_t>(data[at], size - at - 2);
        us += data[at + 1] * 1000;
        const uint8_t* p = data + at + 2;
        at += 2 + n;
        total++;
        capture_packet c;
        if (!capture_decode(link, p, n, &c))
            continue;
        FUZZ_CHECK(link != 1, "a link type that is no USB decoded");
        FUZZ_CHECK(c.data.size() <= n, "more data than the packet holds");
        c.number = total;
        c.us = us;
        packets.push_back(c);
    }
    replay_recording r;
    std::string why;
    if (!capture_assemble(packets, total, device, &r, &why)) {
        FUZZ_CHECK(!why.empty(), "refused without saying why");
        return 0;
    }
    FUZZ_CHECK(!r.events.empty() && r.events.front().kind == REPLAY_ARRIVED,
               "a printer that never arrived");
    FUZZ_CHECK(r.skipped >= 0 && r.skipped <= total && r.other_devices <= r.skipped,
               "more skipped than there are packets");
    bool present = false;
    long where = 0;
    for (const replay_event& e : r.events) {
        FUZZ_CHECK(e.where >= where && e.where <= total, "events out of the capture's order");
        where = e.where;
        if (e.kind == REPLAY_ARRIVED || e.kind == REPLAY_LEFT) {
            FUZZ_CHECK(present != (e.kind == REPLAY_ARRIVED), "arrived or left twice in a row");
            present = e.kind == REPLAY_ARRIVED;
            continue;
        }
        FUZZ_CHECK(present, "a transfer of a printer not there");
        FUZZ_CHECK(e.kind != REPLAY_IN || !e.data.empty(), "an IN transfer that brought nothing");
        FUZZ_CHECK(e.kind != REPLAY_OUT || e.taken <= e.length, "took more than was sent");
        FUZZ_CHECK(e.kind != REPLAY_OUT || !e.known || e.data.size() == e.length,
                   "bytes known but not all of them");
    }
    return 0;
}
