// The simulated printer, driven through the program's own transfer, framing, command and
// download functions, so what it answers is what the program expects.
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "image/image.h"
#include "loader/loader.h"
#include "sim/options.h"
#include "tests/scratch.h"
#include "tests/test_util.h"
#include "usb/usb.h"

namespace {

const char GET_VERSION[] = "{\"document\": {\"command\": \"get_version\"}}";
const char UPGRADE_MODE[] = "{\"document\": {\"command\": \"upgrade_mode\"}}";

sim_options loader_options() {
    sim_options o;
    o.start_mode = SIM_LOADER;
    return o;
}

class sim_test : public fresh_state {
  protected:
    void start(const sim_options& o) {
        start_unopened(o);
        ASSERT_EQ(openUSB(), 0);
    }

    void start_unopened(const sim_options& o) {
        fresh_state::SetUp();
        fake_serve_sim(o);
    }

    // What the program does between phases: let go, then find the printer again.
    int reconnect() {
        plat_close(husb);
        return openUSB();
    }

    // The reply to get_version, "" when nothing came.
    std::string ask_version() {
        if (writeUSB(GET_VERSION, sizeof(GET_VERSION), EP_JSON) <= 0)
            return "write failed";
        char reply[1025] = {};
        int n = readUSB(reply, 1024, EP_JSON);
        return n > 0 ? std::string(reply, static_cast<size_t>(n)) : "";
    }

    // An image of `blocks` records, loaded by the program from a file.
    void load_image(uint32_t blocks) {
        image.resize(blocks * BLOCK_SIZE);
        for (size_t i = 0; i < image.size(); i++)
            image[i] = static_cast<uint8_t>(i * 7 + i / BLOCK_SIZE);
        scratch_dir dir{"sim-test-"};
        std::string path = dir.write("image.bin", std::string(image.begin(), image.end()));
        ASSERT_EQ(file.read_encrypt(path.c_str()), 0);
    }

    std::vector<uint32_t> written_indices() {
        std::vector<uint32_t> out;
        for (const sim_block& b : sim_rec.blocks)
            out.push_back(b.index);
        return out;
    }

