// The driver kit's requests, in-process over a socket pair: every malformed request a client
// may send fails, each with its one log line, whichever driver uses the kit. Its traces: what
// fpusbd records reads back, and fpsim --replay answers from it, up to the first request it
// does not have.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "di/kit.h"
#include "di/trace.h"
#include "sim/replay.h"
#include "tests/rude_client.h"

namespace {

class di_test : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        log = testing::TempDir() + "di_test_" + std::to_string(getpid()) + ".log";
        di_start("di_test", false);
        ASSERT_TRUE(di_log_open(log.c_str(), true));
    }

    void TearDown() override {
        di_log_close();
        remove(log.c_str());
        close(fds[0]);
        close(fds[1]);
    }

    // The driver's side of one request, on a printer with bulk pipes 1 and 3 that has nothing
    // to read and takes every write whole.
    void serve() {
        uint8_t packet[DI_RECEIVE_SIZE];
        long n = di_receive(fds[1], packet);
        ASSERT_GT(n, 0);
        di_request r;
        bool ok = false;
        uint32_t count = 0;
        if (di_check(session, packet, static_cast<size_t>(n), &r)) {
            int pipe = di_pipe_endpoint(r.value);
            ok = r.op != DI_OP_IOCTL || pipe == 1 || pipe == 3;
            count = r.op == DI_OP_WRITE ? r.value : 0;
        }
        count = di_answered(&session, r, ok, count, "");
        ASSERT_TRUE(di_reply(fds[1], ok, count, nullptr, 0));
    }

    // The reply's status to `req`, -1 when none came whole.
    int exchange(const std::vector<uint8_t>& req) {
        if (send(fds[0], req.data(), req.size(), 0) != static_cast<ssize_t>(req.size()))
            return -1;
        serve();
        uint8_t reply[DI_PACKET_MAX];
        ssize_t n = recv(fds[0], reply, sizeof(reply), MSG_DONTWAIT);
        return n == DI_HEADER_SIZE ? reply[0] : -1;
    }

    // The log's lines, without their time.
    std::vector<std::string> logged() {
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.size() > 10 ? line.substr(10) : "(short) " + line);
        return lines;
    }

    int fds[2] = {-1, -1};
    std::string log;
    di_session session = {1, false, -1};
};

TEST_F(di_test, every_malformed_request_fails_with_its_log_line) {
    std::vector<rude_step> steps = rude_steps();
    for (const rude_step& s : steps)
        EXPECT_EQ(exchange(s.req), s.status) << s.what;
    std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), steps.size());
    for (size_t i = 0; i < steps.size(); i++)
        EXPECT_EQ(lines[i], steps[i].logged) << steps[i].what;
    EXPECT_TRUE(session.open);
    EXPECT_EQ(session.pipe, 1);
}

TEST_F(di_test, a_pipe_select_holds_until_the_next_and_an_open_starts_afresh) {
    session = {1, true, 3};
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 2u << 2)), DI_FAILURE);
    EXPECT_EQ(session.pipe, 3) << "a refused pipe-select leaves the pipe as it was";
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 1u << 2)), DI_SUCCESS);
    EXPECT_EQ(session.pipe, 1);
    session.open = false;
    ASSERT_EQ(exchange(di_test_request(DI_OP_OPEN, DI_ACCESS)), DI_SUCCESS);
    EXPECT_EQ(session.pipe, -1) << "no pipe is selected after an OPEN";
}

