// scan_version on arbitrary replies, up to and past the 1024-byte reply buffer.
//
// The reply is the input up to its first zero byte or its first 1024 bytes. It is handed over
// in an allocation of exactly its length plus the terminator, or of exactly 1024 bytes and no
// terminator when it fills them, so a read past either end is caught; the version goes to an
// allocation of exactly VERSION_SIZE bytes. The result is compared with a reference built on
// std::string searches.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

static const char FILL = 'X';

struct reference_result {
    int res;
    std::string ver;
};

static reference_result reference_scan(const std::string& s) {
    const std::string key = "\"value\":";
    size_t p = s.find(key);
    // At least three characters must follow the key.
    if (p == std::string::npos || p + key.size() + 3 > s.size())
        return {-1, ""};
    size_t q = s.find('"', p + key.size());
    if (q == std::string::npos)
        return {-2, ""};
    size_t r = s.find('"', q + 1);
    if (r == std::string::npos)
        return {-3, ""};
    return {0, s.substr(q + 1, r - q - 1).substr(0, VERSION_SIZE - 1)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t len = 0;
    while (len < size && len < REPLY_SIZE && data[len] != 0)
        len++;
    std::string text(reinterpret_cast<const char*>(data), len);
    std::vector<char> in(len < REPLY_SIZE ? len + 1 : REPLY_SIZE);
    memcpy(in.data(), text.data(), len);
    if (len < REPLY_SIZE)
        in[len] = '\0';
    std::vector<char> ver(VERSION_SIZE, FILL);

    int res = scan_version(in.data(), ver.data());
    reference_result want = reference_scan(text);

    FUZZ_CHECK(memcmp(in.data(), text.data(), len) == 0, "the reply was changed");
    FUZZ_CHECK(res == want.res, "result differs from the reference");
    if (res == 0) {
        FUZZ_CHECK(strnlen(ver.data(), VERSION_SIZE) < VERSION_SIZE, "version not terminated");
        FUZZ_CHECK(want.ver == ver.data(), "version differs from the reference");
    } else {
        for (char c : ver)
            FUZZ_CHECK(c == FILL, "version written without a found version");
    }
    return 0;
}