    std::vector<uint8_t> image;
};

TEST(sim_crc32, known_vectors) {
    struct {
        const char* text;
        uint32_t crc;
    } cases[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim_crc32(c.text, strlen(c.text)), c.crc) << c.text;
}

TEST_F(sim_test, whole_update_round_trip) {
    sim_options o;
    start(o);
    load_image(3);
    EXPECT_EQ(ask_version(), "{\"result\": {\"value\": \"1.2.3\"}}");

    EXPECT_GT(writeUSB(UPGRADE_MODE, sizeof(UPGRADE_MODE), EP_JSON), 0);
    char scratch[16];
    EXPECT_EQ(readUSB(scratch, sizeof(scratch), EP_JSON), -1) << "the old connection is dead";
    EXPECT_FALSE(sim_is_present());
    ASSERT_EQ(reconnect(), 0);
    EXPECT_EQ(sim_current_mode(), SIM_LOADER);

    uint32_t ver = 0, crc = 0;
    EXPECT_EQ(ver_CRC32_response(&ver, &crc), CODE_VERSION);
    EXPECT_EQ(ver, o.loader_version);
    EXPECT_EQ(crc, 0u) << "nothing flashed yet";

    EXPECT_EQ(file.download(), 0);
    EXPECT_EQ(sim_rec.image, image);
    EXPECT_EQ(written_indices(), (std::vector<uint32_t>{0, 1, 2}));

    std::vector<int> states;
    for (int i = 0; i < 5; i++)
        states.push_back(state_response());
    EXPECT_EQ(states, (std::vector<int>{4, 4, 4, 6, 6}));

    EXPECT_EQ(ver_CRC32_response(&ver, &crc), CODE_VERSION);
    EXPECT_EQ(crc, sim_crc32(image.data(), image.size()));

    // A host that starts again (its run cut off) writes the flash from the start.
    EXPECT_EQ(file.download(), 0);
    EXPECT_EQ(sim_rec.image, image) << "the second download replaced the first";
    EXPECT_EQ(ver_CRC32_response(&ver, &crc), CODE_VERSION);
    EXPECT_EQ(crc, sim_crc32(image.data(), image.size()));

    EXPECT_EQ(exit_response(), RESP_SHORT) << "gone before it could answer";
    ASSERT_EQ(reconnect(), 0);
    EXPECT_EQ(ask_version(), "{\"result\": {\"value\": \"1.2.4\"}}");

    EXPECT_EQ(sim_rec.commands,
              (std::vector<uint8_t>{0x4A, 0x84, 0x84, 0x84, 0x84, 0x84, 0x4A, 0x4A, 0xF1}));
    EXPECT_EQ(sim_rec.documents.size(), 3u);
    EXPECT_EQ(sim_rec.opens, 3);
}

TEST_F(sim_test, block_replies) {
    struct {
        const char* name;
        std::vector<sim_block_rule> rules;
        bool silent;
        int result;
        std::vector<uint32_t> written;
        size_t kept;
    } cases[] = {
        {"begin and end", {{0, 3, {1}}, {2, 2, {1}}}, false, 0, {0, 1, 2}, 3},
        {"rejected once", {{1, 254, {1}}}, false, 0, {0, 1, 1, 2}, 3},
        {"rejected, unanswered",
         {{1, 254, {1}}, {1, std::nullopt, {1}}},
         false,
         0,
         {0, 1, 1, 1, 2},
         3},
        {"always rejected", {{1, 253, SIM_ALWAYS}}, false, -1, {0, 1, 1, 1}, 1},
        {"silent loader", {}, true, -1, {0, 0, 0}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim_options o = loader_options();
        o.block_rules = c.rules;
        o.loader_silent = c.silent;
        start(o);
        load_image(3);

        EXPECT_EQ(file.download(), c.result);
        EXPECT_EQ(written_indices(), c.written);
        std::vector<uint8_t> kept(image.begin(),
                                  image.begin() + static_cast<long>(c.kept * BLOCK_SIZE));
        EXPECT_EQ(sim_rec.image, kept);
        for (const sim_block& b : sim_rec.blocks)
            EXPECT_EQ(memcmp(b.data.data(), &image[b.index * BLOCK_SIZE], BLOCK_SIZE), 0);
        uint32_t ver = 0, crc = 0;
        if (!c.silent) {
            ASSERT_EQ(ver_CRC32_response(&ver, &crc), CODE_VERSION);
            EXPECT_EQ(crc, sim_crc32(kept.data(), kept.size()));
        }
    }
    EXPECT_NE(con.text().find("Download begin - O'k"), std::string::npos);
    EXPECT_NE(con.text().find("Download END - O'k"), std::string::npos);
}

TEST_F(sim_test, state_sequences) {
    struct {
        int flash_polls;
        std::vector<uint8_t> list;
        std::vector<int> expected;
    } cases[] = {
        {0, {}, {6, 6}},
        {2, {}, {4, 4, 6, 6}},
        {3, {4, 253, 254, 251}, {4, 253, 254, 251, 251}},
    };
    for (const auto& c : cases) {
        sim_options o = loader_options();
        o.flash_polls = c.flash_polls;
        o.states = c.list;
        start(o);
        std::vector<int> got;
        for (size_t i = 0; i < c.expected.size(); i++)
            got.push_back(state_response());
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(sim_test, failed_state_write_drops_the_loader) {
    sim_options o = loader_options();
    o.state_write_fails = 1;
    o.state_fail_away = {1};
    start(o);
    EXPECT_EQ(state_response(), CMD_NOT_WRITTEN);
    EXPECT_FALSE(sim_is_present());
    plat_close(husb);
    ASSERT_EQ(connect_ADM_USB(), 0);
    EXPECT_EQ(fake_clock_ms, 1000u) << "one enumeration missed";
    EXPECT_EQ(sim_current_mode(), SIM_LOADER);
    EXPECT_EQ(state_response(), 4) << "the failed query consumed no state";
}

// Done writing, the loader restarts into the new firmware in place of its 6: the printer counts
// as having written its flash and left the loader, though it never said so.
TEST_F(sim_test, a_loader_that_restarts_by_itself) {
    for (bool refuses : {false, true}) {
        sim_options o = loader_options();
        o.flash_polls = 1;
        o.restart_after_flash = true;
        o.restart_away = {1};
        o.app_refuses_ep3 = refuses;
        start(o);
        EXPECT_EQ(state_response(), 4);
        EXPECT_FALSE(sim_rec.flash_done);
        EXPECT_EQ(state_response(), CMD_NOT_WRITTEN);
        EXPECT_TRUE(sim_rec.flash_done && sim_rec.left_loader);
        EXPECT_FALSE(sim_is_present());
        plat_close(husb);
        ASSERT_EQ(connect_ADM_USB(), 0);
        EXPECT_EQ(sim_current_mode(), SIM_APP);
        EXPECT_NE(ask_version().find("\"1.2.4\""), std::string::npos);
        EXPECT_EQ(state_response(), refuses ? CMD_NOT_WRITTEN : RESP_SHORT) << refuses;
    }
}

enum leave_by { STAY, UPGRADE, EXIT };

// Away counts from the start, after upgrade_mode and after exit, seen by the connection loop.
TEST_F(sim_test, absence_is_counted_in_enumerations) {
    struct {
        const char* name;
        sim_away absent, upgrade_away, exit_away;
        leave_by leave;
        int result;
        uint64_t clock;
    } cases[] = {
        {"three attempts late", {3}, {}, {}, STAY, 0, 3000},
        {"never there", SIM_FOR_GOOD, {}, {}, STAY, -1, 20000},
        {"loader late", {}, {2}, {}, UPGRADE, 0, 2000},
        {"loader never", {}, SIM_FOR_GOOD, {}, UPGRADE, -1, 20000},
        {"firmware never", {}, {}, SIM_FOR_GOOD, EXIT, -1, 20000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim_options o;
        o.absent = c.absent;
        o.upgrade_away = c.upgrade_away;
        o.exit_away = c.exit_away;
        o.start_mode = c.leave == EXIT ? SIM_LOADER : SIM_APP;
        start_unopened(o);
        if (c.leave != STAY) {
            ASSERT_EQ(openUSB(), 0);
            if (c.leave == EXIT)
                exit_response();
            else
                writeUSB(UPGRADE_MODE, sizeof(UPGRADE_MODE), EP_JSON);
            plat_close(husb);
        }
        fake_clock_ms = 0;
        EXPECT_EQ(connect_ADM_USB(), c.result);
        EXPECT_EQ(fake_clock_ms, c.clock);
    }
}

TEST_F(sim_test, exit_reply_holds_the_loader_until_the_close) {
    sim_options o = loader_options();
    o.exit_reply = 1;
    start(o);
    EXPECT_EQ(exit_response(), 1);
    EXPECT_TRUE(sim_is_present());
    ASSERT_EQ(reconnect(), 0);
    EXPECT_EQ(ask_version(), "{\"result\": {\"value\": \"1.2.4\"}}");
}

TEST_F(sim_test, connection_rules) {
    sim_reset(sim_options());
    int a = sim_open();
    EXPECT_GT(a, 0);
    EXPECT_EQ(sim_open(), -1) << "exclusive";
    uint8_t b[4];
    uint32_t n = 1;
    EXPECT_FALSE(sim_read(a, b, sizeof(b), &n)) << "no pipe selected yet";
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(sim_ioctl(a, 0x950F2010u));
    EXPECT_FALSE(sim_ioctl(a + 1, pipe_code(1)));
    EXPECT_TRUE(sim_ioctl(a, pipe_code(1)));
    sim_close(a);
    int c = sim_open();
    EXPECT_GT(c, a);
    EXPECT_FALSE(sim_ioctl(a, pipe_code(1))) << "a closed connection stays closed";
}

TEST_F(sim_test, version_query_faults) {
    struct {
        const char* name;
        sim_options o;
        std::string reply;
    } cases[4];
    cases[0] = {"silent", {}, ""};
    cases[0].o.app_silent = true;
    cases[1] = {"own text", {}, "no version here"};
    cases[1].o.version_reply = "no version here";
    cases[2] = {"failing write", {}, "write failed"};
    cases[2].o.fail_command = "get_version";
    cases[3] = {"loader ignores documents", loader_options(), ""};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.o);
        EXPECT_EQ(ask_version(), c.reply);
        EXPECT_EQ(sim_rec.received[EP_JSON].empty(), c.reply == "write failed");
    }
}

TEST_F(sim_test, split_and_stale_replies) {
    sim_options o = loader_options();
    o.split_ep = EP_LOADER;
    start(o);
    EXPECT_EQ(state_response(), RESP_SHORT) << "two reads, one byte each";
    EXPECT_EQ(get_response(nullptr, nullptr), 4);
    for (const fake_call& c : fake_calls(OP_READ))
        EXPECT_LE(c.count, 1u);

    o.split_ep.reset();
    o.stale_bytes = bytes({0x55, 0x55, 0x02, 0x02});
    o.stale_at = SIM_STALE_CODE;
    o.stale_code = code_state;
    start(o);
    EXPECT_EQ(state_response(), 2);
    EXPECT_EQ(state_response(), 4) << "the real answer came behind the stale one";
}

// The faults of the end-to-end fault matrix, as the program's own functions meet them.
TEST_F(sim_test, refused_opens) {
    sim_options o;
    o.refuse_opens = {2};
    start_unopened(o);
    EXPECT_EQ(connect_ADM_USB(), 0);
    EXPECT_EQ(fake_clock_ms, 2000u) << "two refusals, a second each";
    EXPECT_EQ(sim_rec.opens, 1);

    o.refuse_opens = SIM_ALWAYS;
    start_unopened(o);
    EXPECT_EQ(connect_ADM_USB(), -1);
    EXPECT_EQ(sim_rec.opens, 0);
    EXPECT_TRUE(sim_is_present()) << "published all along";
}

TEST_F(sim_test, vanishing_at_a_block) {
    sim_options o = loader_options();
    o.vanish_block = 1;
    o.vanish_away = {2};
    start(o);
    load_image(3);
    EXPECT_EQ(file.download(), -1);
    EXPECT_EQ(written_indices(), (std::vector<uint32_t>{0}));
    EXPECT_EQ(sim_rec.image, std::vector<uint8_t>(image.begin(), image.begin() + BLOCK_SIZE));
    EXPECT_FALSE(sim_is_present());

    plat_close(husb);
    fake_clock_ms = 0;
    ASSERT_EQ(connect_ADM_USB(), 0);
    EXPECT_EQ(fake_clock_ms, 2000u);
    EXPECT_EQ(sim_current_mode(), SIM_LOADER);
    EXPECT_EQ(file.download(), 0) << "it goes only once";
    EXPECT_EQ(sim_rec.image, image) << "block 0, sent again, takes its own place";
    EXPECT_EQ(written_indices(), (std::vector<uint32_t>{0, 0, 1, 2}));
}

// What the loader puts on endpoint 3 for one command, read raw.
std::vector<uint8_t> raw_reply(unsigned char code) {
    const unsigned char packet[4] = {0x51, 0x18, 0x06, code};
    EXPECT_EQ(writeUSB(packet, sizeof(packet), EP_LOADER), 4);
    std::vector<uint8_t> out(1024);
    int n = readUSB(out.data(), static_cast<uint32_t>(out.size()), EP_LOADER);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

TEST_F(sim_test, garbage_instead_of_frames) {
    sim_options o = loader_options();
    o.garbage_from = 0;
    start(o);
    std::vector<uint8_t> first = raw_reply(code_state);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_NE(first, bytes({0x55, 0x55, 4, 4}));
    EXPECT_EQ(raw_reply(code_CRC32_ver).size(), 12u);
    start(o);
    EXPECT_EQ(raw_reply(code_state), first) << "the same garbage on every run";

    // Garbage for the first block's answer only: that block was not taken and comes again.
    o.garbage_from = 1;
    o.garbage_count = {1};
    start(o);
    load_image(2);
    uint32_t ver = 0, crc = 0;
    EXPECT_EQ(ver_CRC32_response(&ver, &crc), CODE_VERSION);
    EXPECT_EQ(file.download(), 0);
    EXPECT_EQ(written_indices(), (std::vector<uint32_t>{0, 0, 1}));
    EXPECT_TRUE(sim_rec.blocks[0].garbled);
    EXPECT_FALSE(sim_rec.blocks[0].reply) << "no frame went back";
    EXPECT_FALSE(sim_rec.blocks[0].kept);
    EXPECT_EQ(sim_rec.image, image);
}

TEST_F(sim_test, stale_bytes_before_every_command_and_surplus_behind_the_version) {
    sim_options o = loader_options();
    o.stale_bytes = bytes({0x55, 0x55, 0x02, 0x02});
    o.stale_at = SIM_STALE_COMMAND;
    start(o);
    std::vector<int> once = {state_response(), state_response(), state_response()};
    EXPECT_EQ(once, (std::vector<int>{2, 4, 4}));

    o.stale_every = true;
    start(o);
    EXPECT_EQ(raw_reply(code_CRC32_ver)[2], 0x02) << "any command, not only the state query";
    std::vector<int> every = {state_response(), state_response(), state_response()};
    EXPECT_EQ(every, (std::vector<int>{2, 4, 2}));

    o = loader_options();
    o.surplus = bytes({0x55, 0x55, 0x01, 0x01});
    start(o);
    std::vector<uint8_t> version = raw_reply(code_CRC32_ver);
    ASSERT_EQ(version.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(version.begin() + 12, version.end()), o.surplus);
    EXPECT_EQ(raw_reply(code_state), bytes({0x55, 0x55, 4, 4})) << "behind version replies only";
}

TEST_F(sim_test, writes_taken_in_part) {
    sim_options o = loader_options();
    o.write_max = 100;
    start(o);
    load_image(1);
    EXPECT_EQ(writeUSB(image.data(), BLOCK_SIZE, EP_LOADER), 100);
    EXPECT_EQ(sim_rec.received[EP_LOADER],
              std::vector<uint8_t>(image.begin(), image.begin() + 100));
    EXPECT_TRUE(sim_rec.blocks.empty()) << "a cut block is no block";
    EXPECT_EQ(state_response(), 4) << "a command packet fits";

    o.write_max = 3;
    start(o);
    EXPECT_EQ(state_response(), CMD_NOT_WRITTEN);
    EXPECT_TRUE(sim_rec.commands.empty());
}

// `line` split at its spaces, as the shell would.
int parse_sim(const std::string& line, sim_config* c, fpsim_settings* own) {
    std::istringstream in(line);
    std::vector<std::string> args{std::istream_iterator<std::string>(in), {}};
    return parse_args("fpsim", args, [c, own](int argc, char** argv) {
        return fpsim_parse_command_line(argc, argv, "", c, own);
    });
}

// fpsim's command line: each fault read as what it is, the away times not given taken from
// --reenum.
TEST(sim_command_line, reads_each_fault_as_what_it_is) {
    sim_config c;
    fpsim_settings own;
    ASSERT_EQ(parse_sim("", &c, &own), -1);
    const sim_options& m = c.model;
    EXPECT_EQ(m.ack, sim_reply(1));
    EXPECT_FALSE(m.exit_reply || m.split_ep || m.garbage_from || m.vanish_block);
    EXPECT_FALSE(own.tcp_port || own.cut_read);
    EXPECT_EQ(m.stale_at, SIM_STALE_NOWHERE);
    EXPECT_EQ(m.upgrade_away.count, 200);
    EXPECT_TRUE(m.vanish_away.for_good);

    ASSERT_EQ(parse_sim("--reenum 50 --absent never --upgrade-away 300 --block 2:none:3 --block "
                        "4:254 --ack none --exit-reply 6 --stale 55aB01 --stale-before 0x84 "
                        "--garbage 3:always --refuse-open always --vanish-at 7 --split-ep 3 "
                        "--cut-read 2 --tcp 0",
                        &c, &own),
              -1);
    EXPECT_TRUE(m.absent.for_good);
    EXPECT_EQ(m.upgrade_away.count, 300);
    EXPECT_FALSE(m.upgrade_away.for_good);
    for (const sim_away* a : {&m.state_fail_away, &m.exit_away, &m.restart_away})
        EXPECT_TRUE(a->count == 50 && !a->for_good) << "not given: the re-enumeration time";
    ASSERT_EQ(m.block_rules.size(), 2u);
    EXPECT_EQ(m.block_rules[0].index, 2u);
    EXPECT_FALSE(m.block_rules[0].reply);
    EXPECT_TRUE(m.block_rules[0].times.count == 3 && !m.block_rules[0].times.always);
    EXPECT_EQ(m.block_rules[1].reply, sim_reply(254));
    EXPECT_TRUE(m.block_rules[1].times.always);
    EXPECT_FALSE(m.ack);
    EXPECT_EQ(m.exit_reply, sim_reply(6));
    EXPECT_EQ(m.stale_bytes, bytes({0x55, 0xAB, 0x01}));
    EXPECT_TRUE(m.stale_at == SIM_STALE_CODE && m.stale_code == 0x84);
    EXPECT_EQ(m.garbage_from, 3);
    EXPECT_TRUE(m.garbage_count.always);
    EXPECT_TRUE(m.refuse_opens.always);
    EXPECT_EQ(m.vanish_block, 7u);
    EXPECT_TRUE(m.vanish_away.for_good);
    EXPECT_EQ(m.split_ep, 3);
    EXPECT_EQ(own.cut_read, 2);
    EXPECT_EQ(own.tcp_port, 0);

    ASSERT_EQ(parse_sim("--stale-before block --vanish-at 1:1000", &c, &own), -1);
    EXPECT_EQ(m.stale_at, SIM_STALE_BLOCK);
    EXPECT_TRUE(m.vanish_away.count == 1000 && !m.vanish_away.for_good);

    testing::internal::CaptureStderr();
    for (const char* bad : {"--stale 55", "--stale 5g --stale-before block", "--block 1",
                            "--block 1:none:0", "--garbage 3:", "--upgrade-away soon",
                            "--refuse-open -1", "--stale-before 256", "--split-ep 4"})
        EXPECT_EQ(parse_sim(bad, &c, &own), DI_EXIT_USAGE) << bad;
    testing::internal::GetCapturedStderr();
}

} // namespace
