// read_encrypt on arbitrary files: the input is the file, kept in an anonymous memory file and
// opened by its /proc/self/fd path. It is loaded into a fresh object, and into one that
// already holds a one-record image, which a failed load must leave as it was.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/image.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

struct mem_file {
    int fd;
    char path[64];
};

static mem_file open_mem_file(const char* name) {
    mem_file m;
    m.fd = memfd_create(name, 0);
    FUZZ_CHECK(m.fd >= 0, "memfd_create failed");
    snprintf(m.path, sizeof(m.path), "/proc/self/fd/%d", m.fd);
    return m;
}

static void fill_mem_file(const mem_file& m, const uint8_t* data, size_t size) {
    FUZZ_CHECK(ftruncate(m.fd, 0) == 0, "ftruncate failed");
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(m.fd, data + done, size - done, static_cast<off_t>(done));
        FUZZ_CHECK(n > 0, "pwrite failed");
        done += static_cast<size_t>(n);
    }
}

static void check_loaded(const file_download& f, const uint8_t* data, size_t size) {
    FUZZ_CHECK(f.size >= 0 && static_cast<size_t>(f.size) == size, "size is not the file's");
    FUZZ_CHECK(size == 0 || memcmp(f.buf, data, size) == 0, "buffer differs from the file");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const mem_file input = open_mem_file("fuzz-image");
    static const mem_file previous = open_mem_file("fuzz-previous");
    static std::vector<uint8_t> record;
    if (record.empty()) {
        for (uint32_t k = 0; k < BLOCK_SIZE; k++)
            record.push_back(static_cast<uint8_t>(k * 7 + 1));
        fill_mem_file(previous, record.data(), record.size());
    }
    fill_mem_file(input, data, size);
    bool whole = size % BLOCK_SIZE == 0;

    file_download fresh;
    int res = fresh.read_encrypt(input.path);
    if (whole) {
        FUZZ_CHECK(res == 0, "a whole number of records must load");
        check_loaded(fresh, data, size);
    } else {
        FUZZ_CHECK(res == IMAGE_BAD_SIZE, "a partial record must give -2");
        FUZZ_CHECK(fresh.size == 0 && fresh.buf == nullptr, "a failed load changed the object");
    }

    file_download loaded;
    FUZZ_CHECK(loaded.read_encrypt(previous.path) == 0, "the one-record image must load");
    const BYTE* before = loaded.buf;
    res = loaded.read_encrypt(input.path);
    if (whole) {
        FUZZ_CHECK(res == 0, "a whole number of records must load over an image");
        check_loaded(loaded, data, size);
    } else {
        FUZZ_CHECK(res == IMAGE_BAD_SIZE, "a partial record must give -2 over an image");
        FUZZ_CHECK(loaded.buf == before, "a failed load gave up the image held");
        check_loaded(loaded, record.data(), record.size());
    }
    return 0;
}
