#include "image/image.h"

#include <cstdio>
#include <new>
#include <sys/types.h>

#include "common/console.h"
#include "loader/loader.h"
#include "usb/usb.h"

file_download file;

static const int BLOCK_ATTEMPTS = 3;
static const int BLOCK_POLLS = 100;
static const uint32_t POLL_WAIT_MS = 20;
static const uint32_t BLOCK_GAP_MS = 20;
static const uint32_t PROGRESS_EVERY = 20;
static const int64_t IMAGE_MAX = 0x7FFFFFFF;

file_download::file_download() : size(0), buf(nullptr) {}

file_download::~file_download() {
    delete[] buf;
}

int file_download::read_encrypt(const char* fname) {
    FILE* f = plat_open_regular(fname);
    if (!f)
        return IMAGE_NOT_OPENED;

    int res = 0;
    int64_t len = -1;
    if (fseeko(f, 0, SEEK_END) == 0)
        len = static_cast<int64_t>(ftello(f));
    BYTE* data = nullptr;
    if (len < 0)
        res = IMAGE_BAD_SIZE;
    else if (len > IMAGE_MAX)
        res = IMAGE_TOO_LARGE;
    else if (len % BLOCK_SIZE != 0)
        res = IMAGE_BAD_SIZE;
    else if (!(data = new (std::nothrow) BYTE[static_cast<size_t>(len)]))
        res = IMAGE_TOO_LARGE;
    else if (fseeko(f, 0, SEEK_SET) != 0 ||
             fread(data, 1, static_cast<size_t>(len), f) != static_cast<size_t>(len))
        // A record padded with 0xFF would be flashed as if it came from the file.
        res = IMAGE_SHORT_READ;
    fclose(f);

    if (res != 0) {
        delete[] data;
        return res;
    }
    delete[] buf;
    buf = data;
    size = static_cast<int32_t>(len);
    return 0;
}

// One attempt at a record: write it, then poll for the loader's verdict.
// Returns true when the record was acknowledged.
static bool send_block(const BYTE* bufb) {
    buf_in_adr = 0; // an earlier answer must not acknowledge this record
    writeUSB(bufb, BLOCK_SIZE, EP_LOADER);
    for (int j = 0; j < BLOCK_POLLS; j++) {
        plat_sleep(POLL_WAIT_MS);
        int res = get_response(nullptr, nullptr);
        if (res < 0)
            continue;
        if (res == CODE_BLOCK_OK)
            return true;
        if (res == CODE_DOWNLOAD_END) {
            con_puts("Download END - O'k");
            return true;
        }
        if (res == CODE_DOWNLOAD_BEGIN) {
            con_puts("Download begin - O'k");
            return true;
        }
        return false;
    }
    return false;
}

int file_download::download() {
    uint32_t bnum = static_cast<uint32_t>(size) / BLOCK_SIZE;
    for (uint32_t i = 0; i < bnum; i++) {
        const BYTE* bufb = buf + static_cast<size_t>(i) * BLOCK_SIZE;
        if (i % PROGRESS_EVERY == 0)
            con_printf("Download block %d\n", static_cast<int>(i));
        bool acked = false;
        for (int k = 0; k < BLOCK_ATTEMPTS && !acked; k++) {
            acked = send_block(bufb);
            if (!acked)
                plat_sleep(BLOCK_GAP_MS);
        }
        if (!acked)
            return -1;
        plat_sleep(BLOCK_GAP_MS);
    }
    return 0;
}
