// The Linux platform against scripted drivers on real sockets, each test in its own
// XDG_RUNTIME_DIR.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/scratch.h"
#include "di/kit.h"
#include "usb/platform.h"
#include "usb/usb.h"

namespace {

typedef std::vector<uint8_t> bytes;

const char PRINTER_DIR[] = "{594538DA-78A8-06C1-16B5-17779E24DF87}";

// A request or a reply header, little-endian, with what follows it.
bytes msg(uint8_t first, uint32_t value, const bytes& tail = {}) {
    bytes b(5 + tail.size());
    b[0] = first;
    for (size_t i = 0; i < 4; i++)
        b[1 + i] = static_cast<uint8_t>(value >> (8 * i));
    std::copy(tail.begin(), tail.end(), b.begin() + 5);
    return b;
}

const bytes OPEN_REQ = {0, 0x00, 0x00, 0x00, 0xC0};
const bytes OK = msg(1, 0);

int bind_socket(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    int dir_fd = -1;
    if (path.size() < sizeof(addr.sun_path)) {
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    } else {
        size_t slash = path.rfind('/');
        dir_fd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/%s", dir_fd,
                 path.c_str() + slash + 1);
    }
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd, 4) == 0;
    if (dir_fd >= 0)
        close(dir_fd);
    EXPECT_TRUE(ok) << path << ": " << strerror(errno);
    return fd;
}

// Waits for something to read; gives up after a while so a broken test ends instead of hanging.
bool readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 10000);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// One answer of the scripted driver, given to the next request it receives.
struct step {
    bytes reply;
    bool hang_up = false; // close the connection instead of answering
    bool late = false;    // answer only once something else (a request or the end) arrives
};

// A driver that takes one connection, records every packet, answers from its script and then
// waits for the client to go.
struct driver {
    int listen_fd = -1;
    std::thread thread;
    std::vector<bytes> received;
    bool saw_end = false;

    void start(const std::string& path, std::vector<step> script) {
        listen_fd = bind_socket(path);
        thread = std::thread([this, script] { serve(script); });
    }

    void serve(const std::vector<step>& script) {
        if (!readable(listen_fd))
            return;
        int c = accept(listen_fd, nullptr, nullptr);
        const bytes* owed = nullptr;
        size_t next = 0;
        for (;;) {
            if (!readable(c))
                break;
            uint8_t buf[4096];
            ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (owed != nullptr)
                send(c, owed->data(), owed->size(), MSG_NOSIGNAL);
            owed = nullptr;
            if (n <= 0) {
                saw_end = true;
                break;
            }
            received.emplace_back(buf, buf + n);
            if (next == script.size())
                continue;
            const step& s = script[next++];
            if (s.hang_up)
                break;
            if (s.late)
                owed = &s.reply;
            else
                send(c, s.reply.data(), s.reply.size(), MSG_NOSIGNAL);
        }
        close(c);
    }

    void stop() {
        if (thread.joinable())
            thread.join();
        if (listen_fd >= 0)
            close(listen_fd);
        listen_fd = -1;
    }
};

class posix_test : public ::testing::Test {
  protected:
    scratch_dir scratch{"fp-posix."};
    std::string root = scratch.path, base, cls;
    driver drv;

    void SetUp() override {
        ASSERT_FALSE(root.empty());
        use_runtime_dir(root);
    }

    void TearDown() override { drv.stop(); }

    void use_runtime_dir(const std::string& dir) {
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        base = dir + "/device-interfaces";
        cls = base + "/" + PRINTER_DIR;
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(cls.c_str(), 0700), 0);
    }

    static std::string find(const di_guid* g = &GUID_CLASS_PRINTER,
                            size_t size = USB_FOUND_PATH_SIZE) {
        std::vector<char> name(size);
        return plat_find_interface(g, name.data(), size) == 0 ? name.data() : "(none)";
    }

    // Opens the printer's first interface through a driver that grants OPEN and then follows
    // `script`.
    usb_handle open_scripted(std::vector<step> script) {
        script.insert(script.begin(), step{OK});
        drv.start(cls + "/dev", script);
        return plat_open((cls + "/dev").c_str());
    }
};

