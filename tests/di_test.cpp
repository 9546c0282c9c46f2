// The driver kit's requests, in-process over a socket pair: every malformed request a client
// may send fails, each with its one log line, whichever driver uses the kit.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "di/kit.h"
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

} // namespace
