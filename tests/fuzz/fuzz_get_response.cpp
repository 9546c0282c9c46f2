// Reply framing against a device that cuts an arbitrary byte stream into arbitrary reads.
//
// The input is consumed from the front. An operation byte either empties the reply buffer
// (top two bits set, as the download does before a block) or makes one get_response call,
// with d1 and d2 given by bits 0 and 1. Each pipe-select takes one device byte: 0xFF fails the
// select, 0xFE fails the read after it, any other value n makes the read deliver the next n
// input bytes. Once the input is spent, selects succeed and reads deliver nothing.
//
// A shadow of the held bytes is decoded by a plain reference and compared after every call;
// the held count must stay within the reply buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "loader/loader.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"
#include "usb/usb.h"

static const uint8_t SELECT_FAILS = 0xFF;
static const uint8_t READ_FAILS = 0xFE;
static const uint8_t OP_RESET = 0xC0;
static const uint32_t SENTINEL = 0xA5A5A5A5u;

static const uint8_t* in_data;
static size_t in_size;
static size_t in_pos;

static bool read_armed; // a select succeeded and its read has not come yet
static bool read_fails;
static size_t read_count;
static std::vector<uint8_t> delivered; // every byte the device delivered, in order
static size_t device_reads;

static bool dev_ioctl(uint32_t code) {
    FUZZ_CHECK(code == pipe_code(EP_LOADER), "the reply framing selected another pipe");
    read_fails = false;
    read_count = 0;
    if (in_pos < in_size) {
        uint8_t h = in_data[in_pos++];
        if (h == SELECT_FAILS) {
            read_armed = false;
            return false;
        }
        if (h == READ_FAILS)
            read_fails = true;
        else
            read_count = h;
    }
    read_armed = true;
    return true;
}

static bool dev_read(uint8_t* buf, uint32_t size, uint32_t* count) {
    FUZZ_CHECK(read_armed, "device read without a pipe-select before it");
    read_armed = false;
    device_reads++;
    if (read_fails)
        return false;
    size_t n = read_count;
    if (n > in_size - in_pos)
        n = in_size - in_pos;
    FUZZ_CHECK(n <= size, "device read smaller than a scripted reply");
    if (n > 0)
        memcpy(buf, in_data + in_pos, n);
    delivered.insert(delivered.end(), in_data + in_pos, in_data + in_pos + n);
    in_pos += n;
    *count = static_cast<uint32_t>(n);
    return true;
}

static const fake_backend device = {nullptr, nullptr, nullptr, dev_ioctl, dev_read, nullptr};

struct reference_result {
    int code;
    uint32_t d1, d2;
};

static size_t sync_run(const std::vector<uint8_t>& held) {
    size_t i = 0;
    while (i < held.size() && held[i] == SYNC_BYTE)
        i++;
    return i;
}

// The front frame still lacks the repeat of its code byte or the data of a version reply.
static bool front_incomplete(const std::vector<uint8_t>& held) {
    size_t n = held.size();
    size_t i = sync_run(held);
    if (i == n)
        return false;
    if (i + 1 == n)
        return true;
    return held[i] == CODE_VERSION && held[i + 1] == CODE_VERSION && n < i + 10;
}

// Enough is held to decode without reading.
static bool ready(const std::vector<uint8_t>& held) {
    return held.size() > 3 && !front_incomplete(held);
}

static bool room(const std::vector<uint8_t>& held) {
    return held.size() + REPLY_READ_SIZE <= BUF_IN_SIZE;
}

// The frame at the start of `held`, consuming it the way the loader's framing is defined.
static reference_result reference_decode(std::vector<uint8_t>& held) {
    size_t n = held.size();
    size_t i = sync_run(held);
    if (front_incomplete(held)) {
        if (room(held))
            return {RESP_SHORT, 0, 0};
        held.clear();
        return {RESP_NO_FRAME, 0, 0};
    }
    if (i == n || held[i + 1] != held[i]) {
        held.clear();
        return {RESP_NO_FRAME, 0, 0};
    }
    int code = held[i];
    if (code == CODE_VERSION) {
        uint32_t w[2] = {0, 0};
        for (int k = 0; k < 8; k++)
            w[k / 4] |= static_cast<uint32_t>(held[i + 2 + static_cast<size_t>(k)])
                        << (8 * (k % 4));
        held.clear();
        return {code, w[0], w[1]};
    }
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(i + 2));
    return {code, 0, 0};
}