TEST_F(posix_test, takes_first_socket_in_byte_order_and_ignores_other_entries) {
    close(bind_socket(cls + "/usb-2"));
    close(bind_socket(cls + "/usb-10"));
    close(bind_socket(cls + "/Zeta"));
    fclose(fopen((cls + "/A-file").c_str(), "w"));
    mkdir((cls + "/B-dir").c_str(), 0700);
    ASSERT_EQ(symlink((cls + "/Zeta").c_str(), (cls + "/C-link").c_str()), 0);

    EXPECT_EQ(find(), cls + "/Zeta");
    unlink((cls + "/Zeta").c_str());
    EXPECT_EQ(find(), cls + "/usb-10");
    // The whole path or nothing: openUSB, not the platform, decides what of it is opened.
    size_t whole = (cls + "/usb-10").size() + 1;
    EXPECT_EQ(find(&GUID_CLASS_PRINTER, whole), cls + "/usb-10");
    EXPECT_EQ(find(&GUID_CLASS_PRINTER, whole - 1), "(none)");
}

TEST_F(posix_test, directories_others_could_write_hide_every_device) {
    struct {
        const char* name;
        mode_t base_mode, cls_mode;
        bool other_owner;
        bool found;
    } cases[] = {
        {"private", 0700, 0700, false, true},
        {"readable by all", 0755, 0755, false, true},
        {"class dir world-writable", 0700, 0777, false, false},
        {"class dir group-writable", 0700, 0720, false, false},
        {"base dir group-writable", 0770, 0700, false, false},
        {"base dir world-writable", 0703, 0700, false, false},
        {"class dir of another user", 0700, 0700, true, false},
    };
    close(bind_socket(cls + "/dev"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.other_owner && geteuid() != 0)
            continue; // only root can give a directory away
        ASSERT_EQ(chmod(base.c_str(), c.base_mode), 0);
        ASSERT_EQ(chmod(cls.c_str(), c.cls_mode), 0);
        ASSERT_EQ(chown(cls.c_str(), c.other_owner ? geteuid() + 1 : geteuid(), getegid()), 0);
        EXPECT_EQ(find(), c.found ? cls + "/dev" : "(none)");
    }
}

// The driver's side of the same rule: it refuses to publish in a directory another user owns,
// says so, and makes a missing one private.

