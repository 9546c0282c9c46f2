// Whole runs of the program, from the command line to the exit status, in-process against the
// simulated printer with the virtual clock.
#include <cstdio>
#include <string>

#include "driver/driver.h"
#include "image/image.h"
#include "sim/sim.h"
#include "tests/scratch.h"
#include "tests/test_util.h"

namespace {

std::string firmware_reply(const std::string& version) {
    return "{\"result\": {\"value\": \"" + version + "\"}}";
}

std::string version_query(const std::string& version) {
    return "Write command 'get_version' - O'k\nVersion, read " +
           std::to_string(firmware_reply(version).size()) + " bytes\nVersion: " + version + "\n";
}

std::string crc_line(uint32_t crc) {
    char line[32];
    snprintf(line, sizeof(line), "CRC32 = 0x%08X\n", crc);
    return line;
}

std::string repeat(const std::string& line, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += line;
    return out;
}

// fpflash with `args` after its name, as the shell would pass them.
int fpflash(const std::vector<std::string>& args) {
    return parse_args("fpflash", args, fpflash_main);
}

const std::string OPEN = "Open USB - O'k\n";
const std::string WAIT = "Wait open USB\n";
const std::string PROMPT = "Press 'Enter' for exit...\n";

// Waits a complete run spends outside the download and the state polls.
const uint64_t VERSION_WAIT = 1000, SWITCH_WAIT = 3000, CRC_WAIT = 400, FLASH_WAIT = 2500,
               POLL = 10 + 500, EXIT_WAIT = 100 + 20, REOPEN_WAIT = 2000;

class sequence : public fresh_state {
  protected:
    void make_image(uint32_t blocks) {
        image.resize(blocks * BLOCK_SIZE);
        for (size_t i = 0; i < image.size(); i++)
            image[i] = static_cast<char>((i * 31 + 7) & 0xFF);
        path = dir.write("image.bin", image);
    }

    int run(const sim_options& o, uint32_t blocks = 3) {
        make_image(blocks);
        fake_serve_sim(o);
        return fpflash({path});
    }

    std::string head() { return "Read file '" + path + "' - O'k\n"; }
    std::string download_ok(const std::string& progress = "Download block 0\n") {
        return "Download file '" + path + "'...\n" + progress + "Download file '" + path +
               "' - O'k\n";
    }
    std::string loader_start() { return OPEN + crc_line(0) + download_ok(); }
    // The loader phase closed after `crc_said`, the answer to the final CRC query.
    std::string closing(const std::string& crc_said, const std::string& exit_code = "-1") {
        return crc_said + "Exit loader  code = " + exit_code + "\n" + OPEN +
               version_query("1.2.4") + PROMPT;
    }
    std::string closing() { return closing(crc_line(sim_crc32(image.data(), image.size()))); }
    std::string flash_states() {
        return "Download fiscal printer... 0\nDownload fiscal printer... 1\n"
               "Download fiscal printer... 2\nDownload end fiscal printer - O'k\n";
    }
    std::string firmware_phase() {
        return head() + OPEN + version_query("1.2.3") + "Write command 'upgrade_mode' - O'k\n";
    }
    size_t sleeps_of(uint32_t ms) {
        size_t n = 0;
        for (const fake_call& c : fake_calls(OP_SLEEP))
            n += c.arg == ms;
        return n;
    }

    scratch_dir dir{"fpflash-seq-"};
    std::string path;
    std::string image;
};

TEST_F(sequence, a_complete_update) {
    EXPECT_EQ(0, run(sim_options()));
    EXPECT_EQ(firmware_phase() + loader_start() + flash_states() + closing(), con.text());
    EXPECT_EQ(1, con.keys_read());
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.end()), sim_rec.image);
    EXPECT_EQ(VERSION_WAIT + SWITCH_WAIT + CRC_WAIT + 3 * 40 + FLASH_WAIT + 3 * POLL + 10 +
                  CRC_WAIT + EXIT_WAIT + REOPEN_WAIT + VERSION_WAIT,
              fake_clock_ms);
    // Both documents went out whole, with their terminator.
    ASSERT_EQ(3u, sim_rec.documents.size());
    EXPECT_EQ(std::string(command_ver_main, 116), sim_rec.documents[0]);
    EXPECT_EQ(std::string(command_download_main, 117), sim_rec.documents[1]);
    // Every handle opened was closed: after the switch, after exit, at the end.
    EXPECT_EQ(3u, fake_calls(OP_OPEN).size());
    EXPECT_EQ(3u, fake_calls(OP_CLOSE).size());
}

