#include "loader/loader.h"

#include <cstring>

#include "usb/usb.h"

const unsigned char title_block[4] = {0x51, 0x18, 0x06, 0x22};

unsigned char buf_in[BUF_IN_SIZE];
int buf_in_adr = 0;

static const int READ_ATTEMPTS = 2;
static const uint32_t READ_RETRY_MS = 10;
static const int MIN_HELD = 4; // fewer held bytes are never decoded
static const int VERSION_DATA = 8;

static const uint32_t STATE_WAIT_MS = 10;
static const uint32_t VERSION_WAIT_MS = 400;
static const uint32_t EXIT_WAIT_MS = 100;

static uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// True while the frame at the front still waits for bytes: the repeat of its code byte, or
// the data of a version reply.
static bool front_incomplete() {
    int n = buf_in_adr;
    int i = 0;
    while (i < n && buf_in[i] == SYNC_BYTE)
        i++;
    if (i == n)
        return false;
    if (i + 1 == n)
        return true;
    return buf_in[i] == CODE_VERSION && buf_in[i + 1] == CODE_VERSION && i + 2 + VERSION_DATA > n;
}

static bool reply_ready() {
    return buf_in_adr >= MIN_HELD && !front_incomplete();
}

static bool read_room() {
    return buf_in_adr <= BUF_IN_SIZE - REPLY_READ_SIZE;
}

// Decodes the frame at the start of the held bytes.
static int decode_packet(uint32_t* d1, uint32_t* d2) {
    // A frame that can no longer be read into would be held, and returned as too short, for
    // ever.
    if (front_incomplete()) {
        if (read_room())
            return RESP_SHORT;
        buf_in_adr = 0;
        return RESP_NO_FRAME;
    }
    int n = buf_in_adr;
    int i = 0;
    while (i < n && buf_in[i] == SYNC_BYTE)
        i++;
    if (i == n || buf_in[i + 1] != buf_in[i]) {
        buf_in_adr = 0;
        return RESP_NO_FRAME;
    }
    int code = buf_in[i];
    if (code == CODE_VERSION) {
        if (d1)
            *d1 = le32(&buf_in[i + 2]);
        if (d2)
            *d2 = le32(&buf_in[i + 6]);
        // Whatever follows a version reply is dropped with it.
        buf_in_adr = 0;
        return code;
    }
    // Bytes behind the code pair are the start of the next answer.
    int rest = n - (i + 2);
    memmove(buf_in, buf_in + i + 2, static_cast<size_t>(rest));
    buf_in_adr = rest;
    return code;
}

int get_response(uint32_t* d1, uint32_t* d2) {
    if (buf_in_adr < 0)
        buf_in_adr = 0;
    // Read while too few bytes are held or the front frame is still incomplete, so that no
    // content of the buffer can stop the loader from being heard. readUSB delivers at most
    // REPLY_READ_SIZE bytes and is asked only with that much room left: buf_in_adr stays
    // within 0..BUF_IN_SIZE.
    for (int attempt = 0; attempt < READ_ATTEMPTS && !reply_ready() && read_room(); attempt++) {
        int r = readUSB(buf_in + buf_in_adr, REPLY_READ_SIZE, EP_LOADER);
        if (r > 0)
            buf_in_adr += r;
        if (!reply_ready())
            plat_sleep(READ_RETRY_MS);
    }
    if (buf_in_adr < MIN_HELD)
        return RESP_SHORT;
    return decode_packet(d1, d2);
}

// Writes one command packet, waits for the loader and decodes its reply. The reply buffer is
// deliberately not emptied first: an answer still held is taken as this command's.
static int loader_command(unsigned char code, uint32_t wait_ms, uint32_t* d1, uint32_t* d2) {
    unsigned char packet[4] = {title_block[0], title_block[1], title_block[2], code};
    if (writeUSB(packet, sizeof(packet), EP_LOADER) != static_cast<int>(sizeof(packet)))
        return CMD_NOT_WRITTEN;
    plat_sleep(wait_ms);
    return get_response(d1, d2);
}

int state_response() {
    return loader_command(code_state, STATE_WAIT_MS, nullptr, nullptr);
}

int ver_CRC32_response(uint32_t* ver, uint32_t* crc32) {
    *crc32 = 0xFFFFFFFF;
    *ver = 0xFFFFFFFF;
    return loader_command(code_CRC32_ver, VERSION_WAIT_MS, ver, crc32);
}

int exit_response() {
    return loader_command(code_exit, EXIT_WAIT_MS, nullptr, nullptr);
}
