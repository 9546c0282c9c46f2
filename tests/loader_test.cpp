// Reply framing and loader commands against the scripted device.
#include "tests/test_util.h"
#include "loader/loader.h"
#include "usb/usb.h"

namespace {

class loader_test : public fresh_state {
  protected:
    std::vector<uint8_t> held_reply() { return std::vector<uint8_t>(buf_in, buf_in + buf_in_adr); }
};

const std::vector<uint8_t> VERSION_REPLY = bytes({0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5, 6, 7, 8});

// `n` sync bytes, then `tail`.
std::vector<uint8_t> after_sync(size_t n, std::initializer_list<int> tail) {
    std::vector<uint8_t> b(n, 0x55);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// A frame that can be decided from the held bytes is decoded without touching the device; an
// incomplete one is read into while there is room for a read.
struct frame_case {
    const char* name;
    std::vector<uint8_t> held;
    int result;
    std::vector<uint8_t> left;
    std::vector<uint8_t> device = {}; // what the next device read delivers
    size_t reads = 0;
};

class framing : public loader_test, public ::testing::WithParamInterface<frame_case> {};

TEST_P(framing, decodes_the_frame_at_the_front) {
    const frame_case& c = GetParam();
    hold_reply(c.held);
    if (!c.device.empty())
        fake.reads[3].push_back({false, c.device});
    EXPECT_EQ(c.result, get_response(nullptr, nullptr));
    EXPECT_EQ(c.left, held_reply());
    EXPECT_EQ(c.reads, fake_calls(OP_READ).size());
}

const size_t ROOM_FOR_A_READ = BUF_IN_SIZE - REPLY_READ_SIZE;

INSTANTIATE_TEST_SUITE_P(
    cases, framing,
    ::testing::Values(
        frame_case{"ack", bytes({0x55, 0x55, 1, 1}), 1, {}},
        frame_case{"ack_then_end", bytes({0x55, 0x55, 1, 1, 0x55, 0x55, 2, 2}), 1,
                   bytes({0x55, 0x55, 2, 2})},
        frame_case{"no_sync_byte", bytes({3, 3, 0x55, 0x55}), 3, bytes({0x55, 0x55})},
        frame_case{"code_not_doubled", bytes({0x55, 7, 8, 8}), -2, {}},
        frame_case{"sync_only", bytes({0x55, 0x55, 0x55, 0x55}), -2, {}},
        frame_case{"high_code", bytes({0x55, 0xFB, 0xFB, 0x55, 0x55}), 251, bytes({0x55, 0x55})},
        // The repeat of the code byte is still on its way: keep the bytes and read for it.
        frame_case{"code_is_last_byte",
                   bytes({0x55, 0x55, 0x55, 0x4A}),
                   -1,
                   bytes({0x55, 0x55, 0x55, 0x4A}),
                   {},
                   2},
        frame_case{"code_at_the_end_of_a_full_read", after_sync(63, {4}), 4, {}, bytes({4}), 1},
        frame_case{
            "code_never_repeated", after_sync(63, {4}), -2, {}, bytes({0x55, 0x55, 4, 4}), 1},
        frame_case{"room_for_one_more_read", after_sync(ROOM_FOR_A_READ - 1, {4}), 4, bytes({0x55}),
                   bytes({4, 0x55}), 1},
        frame_case{"no_room_left_to_complete_it", after_sync(ROOM_FOR_A_READ, {4}), -2, {}},
        frame_case{"version_cut_short_completed",
                   bytes({0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5}),
                   74,
                   {},
                   bytes({6, 7, 8, 0x55, 0x55, 1, 1}),
                   1},
        frame_case{"version_drops_what_follows",
                   bytes({0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5, 6, 7, 8, 0x55, 0x55, 1, 1}),
                   74,
                   {}}),
    [](const ::testing::TestParamInfo<frame_case>& i) { return std::string(i.param.name); });

TEST_F(loader_test, version_reply_fills_both_words_little_endian) {
    hold_reply(VERSION_REPLY);
    uint32_t v = 0, crc = 0;
    EXPECT_EQ(74, get_response(&v, &crc));
    EXPECT_EQ(0x04030201u, v);
    EXPECT_EQ(0x08070605u, crc);
}

TEST_F(loader_test, a_short_version_reply_waits_for_the_rest_of_its_data) {
    hold_reply(bytes({0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5}));
    uint32_t v = 0, crc = 0;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(-1, get_response(&v, &crc));
    EXPECT_EQ(bytes({0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5}), held_reply());
    EXPECT_EQ(6u, fake_calls(OP_READ).size());
    EXPECT_EQ(60u, fake_clock_ms);

    fake.reads[3].push_back({false, bytes({6, 7})});
    fake.reads[3].push_back({false, bytes({8})});
    EXPECT_EQ(74, get_response(&v, &crc));
    EXPECT_EQ(0x04030201u, v);
    EXPECT_EQ(0x08070605u, crc);
    EXPECT_TRUE(held_reply().empty());
    EXPECT_EQ(70u, fake_clock_ms); // one pause, after the read that left a byte to come
}

TEST_F(loader_test, frames_split_over_reads_are_put_together) {
    fake.reads[3].push_back({false, bytes({0x55, 0x55})});
    fake.reads[3].push_back({false, bytes({0x4A, 0x4A, 1, 2})});
    uint32_t v = 0, crc = 0;
    EXPECT_EQ(-1, get_response(&v, &crc)); // 6 held, version data incomplete
    EXPECT_EQ(20u, fake_clock_ms);         // a pause after each read that left it short
    buf_in_adr = 0;

    fake.reads[3].push_back({false, bytes({0x55})});
    fake.reads[3].push_back({false, bytes({0x55, 0x55, 2, 2})});
    EXPECT_EQ(2, get_response(nullptr, nullptr));
}

TEST_F(loader_test, silence_costs_two_reads_and_twenty_milliseconds) {
    hold_reply(bytes({0x55, 0x55, 1}));
    fake.reads[3].push_back({true, {}});
    EXPECT_EQ(-1, get_response(nullptr, nullptr));
    EXPECT_EQ(2u, fake_calls(OP_READ).size());
    EXPECT_EQ(20u, fake_clock_ms);
    EXPECT_EQ(bytes({0x55, 0x55, 1}), held_reply());
    for (const fake_call& r : fake_calls(OP_READ))
        EXPECT_EQ(3, r.ep);
}

TEST_F(loader_test, a_long_burst_is_read_64_bytes_at_a_time) {
    std::vector<uint8_t> burst;
    for (int i = 0; i < 40; i++) {
        std::vector<uint8_t> f = bytes({0x55, 0x55, 1, 1});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    fake.reads[3].push_back({false, burst});
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(1, get_response(nullptr, nullptr)) << i;
    EXPECT_LE(buf_in_adr, 67);
    // 160 bytes came in one device read and waited in the read-ahead; only the third read
    // step, left with 32 held bytes for its 64, asked the device again.
    EXPECT_EQ(2u, fake_calls(OP_READ).size());
}

TEST_F(loader_test, commands_write_their_packet_wait_and_decode) {
    struct {
        int (*call)();
        uint8_t code;
        uint32_t wait;
    } commands[] = {{state_response, 0x84, 10}, {exit_response, 0xF1, 100}};
    for (const auto& c : commands) {
        fake_reset();
        fake.reads[3].push_back({false, bytes({0x55, 0x55, 4, 4})});
        EXPECT_EQ(4, c.call());
        ASSERT_EQ(1u, fake.written[3].size());
        EXPECT_EQ(bytes({0x51, 0x18, 0x06, c.code}), fake.written[3][0]);
        EXPECT_EQ(c.wait, fake_calls(OP_SLEEP)[0].arg);
    }
}

TEST_F(loader_test, version_query_outputs) {
    fake.reads[3].push_back({false, VERSION_REPLY});
    uint32_t v = 0, crc = 0;
    EXPECT_EQ(74, ver_CRC32_response(&v, &crc));
    EXPECT_EQ(bytes({0x51, 0x18, 0x06, 0x4A}), fake.written[3][0]);
    EXPECT_EQ(400u, fake_clock_ms);
    EXPECT_EQ(0x04030201u, v);
    EXPECT_EQ(0x08070605u, crc);

    fake.reads[3].push_back({false, bytes({0x55, 0x55, 4, 4})});
    EXPECT_EQ(4, ver_CRC32_response(&v, &crc));
    EXPECT_EQ(0xFFFFFFFFu, v);
    EXPECT_EQ(0xFFFFFFFFu, crc);
}

TEST_F(loader_test, a_packet_not_written_whole_is_minus_100_without_wait_or_read) {
    uint32_t v = 0, crc = 0;
    fake.writes[3].push_back({true, 0});
    EXPECT_EQ(-100, state_response());
    fake.writes[3].push_back({false, 3});
    EXPECT_EQ(-100, ver_CRC32_response(&v, &crc));
    EXPECT_EQ(0xFFFFFFFFu, crc);
    fake.ioctls.push_back(false);
    EXPECT_EQ(-100, exit_response());
    EXPECT_EQ(0u, fake_clock_ms);
    EXPECT_TRUE(fake_calls(OP_READ).empty());
}

TEST_F(loader_test, a_held_answer_is_taken_for_the_next_command) {
    hold_reply(bytes({0x55, 0x55, 2, 2}));
    fake.reads[3].push_back({false, bytes({0x55, 0x55, 6, 6})});
    EXPECT_EQ(2, state_response());
    EXPECT_EQ(1u, fake.written[3].size());
    EXPECT_TRUE(fake_calls(OP_READ).empty());
    EXPECT_EQ(6, state_response());
}

TEST_F(loader_test, exit_with_a_silent_loader) {
    EXPECT_EQ(-1, exit_response());
    EXPECT_EQ(120u, fake_clock_ms);
}

} // namespace