TEST_F(sequence, the_handle_is_closed_before_the_switch_is_reported) {
    run(sim_options());
    long said = static_cast<long>(con.text().find("Write command 'upgrade_mode' - O'k"));
    fake_call first_close = fake_calls(OP_CLOSE).at(0);
    EXPECT_LE(first_close.con_pos, said);
    EXPECT_EQ(1u, sleeps_of(SWITCH_WAIT));
}

TEST_F(sequence, acknowledgement_codes_show_during_the_download) {
    sim_options o;
    o.block_rules = {{0, 3, {1}}, {20, 2, {1}}};
    EXPECT_EQ(0, run(o, 21));
    EXPECT_NE(std::string::npos,
              con.text().find("Download block 0\nDownload begin - O'k\nDownload block 20\n"
                              "Download END - O'k\nDownload file"));
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.end()), sim_rec.image);
}

TEST_F(sequence, a_silent_firmware_goes_straight_to_the_loader_on_the_same_handle) {
    sim_options o;
    o.start_mode = SIM_LOADER;
    EXPECT_EQ(0, run(o));
    EXPECT_EQ(head() + OPEN + "Write command 'get_version' - O'k\nERROR read version, res = 0\n" +
                  crc_line(0) + download_ok() + flash_states() + closing(),
              con.text());
    EXPECT_EQ(0u, sleeps_of(SWITCH_WAIT));
    EXPECT_EQ(2u, sim_rec.opens);
    for (const std::string& d : sim_rec.documents)
        EXPECT_EQ(std::string::npos, d.find("upgrade_mode"));
}

TEST_F(sequence, an_unscannable_reply_is_printed_raw_and_the_switch_follows) {
    sim_options o;
    o.version_reply = "{\"status\": \"busy\"}";
    // The final reply is unscannable too: the update ran, but no version was read.
    EXPECT_EQ(-1, run(o));
    std::string raw =
        "Write command 'get_version' - O'k\nVersion, read 18 bytes\n" + o.version_reply;
    EXPECT_EQ(head() + OPEN + raw + "Write command 'upgrade_mode' - O'k\n" + loader_start() +
                  flash_states() + crc_line(sim_crc32(image.data(), image.size())) +
                  "Exit loader  code = -1\n" + OPEN + raw + PROMPT,
              con.text());
}

TEST_F(sequence, a_loader_that_does_not_answer_the_first_crc_query) {
    sim_options o;
    o.loader_silent = true;
    EXPECT_EQ(-1, run(o));
    EXPECT_EQ(firmware_phase() + OPEN + "ERROR read CRC32, code - -1\n" + PROMPT, con.text());
    EXPECT_EQ(std::vector<uint8_t>{0x4A}, sim_rec.commands); // no block, no exit command
    EXPECT_EQ(1, con.keys_read());
}

TEST_F(sequence, a_failed_download_closes_the_loader_phase_and_fails_the_run) {
    sim_options o;
    o.block_rules = {{1, std::nullopt, SIM_ALWAYS}};
    EXPECT_EQ(-1, run(o));
    EXPECT_EQ(firmware_phase() + OPEN + crc_line(0) + "Download file '" + path +
                  "'...\nDownload block 0\nERROR download file " + path + "\n" +
                  closing(crc_line(sim_crc32(image.data(), 528))),
              con.text());
    // Block 1 went out three times; block 2 never.
    EXPECT_EQ(4u, sim_rec.blocks.size());
}

struct state_case {
    const char* name;
    std::vector<uint8_t> states;
    std::string printed;
    int status;
    // Sent ahead of the acknowledgement of a one-record image: what it leaves behind that
    // acknowledgement is held when polling starts.
    std::vector<uint8_t> before_ack = {};
};

class state_polling : public sequence, public ::testing::WithParamInterface<state_case> {};

