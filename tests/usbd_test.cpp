// fpusbd's pieces that need no bus: what its command line accepts, the names it publishes
// under, and the buffer behind READ.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "usbd/usbd.h"

namespace {

struct id_case {
    const char* text;
    bool ok;
    uint16_t vid, pid;
    bool any_pid;
};

TEST(usbd_parse_id, takes_bare_hex_pairs_or_a_vendor_alone) {
    const id_case cases[] = {
        {"1209:0001", true, 0x1209, 0x0001, false},
        {"ABCD:ef01", true, 0xABCD, 0xEF01, false},
        {"1:2", true, 0x0001, 0x0002, false},
        {"ffff:0000", true, 0xFFFF, 0x0000, false},
        {"1209", true, 0x1209, 0, true},
        {"f", true, 0x000F, 0, true},
        {"12345:0001", false, 0, 0, false},
        {"1209:00001", false, 0, 0, false},
        {"12345", false, 0, 0, false},
        {"1209:", false, 0, 0, false},
        {":0001", false, 0, 0, false},
        {":", false, 0, 0, false},
        {"0x1209:0001", false, 0, 0, false},
        {"0x1209", false, 0, 0, false},
        {"1209:-001", false, 0, 0, false},
        {"1209:+001", false, 0, 0, false},
        {" 1209:0001", false, 0, 0, false},
        {"1209:0001:2", false, 0, 0, false},
        {"g209:0001", false, 0, 0, false},
        {"", false, 0, 0, false},
    };
    for (const id_case& c : cases) {
        usbd_id id = {0x5555, 0x5555, false};
        EXPECT_EQ(c.ok, usbd_parse_id(c.text, &id)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.vid, id.vid) << c.text;
            EXPECT_EQ(c.pid, id.pid) << c.text;
            EXPECT_EQ(c.any_pid, id.any_pid) << c.text;
        } else {
            EXPECT_EQ(0x5555, id.vid) << c.text << ": changed on failure";
        }
    }
}

// Which devices fpusbd serves: those --device names, and the one that comes back to the port
// a printer left, of its vendor, whatever its product, within the grace period.
TEST(usbd_matching, serves_named_ids_and_follows_a_printer_by_vendor_and_port) {
    usbd_config c;
    c.ids = {{0x1209, 0x0001, false}, {0x04B8, 0, true}};
    EXPECT_TRUE(usbd_wanted(c, 0x1209, 0x0001));
    EXPECT_FALSE(usbd_wanted(c, 0x1209, 0x0002)); // the loader: only followed
    EXPECT_TRUE(usbd_wanted(c, 0x04B8, 0x0E15));
    EXPECT_FALSE(usbd_wanted(c, 0x04B9, 0x0E15));

    const long long left = 5000;
    const struct {
        const char* what;
        const char* port;
        uint16_t vid;
        long long now;
        bool follows;
    } cases[] = {
        {"at once", "1-2.3", 0x1209, left, true},
        {"at the end of the grace", "1-2.3", 0x1209, left + USBD_FOLLOW_GRACE_MS, true},
        {"past the grace", "1-2.3", 0x1209, left + USBD_FOLLOW_GRACE_MS + 1, false},
        {"another vendor", "1-2.3", 0x120A, left + 10, false},
        {"a port below it", "1-2.3.1", 0x1209, left + 10, false},
        {"the hub above it", "1-2", 0x1209, left + 10, false},
        {"the same port on another bus", "2-2.3", 0x1209, left + 10, false},
    };
    for (const auto& k : cases)
        EXPECT_EQ(k.follows, usbd_follows("1-2.3", 0x1209, left, k.port, k.vid, k.now)) << k.what;
    EXPECT_FALSE(usbd_follows("1-2.3", 0x1209, -1, "1-2.3", 0x1209, left)) << "never left";
}

TEST(usbd_matching, follows_only_a_device_with_a_pipe_both_ways) {
    usbd_config c;
    usbd_default_pipes(c.pipes);
    EXPECT_TRUE(usbd_serves_a_pipe(c, 1u << 3, 1u << 3)); // the loader's 0x03 and 0x83
    EXPECT_TRUE(usbd_serves_a_pipe(c, 1u << 1 | 1u << 3, 1u << 1));
    EXPECT_FALSE(usbd_serves_a_pipe(c, 1u << 1, 1u << 3)); // no endpoint pair
    EXPECT_FALSE(usbd_serves_a_pipe(c, 1u << 5, 1u << 5)); // none of fpflash's pipes
    EXPECT_FALSE(usbd_serves_a_pipe(c, 1u << 0, 1u << 0)); // the control endpoint
    c.pipes[3] = {0x05, 0x85};
    EXPECT_TRUE(usbd_serves_a_pipe(c, 1u << 5, 1u << 5));
}

