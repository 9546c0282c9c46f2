// The driver kit's client loop, in-process over a socket pair: every malformed request a
// client may send fails, each with its one log line, whichever driver uses the kit, and an
// answer that comes later holds its client. Its traces: what fpusbd records reads back, and
// fpsim --replay answers from it, up to the first request it does not have.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "di/kit.h"
#include "di/trace.h"
#include "sim/replay.h"
#include "tests/rude_client.h"
#include "tests/test_util.h"

namespace {

// A printer with bulk pipes 1 and 3 that has nothing to read and takes every write whole,
// at once or, with `writes_later`, when the test answers it.
bool writes_later = false;
std::vector<int> pipes_read;
std::vector<int> reads_sent; // the pipes of the READs whose reply went

void take_write(di_client*, int, const uint8_t*, uint32_t len, di_answer* a) {
    a->ok = true;
    a->count = len;
    a->later = writes_later;
}

const di_driver test_printer = {
    [](di_client*, di_answer* a) { a->ok = true; },
    [](di_client*, int pipe, di_answer* a) { a->ok = pipe == 1 || pipe == 3; },
    [](di_client*, int pipe, uint32_t, di_answer* a) {
        pipes_read.push_back(pipe);
        a->ok = true;
    },
    take_write,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    [](di_client*, int pipe, const di_request& r, uint32_t) {
        if (r.op == DI_OP_READ)
            reads_sent.push_back(pipe);
    }};

// The kit's own loop serves one client, the driver's side of a socket pair.
class di_test : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        log = testing::TempDir() + "di_test_" + std::to_string(getpid()) + ".log";
        di_start("di_test");
        ASSERT_TRUE(di_log_open(log.c_str(), true));
        writes_later = false;
        pipes_read.clear();
        reads_sent.clear();
        di_clients_start(test_printer, 1);
        client = di_client_add(fds[1], nullptr, "printer");
        ASSERT_GT(client, 0);
    }

    void TearDown() override {
        di_clients_close();
        di_log_close();
        remove(log.c_str());
        close(fds[0]);
    }

    // One round of the loop, for what has arrived.
    void serve() {
        std::vector<struct pollfd> p;
        di_clients_poll(&p);
        ASSERT_GE(poll(p.data(), p.size(), 0), 0);
        di_clients_serve(p, 0, nullptr);
    }

    // The reply's status, -1 when none came whole.
    int reply() {
        uint8_t r[DI_PACKET_MAX];
        ssize_t n = recv(fds[0], r, sizeof(r), MSG_DONTWAIT);
        return n == DI_HEADER_SIZE ? r[0] : -1;
    }

    int exchange(const std::vector<uint8_t>& req) {
        if (send(fds[0], req.data(), req.size(), 0) != static_cast<ssize_t>(req.size()))
            return -1;
        serve();
        return reply();
    }

    // The log's lines after "#1 connected", without their time.
    std::vector<std::string> logged() {
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.size() > 10 ? line.substr(10) : "(short) " + line);
        EXPECT_EQ(lines.front(), "#1 connected");
        lines.erase(lines.begin());
        return lines;
    }

    int fds[2] = {-1, -1};
    int client = 0;
    std::string log;
};

TEST_F(di_test, every_malformed_request_fails_with_its_log_line) {
    std::vector<rude_step> steps = rude_steps();
    for (const rude_step& s : steps)
        EXPECT_EQ(exchange(s.req), s.status) << s.what;
    std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), steps.size());
    for (size_t i = 0; i < steps.size(); i++)
        EXPECT_EQ(lines[i], steps[i].logged) << steps[i].what;
    EXPECT_EQ(pipes_read, std::vector<int>{1}) << "the one READ the kit let through";
}

TEST_F(di_test, a_refused_pipe_select_leaves_the_pipe_as_it_was) {
    const std::vector<uint8_t> read = di_test_request(DI_OP_READ, 64);
    ASSERT_EQ(exchange(di_test_request(DI_OP_OPEN, DI_ACCESS)), DI_SUCCESS);
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 3u << 2)), DI_SUCCESS);
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 2u << 2)), DI_FAILURE);
    ASSERT_EQ(exchange(read), DI_SUCCESS);
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 1u << 2)), DI_SUCCESS);
    ASSERT_EQ(exchange(read), DI_SUCCESS);
    EXPECT_EQ(pipes_read, (std::vector<int>{3, 1}));
}

// A driver keeps a READ's bytes until it hears that its reply went; one that could not go (the
// client no longer takes any) it never hears of.
TEST_F(di_test, a_driver_hears_of_the_replies_that_went_only) {
    ASSERT_EQ(exchange(di_test_request(DI_OP_OPEN, DI_ACCESS)), DI_SUCCESS);
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 3u << 2)), DI_SUCCESS);
    std::vector<uint8_t> read = di_test_request(DI_OP_READ, 64);
    ASSERT_EQ(exchange(read), DI_SUCCESS);
    ASSERT_EQ(send(fds[0], read.data(), read.size(), 0), static_cast<ssize_t>(read.size()));
    ASSERT_EQ(shutdown(fds[0], SHUT_RD), 0);
    serve();
    EXPECT_EQ(pipes_read, (std::vector<int>{3, 3}));
    EXPECT_EQ(reads_sent, std::vector<int>{3});
    EXPECT_EQ(logged().back(), "#1 lost");
}