TEST_P(state_polling, reports_each_state_and_stops_only_on_6_or_251) {
    const state_case& c = GetParam();
    sim_options o;
    o.states = c.states;
    uint32_t blocks = 3;
    if (!c.before_ack.empty()) {
        o.stale_at = SIM_STALE_BLOCK;
        o.stale_bytes = c.before_ack;
        blocks = 1;
    }
    EXPECT_EQ(c.status, run(o, blocks));
    EXPECT_EQ(firmware_phase() + loader_start() + c.printed + closing(), con.text());
}

// An acknowledgement and then `n` sync bytes and `tail`: 64 bytes, one read's worth, so the
// loader's own acknowledgement behind them waits in the read-ahead.
std::vector<uint8_t> ack_then(size_t n, std::initializer_list<int> tail) {
    std::vector<uint8_t> b = {0x55, 0x55, 1, 1};
    b.insert(b.end(), n, 0x55);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    cases, state_polling,
    ::testing::Values(
        state_case{"done_at_once", {6}, "Download end fiscal printer - O'k\n", 0},
        state_case{"counter_survives_other_states",
                   {4, 253, 4, 254, 1, 2, 4, 6},
                   "Download fiscal printer... 0\nDownload ERROR FLASH\n"
                   "Download fiscal printer... 1\nDownload ERROR block\nDownload block - O'k\n"
                   "Download END - O'k\nDownload fiscal printer... 2\n"
                   "Download end fiscal printer - O'k\n",
                   0},
        state_case{"unknown_codes_are_reported",
                   {3, 0, 7, 6},
                   "Download get_response res = 3\nDownload get_response res = 0\n"
                   "Download get_response res = 7\nDownload end fiscal printer - O'k\n",
                   0},
        // The printer failed to write its flash: the run must not end as a success.
        state_case{"printer_failure",
                   {4, 251},
                   "Download fiscal printer... 0\n"
                   "Download ERROR fiscal printer\n",
                   251},
        // Incomplete frames held when polling starts are read into: the code byte is found
        // not repeated, the cut version reply takes the next bytes as its data. Either way the
        // first answer is lost, and the printer is heard again from the second poll on.
        state_case{"lone_code_byte_held",
                   {4, 4, 6},
                   "Download get_response res = -2\nDownload fiscal printer... 0\n"
                   "Download end fiscal printer - O'k\n",
                   0,
                   ack_then(59, {4})},
        state_case{"cut_version_reply_held",
                   {4, 4, 6},
                   "Download get_response res = 74\nDownload fiscal printer... 0\n"
                   "Download end fiscal printer - O'k\n",
                   0,
                   ack_then(51, {0x55, 0x55, 0x4A, 0x4A, 1, 2, 3, 4, 5})}),
    [](const ::testing::TestParamInfo<state_case>& i) { return std::string(i.param.name); });

TEST_F(sequence, state_polls_are_half_a_second_apart) {
    sim_options o;
    o.states = {4, 4, 4, 4, 6};
    run(o);
    EXPECT_EQ(4u, sleeps_of(500));
    EXPECT_EQ(1u, sleeps_of(2500));
}

// After "Exit USB" and a reopening, the next state queries decide: the loader that was writing
// answers a state and is polled on; a printer that has restarted by itself can't take the state
// command, or gives no state three times in a row, and the loader phase is closed.
struct reopened_case {
    const char* name;
    sim_options printer;
    std::string polled; // from the first state poll on
    // Closing the loader phase on the firmware that came back: its answer to the loader's
    // commands; empty for the loader, which answers as in a complete update.
    std::string firmware_answers;
    int status;
    std::string ending;
    size_t half_seconds; // 500 ms waits: after "Exit USB" and between polls
};

class after_exit_usb : public sequence, public ::testing::WithParamInterface<reopened_case> {};

TEST_P(after_exit_usb, the_next_state_queries_decide) {
    const reopened_case& c = GetParam();
    EXPECT_EQ(c.status, run(c.printer));
    std::string closed =
        c.firmware_answers.empty()
            ? closing()
            : closing("ERROR read CRC32, code - " + c.firmware_answers + "\n", c.firmware_answers);
    EXPECT_EQ(firmware_phase() + loader_start() + c.polled + (c.ending.empty() ? closed : c.ending),
              con.text());
    EXPECT_EQ(c.half_seconds, sleeps_of(500));
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.end()), sim_rec.image);
}

