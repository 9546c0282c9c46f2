#include "tests/test_util.h"

#include <cstring>

#include "common/console.h"
#include "loader/loader.h"
#include "usb/usb.h"

console_capture::console_capture(const std::string& input) : in_text(input) {
    out = open_memstream(&out_buf, &out_len);
    in = fmemopen(in_text.empty() ? nullptr : &in_text[0], in_text.size(), "r");
    if (in_text.empty())
        in = fopen("/dev/null", "r");
    con_out = out;
    con_in = in;
}

console_capture::~console_capture() {
    con_out = stdout;
    con_in = stdin;
    fclose(out);
    free(out_buf);
    fclose(in);
}

std::string console_capture::text() {
    fflush(out);
    return std::string(out_buf, out_len);
}

long console_capture::keys_read() {
    return ftell(in);
}

void fresh_state::SetUp() {
    fake_reset();
    memset(ep_data, 0, sizeof(ep_data));
    memset(buf_in, 0, sizeof(buf_in));
    buf_in_adr = 0;
    husb = USB_INVALID_HANDLE;
}

void fresh_state::hold_reply(const std::vector<uint8_t>& b) {
    memcpy(buf_in, b.data(), b.size());
    buf_in_adr = static_cast<int>(b.size());
}

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<uint8_t>(b));
    return v;
}
