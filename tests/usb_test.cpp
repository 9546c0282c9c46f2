// Endpoint transfers and device connection against the scripted device.
#include <cstring>

#include "tests/test_util.h"
#include "loader/loader.h"
#include "usb/usb.h"

namespace {

class usb_test : public fresh_state {};

std::vector<uint8_t> run(int first, int count) {
    std::vector<uint8_t> v;
    for (int i = 0; i < count; i++)
        v.push_back(static_cast<uint8_t>(first + i));
    return v;
}

void hold(int ep, const std::vector<uint8_t>& data) {
    if (!data.empty())
        memcpy(ep_data[ep].buf, data.data(), data.size());
    ep_data[ep].addr = static_cast<uint32_t>(data.size());
}

std::vector<uint8_t> held(int ep) {
    return std::vector<uint8_t>(ep_data[ep].buf, ep_data[ep].buf + ep_data[ep].addr);
}

TEST(pipe_code, carries_the_endpoint_number) {
    EXPECT_EQ(0x950F2000u, pipe_code(0));
    EXPECT_EQ(0x950F2004u, pipe_code(1));
    EXPECT_EQ(0x950F2008u, pipe_code(2));
    EXPECT_EQ(0x950F200Cu, pipe_code(3));
}

// The read-ahead: what the caller gets, what stays held, and which driver calls were made.
struct read_case {
    const char* name;
    int held_bytes; // held before the call, values 0x80...
    bool select_fails;
    int device_bytes; // -1: the device read fails; values 0x00...
    uint32_t want;
    int result;
    int delivered_from_device; // how many device bytes follow the held ones in the buffer
    int left_held;             // device bytes left held, starting at delivered_from_device
    int device_reads;
};

class read_ahead : public usb_test, public ::testing::WithParamInterface<read_case> {};

TEST_P(read_ahead, delivers_in_order_and_holds_the_surplus) {
    const read_case& c = GetParam();
    hold(3, run(0x80, c.held_bytes));
    if (c.select_fails)
        fake.ioctls.push_back(false);
    if (c.device_bytes < 0)
        fake.reads[3].push_back({true, {}});
    else
        fake.reads[3].push_back({false, run(0, c.device_bytes)});

    uint8_t out[1100] = {};
    EXPECT_EQ(c.result, readUSB(out, c.want, 3));

    std::vector<uint8_t> expect = run(0x80, std::min<int>(c.held_bytes, static_cast<int>(c.want)));
    std::vector<uint8_t> dev = run(0, c.delivered_from_device);
    expect.insert(expect.end(), dev.begin(), dev.end());
    EXPECT_EQ(expect, std::vector<uint8_t>(out, out + expect.size()));

    std::vector<uint8_t> rest =
        c.held_bytes > static_cast<int>(c.want)
            ? run(0x80 + static_cast<int>(c.want), c.held_bytes - static_cast<int>(c.want))
            : run(c.delivered_from_device, c.left_held);
    EXPECT_EQ(rest, held(3));
    EXPECT_EQ(static_cast<size_t>(c.device_reads), fake_calls(OP_READ).size());
    for (const fake_call& r : fake_calls(OP_READ))
        EXPECT_EQ(1024u, r.arg);
}

INSTANTIATE_TEST_SUITE_P(
    cases, read_ahead,
    ::testing::Values(read_case{"surplus_held", 0, false, 100, 64, 64, 64, 36, 1},
                      read_case{"held_exactly_enough", 64, false, 0, 64, 64, 0, 0, 0},
                      read_case{"held_more_than_wanted", 100, false, 0, 64, 64, 0, 0, 0},
                      read_case{"held_then_device_empty", 10, false, 0, 64, 10, 0, 0, 1},
                      read_case{"held_then_device_short", 10, false, 30, 64, 40, 30, 0, 1},
                      read_case{"held_then_device_surplus", 36, false, 100, 64, 64, 28, 72, 1},
                      // Held bytes already handed over count even when the device then fails.
                      read_case{"held_then_select_fails", 10, true, 5, 64, 10, 0, 0, 0},
                      read_case{"held_then_read_fails", 10, false, -1, 64, 10, 0, 0, 1},
                      read_case{"nothing_then_read_fails", 0, false, -1, 64, -1, 0, 0, 1},
                      read_case{"nothing_then_empty", 0, false, 0, 64, 0, 0, 0, 1},
                      read_case{"zero_wanted_still_reads", 0, false, 20, 0, 0, 0, 20, 1},
                      read_case{"full_read_leaves_nothing", 0, false, 1024, 1024, 1024, 1024, 0,
                                1}),
    [](const ::testing::TestParamInfo<read_case>& i) { return std::string(i.param.name); });

TEST_F(usb_test, select_failure_without_held_bytes_makes_no_read) {
    fake.ioctls.push_back(false);
    uint8_t out[64];
    EXPECT_EQ(-1, readUSB(out, 64, 3));
    EXPECT_TRUE(fake_calls(OP_READ).empty());
}

TEST_F(usb_test, every_transfer_selects_its_pipe_first) {
    fake.reads[1].push_back({false, bytes({1, 2, 3})});
    uint8_t out[1024];
    readUSB(out, 1024, 1);
    writeUSB(out, 4, 3);
    writeUSB(out, 4, 3);
    ASSERT_EQ(6u, fake_log.size());
    EXPECT_EQ(OP_IOCTL, fake_log[0].op);
    EXPECT_EQ(0x950F2004u, fake_log[0].arg);
    EXPECT_EQ(OP_READ, fake_log[1].op);
    EXPECT_EQ(1, fake_log[1].ep);
    // The same endpoint twice in a row is still selected each time.
    EXPECT_EQ(0x950F200Cu, fake_log[2].arg);
    EXPECT_EQ(0x950F200Cu, fake_log[4].arg);
    EXPECT_EQ(OP_WRITE, fake_log[5].op);
}

TEST_F(usb_test, held_bytes_stay_with_their_endpoint_across_reconnection) {
    fake.reads[3].push_back({false, run(0, 100)});
    fake.reads[1].push_back({false, run(0xA0, 5)});
    uint8_t out[1024];
    ASSERT_EQ(64, readUSB(out, 64, 3));

    ASSERT_EQ(0, openUSB());
    ASSERT_EQ(5, readUSB(out, 1024, 1));
    EXPECT_EQ(run(0xA0, 5), std::vector<uint8_t>(out, out + 5));

    ASSERT_EQ(36, readUSB(out, 64, 3));
    EXPECT_EQ(run(64, 36), std::vector<uint8_t>(out, out + 36));
}

TEST_F(usb_test, endpoint_out_of_range_is_refused_without_a_call) {
    uint8_t out[64];
    EXPECT_EQ(-1, readUSB(out, 64, 4));
    EXPECT_EQ(-1, readUSB(out, 64, -1));
    EXPECT_EQ(-1, writeUSB(out, 4, 7));
    EXPECT_TRUE(fake_log.empty());
}

TEST_F(usb_test, write_is_cut_to_one_transfer_and_reports_the_accepted_count) {
    std::vector<uint8_t> big(2000, 0x5A);
    EXPECT_EQ(1024, writeUSB(big.data(), 2000, 3));
    EXPECT_EQ(1024u, fake_calls(OP_WRITE)[0].arg);

    fake.writes[3].push_back({false, 3});
    EXPECT_EQ(3, writeUSB(big.data(), 4, 3));
    fake.writes[3].push_back({true, 0});
    EXPECT_EQ(-1, writeUSB(big.data(), 4, 3));
    fake.ioctls.push_back(false);
    EXPECT_EQ(-1, writeUSB(big.data(), 4, 3));
    EXPECT_EQ(3u, fake_calls(OP_WRITE).size());
}

TEST_F(usb_test, open_empties_the_reply_buffer_even_when_it_fails) {
    memset(buf_in, 0x55, sizeof(buf_in));
    buf_in_adr = 9;
    hold(3, run(0, 10));
    fake.present.push_back(false);
    EXPECT_EQ(-1, openUSB());
    EXPECT_EQ(USB_INVALID_HANDLE, husb);
    EXPECT_EQ(0, buf_in_adr);
    for (unsigned char b : buf_in)
        ASSERT_EQ(0, b);
    EXPECT_EQ(10u, ep_data[3].addr);
    EXPECT_TRUE(fake_calls(OP_OPEN).empty());
}

TEST_F(usb_test, a_long_device_path_is_opened_by_its_first_508_characters) {
    fake.path = std::string(600, 'p');
    ASSERT_EQ(0, openUSB());
    EXPECT_EQ(std::string(508, 'p'), fake.opened);
    EXPECT_NE(USB_INVALID_HANDLE, husb);
}

TEST_F(usb_test, connect_gives_up_after_twenty_attempts_a_second_apart) {
    fake.present.assign(20, false);
    EXPECT_EQ(-1, connect_ADM_USB());
    std::string lines;
    for (int i = 0; i < 20; i++)
        lines += "Wait open USB\n";
    EXPECT_EQ(lines, con.text());
    EXPECT_EQ(20000u, fake_clock_ms);
    EXPECT_EQ(20u, fake_calls(OP_FIND).size());
    EXPECT_EQ(USB_INVALID_HANDLE, husb);
}

TEST_F(usb_test, connect_succeeds_when_the_device_appears_on_the_third_attempt) {
    fake.present.assign(2, false);
    fake.opens.push_back(true);
    EXPECT_EQ(0, connect_ADM_USB());
    EXPECT_EQ("Wait open USB\nWait open USB\nOpen USB - O'k\n", con.text());
    EXPECT_EQ(2000u, fake_clock_ms);
}

TEST_F(usb_test, a_device_that_refuses_the_open_counts_as_an_attempt) {
    fake.opens.assign(20, false);
    EXPECT_EQ(-1, connect_ADM_USB());
    EXPECT_EQ(20u, fake_calls(OP_OPEN).size());
}

} // namespace