sim_options restarting(bool refuses_ep3) {
    sim_options o;
    o.flash_polls = 2;
    o.restart_after_flash = true;
    o.app_refuses_ep3 = refuses_ep3;
    return o;
}

sim_options glitch(int after, const std::vector<uint8_t>& states = {}, int fails = 1) {
    sim_options o;
    o.flash_polls = 4;
    o.states = states;
    o.state_write_fails = fails;
    o.state_fail_after = after;
    return o;
}

const std::string FLASHING_0_1 = "Download fiscal printer... 0\nDownload fiscal printer... 1\n";
const std::string REOPENED = "Exit USB\n" + OPEN;
const std::string NO_REPLY = "Download get_response res = -1\n";

INSTANTIATE_TEST_SUITE_P(
    cases, after_exit_usb,
    ::testing::Values(
        // Back as the new firmware, which takes the state command and answers nothing.
        reopened_case{"restarted_into_the_new_firmware", restarting(false),
                      FLASHING_0_1 + REOPENED + repeat(NO_REPLY, 3), "-1", 0, "", 2 + 1 + 3},
        reopened_case{"restarted_into_a_firmware_refusing_endpoint_3", restarting(true),
                      FLASHING_0_1 + REOPENED + "Download get_response res = -100\n", "-100", 0, "",
                      2 + 1 + 1},
        // Still the loader, still writing: polled on, and told to exit only after 6.
        reopened_case{"a_glitch_at_the_first_query", glitch(0),
                      REOPENED + "Download fiscal printer... 0\nDownload fiscal printer... 1\n"
                                 "Download fiscal printer... 2\nDownload fiscal printer... 3\n"
                                 "Download end fiscal printer - O'k\n",
                      "", 0, "", 1 + 5},
        reopened_case{"a_glitch_while_writing", glitch(2),
                      FLASHING_0_1 + REOPENED +
                          "Download fiscal printer... 2\nDownload fiscal printer... 3\n"
                          "Download end fiscal printer - O'k\n",
                      "", 0, "", 2 + 1 + 3},
        // Two polls without a state, then the loader is heard: the count starts again.
        reopened_case{"no_state_twice_then_the_loader", glitch(0, {3, 0, 4, 6}),
                      REOPENED +
                          "Download get_response res = 3\nDownload get_response res = 0\n"
                          "Download fiscal printer... 0\nDownload end fiscal printer - O'k\n",
                      "", 0, "", 1 + 4},
        // Failing again after the reopening, the printer is not asked further. This loader
        // went away with the failed write and is back in time for the final query, where it
        // has no version to give.
        reopened_case{
            "the_state_command_fails_again", glitch(1, {}, 2),
            "Download fiscal printer... 0\n" + REOPENED + "Download get_response res = -100\n", "",
            -1,
            "ERROR read CRC32, code - -100\nExit loader  code = -100\n" + OPEN +
                "Write command 'get_version' - O'k\nERROR read version, res = 0\n" + PROMPT,
            1 + 1 + 1}),
    [](const ::testing::TestParamInfo<reopened_case>& i) { return std::string(i.param.name); });

TEST_F(sequence, a_state_command_not_written_and_the_printer_gone) {
    sim_options o;
    o.state_write_fails = 1;
    o.state_fail_away = SIM_FOR_GOOD;
    EXPECT_EQ(-1, run(o));
    EXPECT_EQ(firmware_phase() + loader_start() + "Exit USB\n" + repeat(WAIT, 20), con.text());
    EXPECT_EQ(1, con.keys_read());
    // Closed after the switch and before the reconnection; nothing open to close after that.
    EXPECT_EQ(2u, fake_calls(OP_CLOSE).size());
}

TEST_F(sequence, a_printer_that_never_appears) {
    sim_options o;
    o.absent = SIM_FOR_GOOD;
    EXPECT_EQ(-1, run(o));
    EXPECT_EQ(head() + repeat(WAIT, 20), con.text());
    EXPECT_EQ(20000u, fake_clock_ms);
    EXPECT_EQ(20u, fake_calls(OP_FIND).size());
    EXPECT_EQ(0, con.keys_read());
}