struct pipe_case {
    const char* text;
    bool ok;
    int endpoint;
    uint8_t out, in;
};

TEST(usbd_parse_pipe, needs_an_out_and_an_in_bulk_address) {
    const pipe_case cases[] = {
        {"1=0x01,0x81", true, 1, 0x01, 0x81}, {"3=0x02,0x85", true, 3, 0x02, 0x85},
        {"0=0x0F,0x8F", true, 0, 0x0F, 0x8F}, {"3=2,133", true, 3, 0x02, 0x85},
        {"4=0x01,0x81", false, 0, 0, 0},      {"10=0x01,0x81", false, 0, 0, 0},
        {"=0x01,0x81", false, 0, 0, 0},       {"1=0x81,0x01", false, 0, 0, 0}, // directions swapped
        {"1=0x00,0x80", false, 0, 0, 0}, // the control endpoint
        {"1=0x10,0x81", false, 0, 0, 0},      {"1=0x01,0x90", false, 0, 0, 0},
        {"1=0x01", false, 0, 0, 0},           {"1=0x01,", false, 0, 0, 0},
        {"1=,0x81", false, 0, 0, 0},          {"1=0x01,0x81,0x82", false, 0, 0, 0},
        {"1=-1,0x81", false, 0, 0, 0},        {"1 =0x01,0x81", false, 0, 0, 0},
        {"1=0x01, 0x81", false, 0, 0, 0},     {"", false, 0, 0, 0},
    };
    for (const pipe_case& c : cases) {
        int n = -7;
        usbd_pipe p = {0x55, 0x55};
        EXPECT_EQ(c.ok, usbd_parse_pipe(c.text, &n, &p)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.endpoint, n) << c.text;
            EXPECT_EQ(c.out, p.out) << c.text;
            EXPECT_EQ(c.in, p.in) << c.text;
        } else {
            EXPECT_EQ(-7, n) << c.text << ": changed on failure";
        }
    }
}

TEST(usbd_parse_alias, needs_a_port_path_and_a_file_name) {
    const struct {
        const char* text;
        bool ok;
    } cases[] = {
        {"1-2=printer", true}, {"1-2.3=a", true},  {"12-1.10.4=x y", true}, {"1-2=", false},
        {"=printer", false},   {"1-2=a/b", false}, {"1-2=..", false},       {"1-2=.", false},
        {"1-=x", false},       {"-2=x", false},    {"1-2..3=x", false},     {"1-2.=x", false},
        {"1-.2=x", false},     {"1-2-3=x", false}, {"usb1=x", false},       {"1-2", false},
        {"1-a=x", false},
    };
    for (const auto& c : cases) {
        usbd_alias a;
        EXPECT_EQ(c.ok, usbd_parse_alias(c.text, &a)) << c.text;
    }
    usbd_alias a;
    ASSERT_TRUE(usbd_parse_alias("1-2.3=printer=1", &a));
    EXPECT_EQ("1-2.3", a.port);
    EXPECT_EQ("printer=1", a.name);
    EXPECT_FALSE(usbd_parse_alias(("1-2=" + std::string(256, 'n')).c_str(), &a));
}

TEST(usbd_names, are_port_paths_unless_an_alias_says_otherwise) {
    const uint8_t ports[] = {2, 3, 10};
    EXPECT_EQ("1-2.3.10", usbd_port_path(1, ports, 3));
    EXPECT_EQ("3-2", usbd_port_path(3, ports, 1));
    EXPECT_EQ("usb4", usbd_port_path(4, ports, 0));

    usbd_config c;
    c.aliases = {{"1-2", "first"}, {"1-2.3", "second"}};
    EXPECT_EQ("first", usbd_instance_name(c, "1-2"));
    EXPECT_EQ("second", usbd_instance_name(c, "1-2.3"));
    EXPECT_EQ("1-3", usbd_instance_name(c, "1-3"));
}

int parse(const std::vector<std::string>& args, usbd_config* c) {
    return parse_args("fpusbd", args, [c](int argc, char** argv) {
        return usbd_parse_command_line(argc, argv, c);
    });
}