// Bytes readUSB has handed out of endpoint 3 so far; the rest of `delivered` is read-ahead.
static size_t taken() {
    FUZZ_CHECK(ep_data[EP_LOADER].addr <= delivered.size(), "read-ahead holds bytes never read");
    return delivered.size() - ep_data[EP_LOADER].addr;
}

static void check_held(const std::vector<uint8_t>& held) {
    FUZZ_CHECK(buf_in_adr >= 0 && buf_in_adr <= BUF_IN_SIZE, "held count out of its bound");
    FUZZ_CHECK(static_cast<size_t>(buf_in_adr) == held.size(), "held count differs");
    FUZZ_CHECK(held.empty() || memcmp(buf_in, held.data(), held.size()) == 0, "held bytes differ");
}

static void one_call(uint8_t op, std::vector<uint8_t>& held) {
    uint32_t d1 = SENTINEL, d2 = SENTINEL;
    uint32_t* p1 = (op & 1) ? &d1 : nullptr;
    uint32_t* p2 = (op & 2) ? &d2 : nullptr;
    size_t before = taken();
    size_t reads_before = device_reads;
    fake_clock_ms = 0;

    int res = get_response(p1, p2);

    FUZZ_CHECK(res == RESP_SHORT || res == RESP_NO_FRAME || (res >= 0 && res <= 255),
               "result is neither -1, -2 nor a code byte");
    size_t after = taken();
    reference_result want;
    if (ready(held) || !room(held)) {
        FUZZ_CHECK(after == before && device_reads == reads_before,
                   "read although the front frame could be decided");
        FUZZ_CHECK(fake_clock_ms == 0, "slept although the front frame could be decided");
        want = reference_decode(held);
    } else {
        FUZZ_CHECK(device_reads - reads_before <= 2, "more than two device reads");
        held.insert(held.end(), delivered.begin() + static_cast<std::ptrdiff_t>(before),
                    delivered.begin() + static_cast<std::ptrdiff_t>(after));
        FUZZ_CHECK(held.size() <= static_cast<size_t>(BUF_IN_SIZE),
                   "held count out of its bound after reading");
        if (ready(held))
            FUZZ_CHECK(fake_clock_ms <= 10, "slept after enough bytes had come");
        else if (room(held))
            FUZZ_CHECK(fake_clock_ms == 20, "a read step left short must cost two 10 ms waits");
        if (held.size() <= 3)
            want = {RESP_SHORT, 0, 0};
        else
            want = reference_decode(held);
    }
    FUZZ_CHECK(res == want.code, "result differs from the reference");
    if (res == CODE_VERSION) {
        FUZZ_CHECK(!p1 || d1 == want.d1, "version word differs");
        FUZZ_CHECK(!p2 || d2 == want.d2, "CRC32 word differs");
    } else {
        FUZZ_CHECK(d1 == SENTINEL && d2 == SENTINEL, "outputs written without a version reply");
    }
    check_held(held);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    in_data = data;
    in_size = size;
    in_pos = 0;
    read_armed = false;
    delivered.clear();
    device_reads = 0;
    for (epInfo& ep : ep_data)
        ep.addr = 0;
    buf_in_adr = 0;
    fake_log.clear();
    fake_backend_in_use = &device;

    std::vector<uint8_t> held;
    while (in_pos < in_size) {
        uint8_t op = in_data[in_pos++];
        if ((op & OP_RESET) == OP_RESET) {
            buf_in_adr = 0;
            held.clear();
            continue;
        }
        one_call(op, held);
    }
    // Whatever is still held or read ahead keeps decoding without new bytes.
    for (int k = 0; k < 4; k++)
        one_call(3, held);
    fake_backend_in_use = nullptr;
    return 0;
}