TEST_F(sequence, a_printer_that_appears_on_the_third_attempt) {
    sim_options o;
    o.absent = {2};
    EXPECT_EQ(0, run(o));
    EXPECT_EQ(0u, con.text().find(head() + WAIT + WAIT + OPEN + "Write command"));
}

TEST_F(sequence, no_return_after_a_mode_switch_ends_at_once) {
    sim_options after_upgrade;
    after_upgrade.upgrade_away = SIM_FOR_GOOD;
    EXPECT_EQ(-1, run(after_upgrade));
    EXPECT_EQ(firmware_phase() + repeat(WAIT, 20), con.text());
    EXPECT_EQ(0, con.keys_read());

    sim_options after_exit;
    after_exit.exit_away = SIM_FOR_GOOD;
    console_capture second;
    EXPECT_EQ(-1, run(after_exit));
    std::string t = second.text();
    EXPECT_EQ(repeat(WAIT, 20), t.substr(t.size() - 20 * WAIT.size()));
    EXPECT_NE(std::string::npos, t.find("Exit loader  code = -1\n" + WAIT));
    EXPECT_EQ(std::string::npos, t.find(PROMPT));
    EXPECT_EQ(0, second.keys_read());
}

TEST_F(sequence, an_empty_image_flashes_nothing_but_runs_every_step) {
    EXPECT_EQ(0, run(sim_options(), 0));
    EXPECT_EQ(firmware_phase() + OPEN + crc_line(0) + download_ok("") + flash_states() + closing(),
              con.text());
    EXPECT_TRUE(sim_rec.blocks.empty());
}

// Command line and image: none of these ends touches the device.
TEST_F(sequence, ends_before_the_device) {
    EXPECT_EQ(1, fpflash({}));
    EXPECT_EQ("ERROR command line\n", con.text());
    EXPECT_EQ(1, con.keys_read());

    not_regular_files odd;
    struct {
        std::string name;
        int status;
        std::string printed;
    } cases[] = {
        {"/nonexistent/image.bin", -1, "File '/nonexistent/image.bin' not found\n"},
        {std::string(1021, 'a'), -1, "File '" + std::string(1020, 'a') + "' not found\n"},
        {odd.fifo, -1, "File '" + odd.fifo + "' not found\n"},
        {odd.directory, -1, "File '" + odd.directory + "' not found\n"},
    };
    for (const auto& c : cases) {
        console_capture each;
        EXPECT_EQ(c.status, fpflash({c.name}));
        EXPECT_EQ(c.printed, each.text());
        EXPECT_EQ(1, each.keys_read());
    }

    make_image(1);
    FILE* f = fopen(path.c_str(), "ab");
    fputc('x', f);
    fclose(f);
    console_capture bad;
    EXPECT_EQ(-2, fpflash({path}));
    EXPECT_EQ("ERROR in file '" + path + "' code = -2\n", bad.text());
    EXPECT_TRUE(fake_log.empty());
}

TEST_F(sequence, further_arguments_are_ignored) {
    make_image(1);
    fake_serve_sim(sim_options());
    EXPECT_EQ(0, fpflash({path, "/nonexistent"}));
    EXPECT_EQ(0u, con.text().find(head()));
}

TEST_F(sequence, end_of_input_does_not_hold_the_run) {
    console_capture no_input("");
    EXPECT_EQ(1, fpflash({}));
    EXPECT_EQ(0, no_input.keys_read());
}

// A step that failed with a result of 0 is still a failure.
TEST_F(sequence, failures_that_read_as_zero_do_not_end_as_success) {
    make_image(1);
    fake.writes[1].push_back({false, 0}); // get_version accepted nothing
    EXPECT_EQ(-1, fpflash({path}));
    EXPECT_EQ(head() + OPEN + "ERROR write command 'get_version'\n" + PROMPT, con.text());

    fake_reset();
    console_capture crc_zero;
    // No version reply, so straight to the loader, which answers code 0.
    fake.reads[3].push_back({false, bytes({0x55, 0x55, 0, 0})});
    EXPECT_EQ(-1, fpflash({path}));
    EXPECT_NE(std::string::npos, crc_zero.text().find("ERROR read CRC32, code - 0\n" + PROMPT));
}

} // namespace