// A WRITE the device answers later holds the client's next request until then; a client cut
// off meanwhile gets no answer, and the one that comes for it is dropped. A place has room
// for one client here.
TEST_F(di_test, a_write_answered_later_holds_its_client_until_then) {
    writes_later = true;
    ASSERT_EQ(exchange(di_test_request(DI_OP_OPEN, DI_ACCESS)), DI_SUCCESS);
    ASSERT_EQ(exchange(di_test_request(DI_OP_IOCTL, DI_PIPE_SELECT | 1u << 2)), DI_SUCCESS);
    EXPECT_EQ(exchange(di_test_request(DI_OP_WRITE, 4, 4)), -1);
    EXPECT_EQ(exchange(di_test_request(DI_OP_READ, 64)), -1) << "read while it waits";
    di_answer a;
    a.ok = true;
    a.count = 3;
    di_client_answer(client, a);
    EXPECT_EQ(reply(), DI_SUCCESS);
    serve();
    EXPECT_EQ(reply(), DI_SUCCESS) << "the READ, once the WRITE was answered";

    EXPECT_EQ(exchange(di_test_request(DI_OP_WRITE, 2, 2)), -1);
    int other[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, other), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(di_client_add(other[1], nullptr, "printer"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "di_test: warning: printer: a connection refused: 1 clients are connected already\n");
    uint8_t byte;
    EXPECT_EQ(recv(other[0], &byte, 1, 0), 0) << "refused, and closed";
    close(other[0]);
    di_clients_cut(nullptr);
    di_client_answer(client, a);
    EXPECT_EQ(recv(fds[0], &byte, 1, 0), 0) << "cut off, with no answer";
    std::vector<std::string> lines = logged();
    EXPECT_EQ(lines[2], "#1 WRITE 4: ok 3");
    EXPECT_EQ(lines[3], "#1 READ 64: ok 0");
    EXPECT_EQ(lines.back(), "#1 cut off");
}

// What goes wrong goes to stderr whatever the options, and to the log too; where stderr is the
// journal's stream (not merely named in an inherited variable), each line carries its level.
TEST_F(di_test, warnings_and_complaints_go_to_stderr_at_their_level_and_to_the_log) {
    testing::internal::CaptureStderr();
    struct stat st;
    ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
    for (ino_t ino : {st.st_ino + 1, st.st_ino}) {
        std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        di_start("di_test");
        di_warn("1-1: IN 0x83: %d bytes lost", 64);
        di_complain("cannot %s", "start");
    }
    unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "di_test: warning: 1-1: IN 0x83: 64 bytes lost\ndi_test: cannot start\n"
              "<4>di_test: warning: 1-1: IN 0x83: 64 bytes lost\n<3>di_test: cannot start\n");
    const std::vector<std::string> said = {"warning: 1-1: IN 0x83: 64 bytes lost", "cannot start"};
    std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), said);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), said);
}

// Operands go to the table that takes them, in order, wherever they stand and all after "--";
// where no table takes them, they are refused. Parsed after a command line without, as well.
TEST(di_parse_options, takes_operands_only_where_a_table_takes_them) {
    struct given {
        bool flag = false;
        std::vector<std::string> operands;
    };
    static const di_option flag[] = {{"flag", nullptr, 0, "", [](void* t, const char*) {
                                          static_cast<given*>(t)->flag = true;
                                          return DI_TAKEN;
                                      }}};
    di_setter operand = [](void* t, const char* a) {
        static_cast<given*>(t)->operands.emplace_back(a);
        return DI_TAKEN;
    };
    static const char* const headings[] = {"\n"};
    for (bool takes : {false, true}) {
        given g;
        int status = parse_args("di_test", {"a", "--flag", "b", "--", "--c"}, [&](int n, char** v) {
            return di_parse_options(n, v, {"di_test", "", headings, 1, 20},
                                    {di_table_of(flag, &g, takes ? operand : nullptr)});
        });
        EXPECT_EQ(status, takes ? -1 : DI_EXIT_USAGE);
        EXPECT_EQ(g.flag, takes);
        EXPECT_EQ(g.operands,
                  (takes ? std::vector<std::string>{"a", "b", "--c"} : std::vector<std::string>()));
    }
}

TEST(di_receive, tells_nothing_waiting_from_a_client_gone) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    uint8_t packet[DI_RECEIVE_SIZE];
    EXPECT_EQ(di_receive(fds[1], packet), 0);
    std::vector<uint8_t> big(DI_RECEIVE_SIZE + 100, 1);
    ASSERT_EQ(send(fds[0], big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    EXPECT_EQ(di_receive(fds[1], packet), static_cast<long>(DI_RECEIVE_SIZE))
        << "one past the largest request is cut, not read past the buffer";
    close(fds[0]);
    EXPECT_EQ(di_receive(fds[1], packet), -1);
    close(fds[1]);
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
        // The replay waits out the gaps recorded between lines: a loaded machine's must not
        // decide what the printer has sent by the time of a READ.
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(path, std::ios::trunc)
            << std::regex_replace(text, std::regex("\n\\+[0-9]+ "), "\n+0 ");
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
        {"fpflash-trace 1\n+0 #1 WRITE 4 0x03 5118 ok 4\n", ":2: not a line"},
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