TEST_F(posix_test, drivers_refuse_a_directory_of_another_user) {
    const struct {
        const char* name;
        bool base_other, cls_other, missing;
        bool opens;
    } cases[] = {
        {"ours", false, false, false, true},
        {"made afresh", false, false, true, true},
        {"base dir of another user", true, false, false, false},
        {"class dir of another user", false, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.base_other || c.cls_other) && geteuid() != 0)
            continue; // only root can give a directory away
        if (c.missing) {
            ASSERT_EQ(rmdir(cls.c_str()), 0);
            ASSERT_EQ(rmdir(base.c_str()), 0);
        }
        ASSERT_EQ(chown(root.c_str(), geteuid(), getegid()), 0);
        if (!c.missing) {
            ASSERT_EQ(chown(base.c_str(), geteuid() + c.base_other, getegid()), 0);
            ASSERT_EQ(chown(cls.c_str(), geteuid() + c.cls_other, getegid()), 0);
        }
        testing::internal::CaptureStderr();
        bool opens = di_open_class_dir();
        std::string complaints = testing::internal::GetCapturedStderr();
        EXPECT_EQ(opens, c.opens) << complaints;
        di_close_class_dir();
        EXPECT_EQ(complaints.find("belongs to user") != std::string::npos, !c.opens) << complaints;
        struct stat st;
        ASSERT_EQ(stat(cls.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
}

TEST_F(posix_test, nothing_found_without_a_real_class_directory) {
    EXPECT_EQ(find(), "(none)"); // empty

    std::string real = root + "/elsewhere";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    close(bind_socket(real + "/dev"));
    ASSERT_EQ(rmdir(cls.c_str()), 0);
    EXPECT_EQ(find(), "(none)"); // missing
    ASSERT_EQ(symlink(real.c_str(), cls.c_str()), 0);
    EXPECT_EQ(find(), "(none)"); // a link, perhaps planted
}

TEST_F(posix_test, falls_back_to_tmp_without_runtime_dir) {
    std::string fallback = "/tmp/device-interfaces-" + std::to_string(geteuid());
    // Left in place afterwards: a parallel run may be using it, and it is where a driver
    // would put it anyway.
    mkdir(fallback.c_str(), 0700);
    struct stat st;
    if (lstat(fallback.c_str(), &st) != 0 || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        GTEST_SKIP() << fallback << " is not ours to use";
    // A class of its own, so neither a running driver nor a parallel run gets in the way;
    // its small values check the zero padding.
    const di_guid g = {static_cast<uint32_t>(getpid()), 0xF1F1, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    char name[64];
    snprintf(name, sizeof(name), "{%08X-F1F1-0000-0102-030405060708}",
             static_cast<unsigned>(getpid()));
    std::string dir = fallback + "/" + name;
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    close(bind_socket(dir + "/dev"));

    setenv("XDG_RUNTIME_DIR", "", 1);
    std::string empty = find(&g);
    unsetenv("XDG_RUNTIME_DIR");
    std::string unset = find(&g);

    unlink((dir + "/dev").c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(empty, dir + "/dev");
    EXPECT_EQ(unset, dir + "/dev");
}

TEST_F(posix_test, transfers_speak_the_contract_byte_for_byte) {
    drv.start(cls + "/dev", {{OK}, {OK}, {msg(1, 4)}, {OK}, {msg(1, 3, {0x55, 0x4A, 0x4A})}});
    ASSERT_EQ(openUSB(), 0);
    const uint8_t packet[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(writeUSB(packet, 4, EP_LOADER), 4);
    uint8_t in[64];
    EXPECT_EQ(readUSB(in, 64, EP_LOADER), 3);
    EXPECT_EQ(bytes(in, in + 3), bytes({0x55, 0x4A, 0x4A}));
    uint32_t n = 99;
    EXPECT_NE(plat_read(husb, in, 0, &n), 0); // nothing asked, nothing sent
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(plat_close(husb), 0);
    drv.stop();

    const bytes select3 = msg(1, 0x950F200C);
    const std::vector<bytes> expected = {OPEN_REQ, select3, msg(3, 4, {0xDE, 0xAD, 0xBE, 0xEF}),
                                         select3, msg(2, 1024)};
    EXPECT_EQ(drv.received, expected);
    EXPECT_TRUE(drv.saw_end);
}

TEST_F(posix_test, socket_path_longer_than_an_address_holds) {
    std::string deep = root + "/" + std::string(120, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    use_runtime_dir(deep);
    drv.start(cls + "/dev", {{OK}});
    std::string path = find();
    ASSERT_EQ(path, cls + "/dev");
    usb_handle h = plat_open(path.c_str());
    ASSERT_NE(h, USB_INVALID_HANDLE);
    plat_close(h);
    drv.stop();
    EXPECT_EQ(drv.received, std::vector<bytes>{OPEN_REQ});
}

TEST_F(posix_test, refused_open_leaves_nothing_open) {
    struct {
        const char* name;
        step answer;
    } cases[] = {
        {"busy", {msg(0, 0)}},  {"unknown status", {msg(2, 0)}},
        {"short", {{1, 0, 0}}}, {"too long", {msg(1, 0, {0})}},
        {"empty packet", {{}}}, {"connection closed", {{}, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drv = driver();
        drv.start(cls + "/dev", {c.answer});
        EXPECT_EQ(plat_open((cls + "/dev").c_str()), USB_INVALID_HANDLE);
        drv.stop();
        EXPECT_EQ(drv.received, std::vector<bytes>{OPEN_REQ});
        if (!c.answer.hang_up) {
            EXPECT_TRUE(drv.saw_end) << "socket left open";
        }
        unlink((cls + "/dev").c_str());
    }

    EXPECT_EQ(plat_open((cls + "/dev").c_str()), USB_INVALID_HANDLE); // no socket
    close(bind_socket(cls + "/dev"));
    EXPECT_EQ(plat_open((cls + "/dev").c_str()), USB_INVALID_HANDLE); // nobody listening
}

TEST_F(posix_test, replies_are_checked_before_they_are_believed) {
    enum { READ4, WRITE4, SELECT1 };
    struct {
        const char* name;
        int call;
        bytes reply;
        bool ok;
        uint32_t count;
    } cases[] = {
        {"read delivered", READ4, msg(1, 3, {7, 8, 9}), true, 3},
        {"read nothing pending", READ4, msg(1, 0), true, 0},
        {"read more than wanted", READ4, msg(1, 5, {1, 2, 3, 4, 5}), false, 0},
        {"read fewer bytes than counted", READ4, msg(1, 3, {1, 2}), false, 0},
        {"read more bytes than counted", READ4, msg(1, 2, {1, 2, 3}), false, 0},
        {"read oversized packet", READ4, msg(1, 4, bytes(2000, 1)), false, 0},
        {"read failed", READ4, msg(0, 0), false, 0},
        {"read short header", READ4, {1, 0, 0}, false, 0},
        {"write accepted", WRITE4, msg(1, 4), true, 4},
        {"write partly accepted", WRITE4, msg(1, 2), true, 2},
        {"write more accepted than sent", WRITE4, msg(1, 5), false, 0},
        {"write reply with data", WRITE4, msg(1, 4, {0}), false, 0},
        {"write failed", WRITE4, msg(0, 4), false, 0},
        {"select", SELECT1, OK, true, 0},
        {"select refused", SELECT1, msg(0, 0), false, 0},
        {"select reply too long", SELECT1, msg(1, 0, {0}), false, 0},
    };
    const bytes requests[] = {msg(2, 4), msg(3, 4, {1, 2, 3, 4}), msg(1, 0x950F2004)};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drv = driver();
        usb_handle h = open_scripted({{c.reply}});
        ASSERT_NE(h, USB_INVALID_HANDLE);
        uint8_t data[4] = {1, 2, 3, 4};
        uint32_t n = 99;
        int ok = 0;
        if (c.call == READ4)
            ok = plat_read(h, data, 4, &n);
        else if (c.call == WRITE4)
            ok = plat_write(h, data, 4, &n);
        else
            ok = plat_ioctl(h, 0x950F2004);
        plat_close(h);
        drv.stop();
        unlink((cls + "/dev").c_str());

        EXPECT_EQ(ok != 0, c.ok);
        if (c.call != SELECT1) {
            EXPECT_EQ(n, c.count);
        }
        if (c.call == READ4 && c.ok) {
            EXPECT_EQ(bytes(data, data + n), bytes(c.reply.begin() + 5, c.reply.end()));
        }
        EXPECT_EQ(drv.received, std::vector<bytes>({OPEN_REQ, requests[c.call]}));
    }
}

TEST_F(posix_test, lost_connection_fails_every_later_call) {
    usb_handle h = open_scripted({{{}, true}});
    ASSERT_NE(h, USB_INVALID_HANDLE);
    uint8_t data[4] = {1, 2, 3, 4};
    uint32_t n = 99;
    EXPECT_EQ(plat_read(h, data, 4, &n), 0); // the driver hangs up instead of answering
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(plat_write(h, data, 4, &n), 0); // and the writes that follow find nobody there
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(plat_write(h, data, 4, &n), 0);
    EXPECT_EQ(plat_ioctl(h, 0x950F2004), 0);
    plat_close(h);
}

TEST_F(posix_test, driver_that_never_answers_costs_the_connection) {
    // The READ reply comes only after the client has given up; were it still read, the
    // select that follows would take it for its own success.
    usb_handle h = open_scripted({{OK, false, true}, {msg(0, 0)}});
    ASSERT_NE(h, USB_INVALID_HANDLE);
    uint8_t data[16];
    uint32_t n = 99;
    EXPECT_EQ(plat_read(h, data, 16, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(plat_ioctl(h, 0x950F2004), 0);
    plat_close(h);
}

// Images: only a regular file is opened, and the check is made on what was opened.
TEST_F(posix_test, only_a_regular_file_opens_as_an_image) {
    // An open that blocked on the FIFO would hold the test; the alarm ends it instead.
    alarm(10);
    not_regular_files odd;
    for (const std::string& p : odd.paths()) {
        FILE* f = plat_open_regular(p.c_str());
        EXPECT_EQ(nullptr, f) << p;
        if (f != nullptr)
            fclose(f);
    }
    EXPECT_EQ(nullptr, plat_open_regular((root + "/missing").c_str()));

    std::string file = root + "/image.bin", link = root + "/link";
    FILE* w = fopen(file.c_str(), "wb");
    ASSERT_NE(nullptr, w);
    fputs("rec\n", w);
    fclose(w);
    ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
    for (const std::string& p : {file, link}) {
        FILE* f = plat_open_regular(p.c_str());
        ASSERT_NE(nullptr, f) << p;
        EXPECT_EQ(0, fcntl(fileno(f), F_GETFL) & O_NONBLOCK) << p;
        EXPECT_NE(0, fcntl(fileno(f), F_GETFD) & FD_CLOEXEC) << p;
        char line[8] = "";
        EXPECT_NE(nullptr, fgets(line, sizeof(line), f));
        EXPECT_STREQ("rec\n", line);
        fclose(f);
    }
    alarm(0);
}

// Runs `check` in a child process, so that what it does to the process's timers and signals
// stays there; returns what it found wrong, or "" when nothing.
std::string in_child(const char* (*check)()) {
    int p[2];
    if (pipe(p) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        const char* wrong = check();
        if (wrong != nullptr && write(p[1], wrong, strlen(wrong)) < 0)
            _exit(2);
        _exit(0);
    }
    close(p[1]);
    std::string said;
    char buf[256];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0)
        said.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        said += " (the child did not end normally)";
    return said;
}

const unsigned long DEFAULT_SLACK_NS = 50000;
volatile sig_atomic_t ticks = 0;

long long now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The finest timer slack, asked for once, before the first wait.
const char* slack_of_the_waits() {
    prctl(PR_SET_TIMERSLACK, DEFAULT_SLACK_NS, 0UL, 0UL, 0UL);
    plat_sleep(0);
    if (prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL) != 1)
        return "the first wait left the timer slack as it was";
    // Once is enough: the slack is the process's from then on.
    prctl(PR_SET_TIMERSLACK, DEFAULT_SLACK_NS, 0UL, 0UL, 0UL);
    plat_sleep(1);
    if (prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL) != static_cast<int>(DEFAULT_SLACK_NS))
        return "the timer slack was asked for again";
    return nullptr;
}

// Only a lower bound: how much longer a wait lasts is the bench's business.
const char* wait_under_signals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = [](int) { ticks = ticks + 1; };
    sigaction(SIGALRM, &sa, nullptr); // no SA_RESTART: every tick interrupts the sleep
    itimerval every_ms = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    long long start = now_us();
    plat_sleep(30);
    long long slept = now_us() - start;
    itimerval off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &off, nullptr);
    if (ticks == 0)
        return "no signal came during the wait";
    return slept < 30000 ? "a wait interrupted by signals ended early" : nullptr;
}

TEST_F(posix_test, sleeps_ask_for_exact_timers_and_last_as_long_as_asked) {
    EXPECT_EQ("", in_child(slack_of_the_waits));
    EXPECT_EQ("", in_child(wait_under_signals));
}

} // namespace