TEST_F(di_test, receive_tells_nothing_waiting_from_a_client_gone) {
    uint8_t packet[DI_RECEIVE_SIZE];
    EXPECT_EQ(di_receive(fds[1], packet), 0);
    std::vector<uint8_t> big(DI_RECEIVE_SIZE + 100, 1);
    ASSERT_EQ(send(fds[0], big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    EXPECT_EQ(di_receive(fds[1], packet), static_cast<long>(DI_RECEIVE_SIZE))
        << "one past the largest request is cut, not read past the buffer";
    close(fds[0]);
    fds[0] = -1;
    EXPECT_EQ(di_receive(fds[1], packet), -1);
}

// A request as a client sends it, with `payload` behind a WRITE's header.
di_request request(uint8_t op, uint32_t value, const std::vector<uint8_t>& payload = {}) {
    return {op, value, payload.data(), DI_HEADER_SIZE + payload.size()};
}

class trace_test : public di_test {
  protected:
    void SetUp() override {
        di_test::SetUp();
        path = testing::TempDir() + "trace_test_" + std::to_string(getpid()) + ".trace";
        remove(path.c_str());
    }
    void TearDown() override {
        remove(path.c_str());
        di_test::TearDown();
    }

    // What fpusbd records of one short exchange: the state query of a loader, answered,
    // then an image record, after which the printer leaves.
    void record(bool blocks) {
        ASSERT_TRUE(di_trace_start(path.c_str(), blocks, "trace_test"));
        di_trace("published printer-1");
        di_trace("#1 connected");
        di_trace_request(1, open_req, 0, true, 0, nullptr);
        di_trace_request(1, select3, 0, true, 0, nullptr);
        di_trace_request(1, state, 0x03, true, 4, nullptr);
        di_trace("bulk in 0x83 4 %s", di_hex(reply.data(), reply.size()).c_str());
        di_trace_request(1, select3, 0, true, 0, nullptr);
        di_trace_request(1, read, 0x83, true, 4, reply.data());
        di_trace_request(1, select3, 0, true, 0, nullptr);
        di_trace_request(1, block_req, 0x03, true, 528, nullptr);
        di_trace("#1 cut");
        di_trace("unpublished printer-1");
        di_trace_end();
    }

    const std::vector<uint8_t> reply = {0x55, 0x55, 4, 4};
    const std::vector<uint8_t> state_cmd = {0x51, 0x18, 0x06, 0x84};
    const std::vector<uint8_t> block = std::vector<uint8_t>(528, 0xA5);
    const di_request open_req = request(DI_OP_OPEN, DI_ACCESS);
    const di_request select3 = request(DI_OP_IOCTL, DI_PIPE_SELECT | 3u << 2);
    const di_request state = request(DI_OP_WRITE, 4, state_cmd);
    const di_request read = request(DI_OP_READ, 1024);
    const di_request block_req = request(DI_OP_WRITE, 528, block);
    std::string path;
};

TEST_F(trace_test,
       a_replay_answers_as_the_printer_whatever_the_reads_and_ends_at_a_write_it_lacks) {
    for (bool blocks : {true, false}) {
        remove(path.c_str());
        record(blocks);
        EXPECT_FALSE(di_trace_start(path.c_str(), true, "again")) << "a trace is never overwritten";
        struct stat st = {};
        EXPECT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777) << "the image's records, readable by others";
        ASSERT_TRUE(replay_load(path.c_str(), nullptr));
        EXPECT_TRUE(replay_published());
        bool ok = false;
        uint32_t count = 99;
        uint8_t data[DI_TRANSFER_MAX] = {};
        auto answer = [&](int id, int pipe, const di_request& r) {
            return replay_answer(id, pipe, r, &ok, &count, data);
        };
        ASSERT_TRUE(answer(1, -1, open_req) && ok);
        ASSERT_TRUE(answer(1, -1, select3) && ok);
        ASSERT_TRUE(answer(1, 3, read) && ok);
        EXPECT_EQ(count, 0u) << "the reply comes after the query it answers";
        ASSERT_TRUE(answer(1, 3, state) && ok && count == 4);
        // Read otherwise than recorded, the same bytes come.
        ASSERT_TRUE(answer(1, 3, request(DI_OP_READ, 3)) && ok && count == 3);
        ASSERT_TRUE(answer(1, 3, read) && ok && count == 1);
        EXPECT_EQ(data[0], reply[3]);
        // Left out of the trace, the record is matched by its length.
        std::vector<uint8_t> other = block;
        other[7] ^= 1;
        const std::vector<uint8_t>& sent = blocks ? block : other;
        ASSERT_TRUE(answer(1, 3, request(DI_OP_WRITE, 528, sent)) && ok && count == 528);
        EXPECT_EQ(replay_kept(), sent);
        EXPECT_FALSE(replay_published()) << "the printer left right after that record";

        // One command more than the printer was sent: the replay ends, naming it.
        EXPECT_FALSE(answer(2, 3, state));
        EXPECT_TRUE(replay_diverged());
    }
    std::vector<std::string> lines = logged();
    EXPECT_EQ(
        lines.back().find("replay: #2 WRITE 4 51180684 comes after the last OUT transfer of "), 0u)
        << lines.back();
}

TEST_F(trace_test, a_write_the_printer_did_not_take_there_ends_the_replay_naming_its_line) {
    record(true);
    std::vector<uint8_t> query_1 = state_cmd;
    query_1[3] = 0x4A;
    struct {
        int pipe;
        di_request r;
        const char* said;
    } cases[] = {
        {3, request(DI_OP_WRITE, 4, query_1),
         "replay: #1 WRITE 4 5118064a differs from line 7 of "},
        {1, state, "replay: #1 WRITE 4 51180684 differs from line 7 of "},
        {3, block_req,
         "replay: #1 WRITE 528 a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5... differs from line 7"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(replay_load(path.c_str(), nullptr));
        bool ok = false;
        uint32_t count = 0;
        uint8_t data[DI_TRANSFER_MAX];
        EXPECT_FALSE(replay_answer(1, c.pipe, c.r, &ok, &count, data));
        EXPECT_EQ(logged().back().find(c.said), 0u) << logged().back();
        EXPECT_NE(logged().back().find(": OUT 0x03 4 51180684"), std::string::npos);
    }
}

TEST_F(trace_test, what_is_no_trace_is_refused_with_its_line) {
    struct {
        const char* text;
        const char* said;
    } cases[] = {
        {"", ": empty, not a trace"},
        {"fpflash-trace 2\n", ":1: not \"fpflash-trace 1\""},
        {"fpflash-trace 1\n# a comment\n+0 #1 WRITE 4 0x03 5118068 ok 4\n", ":3: not a line"},
        {"fpflash-trace 1\n+0 #1 READ 4 0x83 ok 4 5555\n", ":2: not a line"},
        {"fpflash-trace 1\n+0 #1 READ 4 0x83 ok 8 5555555555555555\n", ":2: not a line"},
        {"fpflash-trace 1\n+0 published  printer-1\n", ":2: not a line"},
        {"fpflash-trace 1\n-5 published printer-1\n", ":2: not a line"},
        {"fpflash-trace 1\n+0 #0 OPEN 0xC0000000 ok\n", ":2: not a line"},
        {"fpflash-trace 1\n+0 #1 OPEN 0xC0000000 maybe\n", ":2: not a line"},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::trunc) << c.text;
        std::vector<di_trace_entry> entries;
        std::string why;
        EXPECT_FALSE(di_trace_read(path.c_str(), &entries, &why)) << c.text;
        EXPECT_NE(why.find(path + c.said), std::string::npos) << why;
    }
}

} // namespace