TEST(usbd_command_line, refuses_what_it_cannot_serve) {
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--device", "1209:0001"}, -1},
        {{"--list"}, -1},
        {{"--help"}, DI_EXIT_OK},
        {{}, DI_EXIT_USAGE}, // serving nothing is a mistake, not a daemon
        {{"--device", "1209"}, -1},
        {{"--device", "1209:"}, DI_EXIT_USAGE},
        {{"--device"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "extra"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--bogus"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--pipe", "3=0x02,0x82", "--pipe", "3=0x03,0x83"},
         DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--name", "1-1=a", "--name", "1-1=b"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--name", "1-1=a", "--name", "1-2=a"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--interface", "256"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--write-timeout", "0"}, DI_EXIT_USAGE},
        // fpflash would have dropped the connection before the failure came
        {{"--device", "1209:0001", "--write-timeout", "5000"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--poll", "5"}, DI_EXIT_USAGE},
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (const auto& k : cases) {
        usbd_config c;
        std::string shown;
        for (const std::string& a : k.args)
            shown += a + " ";
        EXPECT_EQ(k.status, parse(k.args, &c)) << shown;
    }
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, err.find("fpusbd: --device 1209:: not VID:PID")) << err;
    EXPECT_NE(std::string::npos, err.find("--device VID:PID")) << err;
    EXPECT_NE(std::string::npos, out.find("--pipe N=OUT,IN")) << out;
}

TEST(usbd_command_line, maps_pipes_to_endpoints_of_their_number_unless_told) {
    usbd_config c;
    ASSERT_EQ(-1, parse({"--device", "1209:0001", "--device", "1209:0002", "--pipe", "3=0x02,0x84",
                         "--interface", "1", "--name", "1-4=p"},
                        &c));
    ASSERT_EQ(2u, c.ids.size());
    EXPECT_EQ(0x0002, c.ids[1].pid);
    EXPECT_EQ(1, c.interface);
    EXPECT_EQ(0x01, c.pipes[1].out);
    EXPECT_EQ(0x81, c.pipes[1].in);
    EXPECT_EQ(0x02, c.pipes[3].out);
    EXPECT_EQ(0x84, c.pipes[3].in);
    EXPECT_EQ("p", usbd_instance_name(c, "1-4"));
}

// The READ buffer against a plain queue, through every wrap of the ring: every byte comes out
// once, in order, and a put that does not fit changes nothing.
TEST(usbd_fifo, never_loses_or_reorders_a_byte) {
    static usbd_fifo f;
    std::deque<uint8_t> model;
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    uint8_t value = 0;
    uint64_t moved = 0;
    std::vector<uint8_t> chunk, out(3000);
    for (int step = 0; step < 20000; step++) {
        if (next(2) == 0) {
            // Sizes up to past the ring's room, as a full packet against a nearly full buffer.
            size_t n = next(1100);
            chunk.clear();
            for (size_t i = 0; i < n; i++)
                chunk.push_back(value++);
            bool fits = n <= USBD_FIFO_SIZE - model.size();
            ASSERT_EQ(fits, usbd_fifo_put(&f, chunk.data(), n)) << "step " << step;
            if (fits)
                model.insert(model.end(), chunk.begin(), chunk.end());
            else
                value = static_cast<uint8_t>(value - n);
        } else {
            size_t want = next(3000);
            size_t got = usbd_fifo_take(&f, out.data(), want);
            ASSERT_EQ(want < model.size() ? want : model.size(), got) << "step " << step;
            for (size_t i = 0; i < got; i++) {
                ASSERT_EQ(model.front(), out[i]) << "step " << step << " byte " << i;
                model.pop_front();
            }
            moved += got;
        }
        ASSERT_EQ(model.size(), f.count);
        ASSERT_EQ(USBD_FIFO_SIZE - model.size(), usbd_fifo_room(f));
    }
    // Enough traffic to have wrapped the ring many times over.
    EXPECT_GT(moved, 20 * USBD_FIFO_SIZE);
}

TEST(usbd_fifo, fills_to_the_last_byte_and_takes_nothing_when_empty) {
    static usbd_fifo f;
    std::vector<uint8_t> all(USBD_FIFO_SIZE);
    for (size_t i = 0; i < all.size(); i++)
        all[i] = static_cast<uint8_t>(i * 7);
    uint8_t one = 9;
    EXPECT_EQ(0u, usbd_fifo_take(&f, &one, 1));
    EXPECT_EQ(9, one);
    ASSERT_TRUE(usbd_fifo_put(&f, all.data(), all.size()));
    EXPECT_FALSE(usbd_fifo_put(&f, &one, 1));
    EXPECT_TRUE(usbd_fifo_put(&f, &one, 0));
    std::vector<uint8_t> back(USBD_FIFO_SIZE + 10);
    EXPECT_EQ(USBD_FIFO_SIZE, usbd_fifo_take(&f, back.data(), back.size()));
    back.resize(USBD_FIFO_SIZE);
    EXPECT_EQ(all, back);
}

} // namespace
