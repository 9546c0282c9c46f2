// Read-ahead against a device that returns arbitrary counts and failures, compared with a
// reference that keeps, per endpoint, a plain queue of the bytes the device delivered and the
// caller has not received yet.
//
// The input is consumed from the front. Each call takes an operation byte: its low four bits
// pick the endpoint (0 to 11: endpoint n % 4; 12 to 15: an endpoint outside 0..3), its high
// four bits the size (0 to 6: 64, 1024, 0, 1, 4, 528, 1025; otherwise the next two bytes,
// little-endian, below 2048). Each pipe-select takes a kind byte, kind % 8: 0 fails the select,
// 1 fails the read, 2 delivers nothing, 3 claims the next byte as count, 4 claims 1024, 5 the
// next two bytes below 2048, 6 the next two bytes, 7 the next four bytes. A claim past the
// buffer is only a claim: the device fills the buffer and no more. Once the input is spent,
// selects succeed and reads deliver nothing; then every endpoint is drained.
//
// The bytes themselves come from a hash of endpoint and position, so any loss, repeat, shift
// or mix-up of endpoints shows in the comparison.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"
#include "usb/usb.h"

static const uint8_t FILL = 0xA5;
static const uint32_t READ_SIZE = 1024;
static const int BAD_EPS[4] = {4, -1, INT_MAX, INT_MIN};
static const uint32_t SIZES[7] = {64, 1024, 0, 1, 4, 528, 1025};

static const uint8_t* in_data;
static size_t in_size;
static size_t in_pos;

enum dev_kind { SELECT_FAILS, READ_FAILS, DELIVERS };

static int selected;               // endpoint of the last successful select, -1 once its read came
static int last_select;            // endpoint the last select asked for
static dev_kind kind;              // what the read after the last select does
static uint32_t claimed;           // count it claims
static size_t ioctls;              // device calls so far
static size_t reads;               // device reads so far
static uint64_t sent[4];           // bytes delivered per endpoint so far
static std::vector<uint8_t> fresh; // what the last read delivered

// Bytes delivered and not yet received, oldest first.
struct byte_queue {
    std::vector<uint8_t> bytes;
    size_t head;
};
static byte_queue pending[4];

static size_t queue_size(const byte_queue& q) {
    return q.bytes.size() - q.head;
}

static const uint8_t* queue_front(const byte_queue& q) {
    return q.bytes.data() + q.head;
}

static void queue_pop(byte_queue& q, size_t n) {
    q.head += n;
    if (q.head == q.bytes.size() || q.head > 4 * READ_SIZE) {
        q.bytes.erase(q.bytes.begin(), q.bytes.begin() + static_cast<std::ptrdiff_t>(q.head));
        q.head = 0;
    }
}

static uint8_t device_byte(int ep, uint64_t n) {
    uint64_t x = (n + 1) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(ep + 1) << 56;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint8_t>(x);
}

static uint32_t take_le(size_t n) {
    uint32_t v = 0;
    for (size_t k = 0; k < n && in_pos < in_size; k++)
        v |= static_cast<uint32_t>(in_data[in_pos++]) << (8 * k);
    return v;
}

static bool dev_ioctl(uint32_t code) {
    ioctls++;
    FUZZ_CHECK((code & ~0xCu) == 0x950F2000u, "not a pipe-select code");
    int ep = static_cast<int>((code >> 2) & 3u);
    last_select = ep;
    kind = DELIVERS;
    claimed = 0;
    if (in_pos < in_size) {
        switch (in_data[in_pos++] % 8) {
        case 0:
            kind = SELECT_FAILS;
            break;
        case 1:
            kind = READ_FAILS;
            break;
        case 2:
            break;
        case 3:
            claimed = take_le(1);
            break;
        case 4:
            claimed = READ_SIZE;
            break;
        case 5:
            claimed = take_le(2) & 0x7FFu;
            break;
        case 6:
            claimed = take_le(2);
            break;
        default:
            claimed = take_le(4);
            break;
        }
    }
    if (kind == SELECT_FAILS) {
        selected = -1;
        return false;
    }
    selected = ep;
    return true;
}

