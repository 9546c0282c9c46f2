#include <cstring>

#include "driver/driver.h"

// The firmware accepts this digit as the service password; both documents carry it.
#define FP_PASSWORD "0"

const char command_ver_main[116] =
    "{\"document\": {\"sessionId\": \"0\", \"data\": {}, \"login\": \"0\", \"password\": "
    "\"" FP_PASSWORD "\", \"command\": \"get_version\", \"print\": \"1\"}}";

const char command_download_main[117] =
    "{\"document\": {\"login\": \"0\", \"data\": {}, \"password\": \"" FP_PASSWORD
    "\", \"print\": \"1\", \"sessionId\": \"0\", \"command\": \"upgrade_mode\"}}";

static_assert(sizeof(FP_PASSWORD) == 2, "the password is one digit");

static const char VALUE_KEY[] = "\"value\":";
static const size_t VALUE_KEY_LEN = sizeof(VALUE_KEY) - 1;
// The key must leave room for at least three more characters.
static const size_t KEY_TAIL = 10;

int scan_version(const char* in, char* ver) {
    size_t len = strnlen(in, REPLY_SIZE);
    size_t p = 0;
    bool found = false;
    for (; p + KEY_TAIL < len; p++) {
        if (memcmp(in + p, VALUE_KEY, VALUE_KEY_LEN) == 0) {
            found = true;
            break;
        }
    }
    if (!found)
        return -1;

    size_t q = p + VALUE_KEY_LEN - 1;
    while (q < len && in[q] != '"')
        q++;
    if (q >= len)
        return -2;
    size_t r = q + 1;
    while (r < len && in[r] != '"')
        r++;
    if (r >= len)
        return -3;

    size_t n = r - q - 1;
    if (n > VERSION_SIZE - 1)
        n = VERSION_SIZE - 1;
    memcpy(ver, in + q + 1, n);
    ver[n] = '\0';
    return 0;
}