static bool dev_read(uint8_t* buf, uint32_t size, uint32_t* count) {
    FUZZ_CHECK(selected >= 0, "device read without a pipe-select before it");
    FUZZ_CHECK(size == READ_SIZE, "a device read must ask for 1024 bytes");
    int ep = selected;
    selected = -1;
    reads++;
    fresh.clear();
    if (kind == READ_FAILS)
        return false;
    uint32_t n = claimed < size ? claimed : size;
    uint8_t* out = buf;
    for (uint32_t k = 0; k < n; k++)
        out[k] = device_byte(ep, sent[ep]++);
    fresh.assign(out, out + n);
    *count = claimed;
    return true;
}

static const fake_backend device = {nullptr, nullptr, nullptr, dev_ioctl, dev_read, nullptr};

// Held counts of every endpoint; held bytes of `only` (all endpoints when -1).
static void check_records(int only) {
    for (int e = 0; e < 4; e++) {
        const epInfo& ep = ep_data[e];
        FUZZ_CHECK(ep.addr <= READ_SIZE, "read-ahead holds more than one device read");
        FUZZ_CHECK(ep.addr == queue_size(pending[e]), "held count differs from the reference");
        if (only >= 0 && e != only)
            continue;
        FUZZ_CHECK(ep.addr == 0 || memcmp(ep.buf, queue_front(pending[e]), ep.addr) == 0,
                   "held bytes differ from the reference");
    }
}

static void one_read(int ep, uint32_t size) {
    // Exactly `size` bytes, and a real pointer even for none, as every caller has.
    std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
    memset(out.get(), FILL, size);
    size_t ioctls_before = ioctls, reads_before = reads;
    int res = readUSB(out.get(), size, ep);
    size_t new_ioctls = ioctls - ioctls_before, new_reads = reads - reads_before;

    if (ep < 0 || ep > 3) {
        FUZZ_CHECK(res == -1, "an endpoint outside 0..3 must give -1");
        FUZZ_CHECK(new_ioctls == 0 && new_reads == 0, "device touched for a bad endpoint");
        for (uint32_t k = 0; k < size; k++)
            FUZZ_CHECK(out[k] == FILL, "caller's buffer written for a bad endpoint");
        check_records(-1);
        return;
    }

    byte_queue& q = pending[ep];
    size_t held = queue_size(q);
    long want;
    if (held > 0 && held >= size) {
        FUZZ_CHECK(new_ioctls == 0, "device touched although enough bytes were held");
        want = size;
    } else {
        FUZZ_CHECK(new_ioctls == 1, "one pipe-select per device read");
        FUZZ_CHECK(last_select == ep, "selected another endpoint's pipe");
        FUZZ_CHECK(new_reads == (kind == SELECT_FAILS ? 0u : 1u), "one device read per call");
        if (kind == DELIVERS) {
            q.bytes.insert(q.bytes.end(), fresh.begin(), fresh.end());
            want = static_cast<long>(queue_size(q) < size ? queue_size(q) : size);
        } else {
            want = held > 0 ? static_cast<long>(held) : -1;
        }
    }
    FUZZ_CHECK(res == want, "result differs from the reference");
    if (want > 0) {
        size_t n = static_cast<size_t>(want);
        FUZZ_CHECK(memcmp(out.get(), queue_front(q), n) == 0, "caller got other bytes");
        queue_pop(q, n);
    }
    check_records(ep);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    in_data = data;
    in_size = size;
    in_pos = 0;
    selected = -1;
    ioctls = reads = 0;
    for (int e = 0; e < 4; e++) {
        ep_data[e].addr = 0;
        sent[e] = 0;
        pending[e].bytes.clear();
        pending[e].head = 0;
    }
    fake_log.clear();
    fake_backend_in_use = &device;

    while (in_pos < in_size) {
        uint8_t op = in_data[in_pos++];
        int sel = op & 0x0F;
        int ep = sel < 12 ? sel % 4 : BAD_EPS[sel - 12];
        int sz = op >> 4;
        uint32_t want = sz < 7 ? SIZES[sz] : take_le(2) & 0x7FFu;
        one_read(ep, want);
    }
    // Nothing may stay behind: an empty device hands out all that is held.
    for (int e = 0; e < 4; e++) {
        one_read(e, 2 * READ_SIZE);
        FUZZ_CHECK(queue_size(pending[e]) == 0 && ep_data[e].addr == 0,
                   "bytes left after draining");
    }
    fake_backend_in_use = nullptr;
    return 0;
}
