// fpusbd's pieces that need no bus: what it takes for a printer and the names it publishes
// under, what its command line and its device list accept, what its setup writes, and the
// buffer behind READ.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/scratch.h"
#include "tests/test_util.h"
#include "usbd/usbd.h"

namespace {

TEST(usbd_parse_id, takes_bare_hex_pairs_or_a_vendor_alone) {
    const struct {
        const char* text;
        uint16_t vid, pid;
        bool any_pid;
    } cases[] = {
        {"1209:0001", 0x1209, 0x0001, false},
        {"ABCD:ef01", 0xABCD, 0xEF01, false},
        {"1:2", 0x0001, 0x0002, false},
        {"ffff:0000", 0xFFFF, 0x0000, false},
        {"1209", 0x1209, 0, true},
        {"f", 0x000F, 0, true},
    };
    for (const auto& c : cases) {
        usbd_id id = {0x5555, 0x5555, false};
        EXPECT_TRUE(usbd_parse_id(c.text, &id)) << c.text;
        EXPECT_EQ(c.vid, id.vid) << c.text;
        EXPECT_EQ(c.pid, id.pid) << c.text;
        EXPECT_EQ(c.any_pid, id.any_pid) << c.text;
    }
    for (const char* bad :
         {"12345:0001", "1209:00001", "12345", "1209:", ":0001", ":", "0x1209:0001", "0x1209",
          "1209:-001", "1209:+001", " 1209:0001", "1209:0001:2", "g209:0001", ""}) {
        usbd_id id = {0x5555, 0x5555, false};
        EXPECT_FALSE(usbd_parse_id(bad, &id)) << bad;
        EXPECT_EQ(0x5555, id.vid) << bad << ": changed on failure";
    }
}

// What fpusbd makes of a device that arrives: a printer is a shape (fpflash's pipes 1 or 3 both
// ways, as --pipe maps them) with an ID --device names, or of such a vendor with the loader's
// pipe; the device that comes back to the connector a printer left (its port, or the port's
// peer), of its vendor, within the grace period and of that shape, follows it; nothing else,
// and what arrives where a printer was takes its place. The printer at 1-2.3 left at 5 s; the
// one at 1-6 is there.
TEST(usbd_policy, takes_printers_by_shape_and_follows_them_by_connector_and_vendor) {
    usbd_config c;
    c.ids = {{0x1209, 0x0001, false}, {0x04B8, 0, true}};
    usbd_default_pipes(c.pipes);
    c.pipes[3] = {0x05, 0x85};
    c.aliases = {{"1-4", "front"}};
    const std::vector<usbd_place_facts> places = {{"1-2.3", 0x1209, 5000}, {"1-6", 0x1209, -1}};
    const long long grace_end = 5000 + USBD_FOLLOW_GRACE_MS;
    const usbd_shape app = {1u << 1 | 1u << 3, 1u << 1 | 1u << 3}, loader = {1u << 5, 1u << 5};
    const struct {
        const char* what;
        const char* port;
        usbd_id id;
        long long now;
        usbd_shape shape;
        const char* taken;
        const char* peer = "";
    } cases[] = {
        {"named", "1-3", {0x1209, 0x0001}, 0, app, "new 1-3"},
        {"named, with an alias", "1-4", {0x1209, 0x0001}, 0, app, "new front"},
        {"of a vendor named alone", "1-3", {0x04B8, 0x0E15}, 0, app, "new 1-3"},
        {"another product of a named vendor", "1-3", {0x1209, 0x0002}, 0, app, "skipped"},
        {"its loader", "1-3", {0x1209, 0x0002}, 0, loader, "loader 1-3"},
        {"named, a hub", "1-3", {0x1209, 0x0001}, 0, {}, "unfit"},
        {"named, with pipe 2 only", "1-3", {0x1209, 0x0001}, 0, {1u << 2, 1u << 2}, "unfit"},
        {"another vendor", "1-3", {0x04B9, 0x0E15}, 0, app, "skipped"},
        {"back at once", "1-2.3", {0x1209, 0x0002}, 5000, loader, "follows 1-2.3"},
        {"back at the end of the grace",
         "1-2.3",
         {0x1209, 0x0002},
         grace_end,
         loader,
         "follows 1-2.3"},
        {"late", "1-2.3", {0x1209, 2}, grace_end + 1, loader, "loader 1-2.3 in place of 1-2.3"},
        {"named, past the grace",
         "1-2.3",
         {0x1209, 0x0001},
         grace_end + 1,
         app,
         "new 1-2.3 in place of 1-2.3"},
        {"another vendor there", "1-2.3", {0x120A, 2}, 5010, loader, "skipped in place of 1-2.3"},
        {"a port below it", "1-2.3.1", {0x1209, 0x0002}, 5010, app, "skipped"},
        {"the same port on another bus", "2-2.3", {0x1209, 0x0002}, 5010, app, "skipped"},
        {"its peer port", "2-2.3", {0x1209, 0x0002}, 5010, loader, "follows 1-2.3", "1-2.3"},
        {"back with a pipe one way only",
         "1-2.3",
         {0x1209, 0x0002},
         5010,
         {1u << 1, 1u << 3},
         "unfit in place of 1-2.3"},
        {"back with the endpoints --pipe names",
         "1-2.3",
         {0x1209, 0x0002},
         5010,
         {1u << 5, 1u << 5},
         "follows 1-2.3"},
    };
    for (const auto& k : cases) {
        usbd_verdict v = usbd_judge(c, places, {k.port, k.peer, k.id, k.shape}, k.now);
        std::string taken = v.take == USBD_SKIPPED       ? "skipped"
                            : v.take == USBD_NOT_PRINTER ? "unfit"
                            : v.take == USBD_FOLLOWED    ? "follows " + places[v.place].port
                                                      : (v.rescued ? "loader " : "new ") + v.name;
        if (v.take != USBD_FOLLOWED && v.place != SIZE_MAX)
            taken += " in place of " + places[v.place].port;
        EXPECT_EQ(k.taken, taken) << k.what;
    }
    const uint8_t ports[] = {2, 3, 10};
    EXPECT_EQ("1-2.3.10", usbd_port_path(1, ports, 3));
    EXPECT_EQ("3-2", usbd_port_path(3, ports, 1));
    EXPECT_EQ("usb4", usbd_port_path(4, ports, 0));
    // The kernel's peer links, as sysfs writes them, and what is no port's.
    EXPECT_EQ("2-1", usbd_peer_port("../../../usb2/2-0:1.0/usb2-port1"));
    EXPECT_EQ("3-1.4", usbd_peer_port("../../../../usb3/3-1/3-1:1.0/3-1-port4"));
    EXPECT_EQ("12-1.4.2", usbd_peer_port("12-1.4-port2"));
    for (const char* bad : {"", "usb-port1", "usb2-port", "usb2-portx", "2-0:1.0", "port1",
                            "usbx-port1", "-port1", "a-1-port2", "usb2-port1/"})
        EXPECT_EQ("", usbd_peer_port(bad)) << bad;
}

TEST(usbd_parse_pipe, needs_an_out_and_an_in_bulk_address) {
    const struct {
        const char* text;
        int endpoint;
        uint8_t out, in;
    } cases[] = {
        {"1=0x01,0x81", 1, 0x01, 0x81},
        {"3=0x02,0x85", 3, 0x02, 0x85},
        {"0=0x0F,0x8F", 0, 0x0F, 0x8F},
        {"3=2,133", 3, 0x02, 0x85},
    };
    for (const auto& c : cases) {
        int n = -7;
        usbd_pipe p = {0x55, 0x55};
        EXPECT_TRUE(usbd_parse_pipe(c.text, &n, &p)) << c.text;
        EXPECT_EQ(c.endpoint, n) << c.text;
        EXPECT_EQ(c.out, p.out) << c.text;
        EXPECT_EQ(c.in, p.in) << c.text;
    }
    for (const char* bad : {"4=0x01,0x81", "10=0x01,0x81", "=0x01,0x81",
                            "1=0x81,0x01", // directions swapped
                            "1=0x00,0x80", // the control endpoint
                            "1=0x10,0x81", "1=0x01,0x90", "1=0x01", "1=0x01,", "1=,0x81",
                            "1=0x01,0x81,0x82", "1=-1,0x81", "1 =0x01,0x81", "1=0x01, 0x81", ""}) {
        int n = -7;
        usbd_pipe p = {0x55, 0x55};
        EXPECT_FALSE(usbd_parse_pipe(bad, &n, &p)) << bad;
        EXPECT_EQ(-7, n) << bad << ": changed on failure";
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
        {{"--device", "1209:0001", "--idle-exit", "120"}, -1},
        {{"--device", "1209:0001", "--idle-exit", "0"}, DI_EXIT_USAGE},
        {{"--device", "1209:0001", "--idle-exit", "86401"}, DI_EXIT_USAGE},
        {{"--devices", "/nonexistent/devices"}, DI_EXIT_FAILED},
        {{"--devices", "/dev/null", "--devices", "/dev/null"}, DI_EXIT_USAGE},
        {{"--devices", "/dev/null"}, DI_EXIT_FAILED}, // not a regular file
        {{"--setup", "1209"}, -1},
        {{"--setup", "1209:0001", "--setup", "04b8", "--group", "lp", "--root", "/tmp"}, -1},
        {{"--setup", "12345"}, DI_EXIT_USAGE},
        {{"--setup", "1209", "--group", "lp\", MODE=\"0666"}, DI_EXIT_USAGE},
        {{"--setup", "1209", "--group", "Plugdev"}, DI_EXIT_USAGE},
        {{"--setup", "1209", "--group", "-x"}, DI_EXIT_USAGE},
        {{"--setup", "1209", "--root", ""}, DI_EXIT_USAGE},
        {{"--setup", "1209:0001", "--loader", "0002", "--setup", "04b8:1", "--loader", "2"}, -1},
        {{"--loader", "0002", "--setup", "1209:0001"}, DI_EXIT_USAGE}, // whose loader?
        {{"--setup", "1209", "--loader", "0002"}, DI_EXIT_USAGE},      // the vendor's already
        {{"--unsetup", "--setup", "1209"}, DI_EXIT_USAGE},
        {{"--unsetup", "--group", "lp"}, DI_EXIT_USAGE},
        {{"--unsetup", "--root", "/nonexistent"}, -1}, // taken: main runs it, as the setup
        // the setup serves nothing: whatever comes with it is a mistake
        {{"--setup", "1209", "--device", "1209"}, DI_EXIT_USAGE},
        {{"--setup", "1209", "--list"}, DI_EXIT_USAGE},
        {{"--setup", "1209", "--idle-exit", "120"}, DI_EXIT_USAGE},
        {{"--device", "1209", "--root", "/tmp"}, DI_EXIT_USAGE},
        {{"--device", "1209", "--group", "plugdev"}, DI_EXIT_USAGE},
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (const auto& k : cases) {
        usbd_config c;
        EXPECT_EQ(k.status, parse(k.args, &c)) << testing::PrintToString(k.args);
    }
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, err.find("fpusbd: --device 1209:: not VID:PID")) << err;
    EXPECT_NE(std::string::npos, err.find("--device VID:PID")) << err;
    EXPECT_NE(std::string::npos, out.find("--pipe N=OUT,IN")) << out;
    EXPECT_NE(std::string::npos, err.find("fpusbd: --root goes with --setup")) << err;
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

// ---- the device list ----------------------------------------------------------------------

// A file root wrote, read as strictly as any outside input: an ID a line, or nothing, or a
// comment; the first other line is refused by its number, and nothing of the list is taken.
TEST(usbd_device_list, takes_one_id_a_line_and_refuses_any_other_line_by_number) {
    const struct {
        std::string text;
        size_t bad_line; // 0: read
        std::vector<std::string> ids;
    } cases[] = {
        {"1209:0001\n", 0, {"1209:0001"}},
        {"# fpusbd --setup\n\n1209:0001\n04b8\n", 0, {"1209:0001", "04b8:*"}},
        {"1209:0001", 0, {"1209:0001"}}, // no newline at its end
        {"", 0, {}},
        {std::string("#\xff\0 a comment takes anything\n1209\n", 34), 0, {"1209:*"}},
        {"1209:0001\r\n", 1, {}},
        {" 1209\n", 1, {}},
        {"1209 # the printer\n", 1, {}},
        {"1209:0001\n\t\n", 2, {}},
        {"\n\n12345\n", 3, {}},
        {"1209:0001\n 1209:0002\n", 2, {}}, // nothing of it taken
        {std::string("1209\0:0001\n", 11), 1, {}},
        {"0x1209\n", 1, {}},
        {std::string(100, 'f') + "\n", 1, {}},
    };
    for (const auto& k : cases) {
        std::vector<usbd_id> ids = {{0xAAAA, 0xBBBB, false}};
        testing::internal::CaptureStderr();
        bool ok = usbd_parse_devices(k.text, "devices", &ids);
        std::string err = testing::internal::GetCapturedStderr();
        std::string shown = testing::PrintToString(k.text);
        EXPECT_EQ(k.bad_line == 0, ok) << shown;
        if (k.bad_line != 0) {
            EXPECT_NE(std::string::npos, err.find("devices:" + std::to_string(k.bad_line) + ": "))
                << shown << ": " << err;
            EXPECT_EQ(1u, ids.size()) << shown;
            continue;
        }
        EXPECT_EQ("", err) << shown;
        std::vector<std::string> got;
        for (size_t i = 1; i < ids.size(); i++) {
            char id[16];
            snprintf(id, sizeof(id), "%04x:%04x", ids[i].vid, ids[i].pid);
            got.push_back(ids[i].any_pid ? std::string(id, 5) + "*" : id);
        }
        EXPECT_EQ(k.ids, got) << shown;
    }
}

TEST(usbd_device_list, is_read_from_a_regular_file_of_bounded_size_only) {
    scratch_dir dir{"fpusbd-test-"};
    usbd_config c;
    ASSERT_EQ(-1,
              parse({"--devices", dir.write("devices", "1209:0001\n"), "--device", "04b8"}, &c));
    ASSERT_EQ(2u, c.ids.size());
    EXPECT_EQ(0x04B8, c.ids[0].vid);
    EXPECT_EQ(0x0001, c.ids[1].pid);
    // A list that names nothing serves nothing.
    testing::internal::CaptureStderr();
    EXPECT_EQ(DI_EXIT_FAILED, parse({"--devices", dir.write("empty", "# none\n")}, &c));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("names no printer"));

    std::string big = "# " + std::string(USBD_DEVICES_MAX, 'x') + "\n1209\n";
    not_regular_files others;
    std::vector<std::string> refused = others.paths();
    refused.push_back(dir.write("big", big));
    refused.push_back(dir.path + "/missing");
    for (const std::string& path : refused) {
        std::vector<usbd_id> ids;
        testing::internal::CaptureStderr();
        // A FIFO nobody writes would block the start for ever.
        EXPECT_FALSE(usbd_read_devices(path.c_str(), &ids)) << path;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find(path)) << err;
        EXPECT_TRUE(ids.empty()) << path;
    }
}

// ---- the setup ----------------------------------------------------------------------------

// What fpusbd --setup writes below a scratch root: a rule line per ID, the loaders' too, a
// group only when asked, the unit wanted on "add" only; the list without repeats; both files
// whole and, whatever root's umask, readable by the user who runs fpusbd, in a directory that
// replaces one left 0700; udev's link to the rule. A second run replaces the first, and
// --unsetup removes exactly what it wrote.
TEST(usbd_setup, writes_the_rule_for_the_ids_given_and_unsetup_removes_it) {
    auto lines_with = [](const std::string& text, const std::string& part) {
        std::string got;
        for (size_t from = 0, end = 0; from < text.size(); from = end + 1) {
            end = std::min(text.find('\n', from), text.size());
            if (text.substr(from, end - from).find(part) != std::string::npos)
                got += text.substr(from, end - from + 1);
        }
        return got;
    };
    auto match = [](const std::string& id) {
        return "ATTR{idVendor}==\"" + id.substr(0, 4) + "\", " +
               (id.size() > 4 ? "ATTR{idProduct}==\"" + id.substr(5) + "\", " : "") +
               "GOTO=\"fpusbd_printer\"\n";
    };
    const struct {
        std::vector<std::string> args;
        std::string matches, grant, list;
    } cases[] = {
        {{"--setup", "1209:0001", "--loader", "0002"},
         match("1209:0001") + match("1209:0002"),
         "TAG+=\"uaccess\", TAG+=\"systemd\"\n",
         "1209:0001\n1209:0002\n"},
        {{"--setup", "1209:0001", "--setup", "04B8", "--setup", "1209:2", "--setup", "1209:0001",
          "--group", "lp"},
         match("1209:0001") + match("04b8") + match("1209:0002"),
         "TAG+=\"uaccess\", GROUP=\"lp\", MODE=\"0660\", TAG+=\"systemd\"\n",
         "1209:0001\n04b8\n1209:0002\n"},
    };
    scratch_dir root{"fpusbd-test-"};
    for (const char* d : {"/etc", "/etc/udev", "/etc/udev/rules.d"})
        ASSERT_EQ(0, mkdir((root.path + d).c_str(), 0755)) << d;
    ASSERT_EQ(0, mkdir((root.path + USBD_SETUP_DIR).c_str(), 0700));
    root.write("etc/udev/rules.d/50-other.rules", "# not ours\n");
    for (const auto& k : cases) {
        usbd_config c;
        std::vector<std::string> args = k.args;
        args.insert(args.end(), {"--root", root.path + "/"});
        ASSERT_EQ(-1, parse(args, &c));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        mode_t umask_before = umask(077);
        EXPECT_EQ(DI_EXIT_OK, usbd_setup_run(c.setup));
        umask(umask_before);
        testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(0u, out.find("wrote " + root.path + USBD_DEVICES_PATH)) << out;
        std::string rule = root.read(USBD_RULE_PATH);
        EXPECT_EQ(k.matches, lines_with(rule, "GOTO=\"fpusbd_printer")) << rule;
        EXPECT_EQ(k.grant, lines_with(rule, "uaccess\",")) << rule;
        EXPECT_EQ("ACTION==\"add\", ENV{SYSTEMD_USER_WANTS}+=\"fpusbd.service\"\n",
                  lines_with(rule, "SYSTEMD"))
            << rule;
        std::string list = root.read(USBD_DEVICES_PATH);
        EXPECT_EQ(k.list, list.substr(list.find("\n1") + 1));
        char link[64] = {};
        EXPECT_LT(0, readlink((root.path + USBD_RULE_PATH).c_str(), link, sizeof(link) - 1));
        EXPECT_STREQ(USBD_RULE_LINK, link);
        for (const char* rel : {USBD_DEVICES_PATH, USBD_SETUP_DIR, "/etc/fpusbd/70-fpusbd.rules"}) {
            struct stat st;
            ASSERT_EQ(0, stat((root.path + rel).c_str(), &st)) << rel;
            EXPECT_EQ(S_ISDIR(st.st_mode) ? 0755u : 0644u, st.st_mode & 07777) << rel;
        }
        std::vector<usbd_id> ids;
        EXPECT_TRUE(usbd_read_devices((root.path + USBD_DEVICES_PATH).c_str(), &ids));
        EXPECT_EQ(std::count(k.list.begin(), k.list.end(), '\n'), static_cast<long>(ids.size()));
    }
    usbd_setup s;
    s.root = root.path;
    testing::internal::CaptureStdout();
    EXPECT_EQ(DI_EXIT_OK, usbd_unsetup_run(s));
    testing::internal::GetCapturedStdout();
    struct stat st;
    for (const char* gone : {USBD_RULE_PATH, USBD_SETUP_DIR, "/etc/fpusbd.new"})
        EXPECT_NE(0, lstat((root.path + gone).c_str(), &st)) << gone << " left";
    EXPECT_EQ("# not ours\n", root.read("etc/udev/rules.d/50-other.rules"));
    s.root = root.path + "/nonexistent";
    testing::internal::CaptureStderr();
    EXPECT_EQ(DI_EXIT_FAILED, usbd_unsetup_run(s));
    testing::internal::GetCapturedStderr();
}

// Refused with what is wrong, and nothing written: no root; a file, a symlink or a directory
// others may write to on the way; files there that --setup did not write.
TEST(usbd_setup, refuses_a_root_it_cannot_write) {
    const struct {
        const char* what;
        std::vector<const char*> dirs, files; // made below the scratch directory
        const char* root;
        const char* said;
    } cases[] = {
        {"no root", {}, {}, "missing", "--root "},
        {"a file for a root", {}, {"file"}, "file", "not a directory"},
        {"a file for etc", {"root"}, {"root/etc"}, "root", "something else is there"},
        {"a symlink for etc", {"root", "elsewhere"}, {}, "root", "something else is there"},
        {"etc writable by others", {"root", "root/etc"}, {}, "root", "others may write to it"},
        {"a file for rules.d",
         {"root", "root/etc", "root/etc/udev"},
         {"root/etc/udev/rules.d"},
         "root",
         "/etc/udev/rules.d: something else is there"},
        {"a directory for the rule",
         {"root", "root/etc", "root/etc/udev", "root/etc/udev/rules.d",
          "root/etc/udev/rules.d/70-fpusbd.rules"},
         {},
         "root",
         "70-fpusbd.rules was not written by fpusbd --setup"},
        {"a file of its own beside the list",
         {"root", "root/etc", "root/etc/fpusbd"},
         {"root/etc/fpusbd/notes"},
         "root",
         "fpusbd/notes was not written by fpusbd --setup"},
    };
    for (const auto& k : cases) {
        scratch_dir dir{"fpusbd-test-"};
        for (const char* d : k.dirs)
            ASSERT_EQ(0, mkdir((dir.path + "/" + d).c_str(), 0755)) << d;
        for (const char* f : k.files)
            dir.write(f, "x");
        if (strstr(k.what, "symlink") != nullptr) {
            ASSERT_EQ(0, symlink("../elsewhere", (dir.path + "/root/etc").c_str()));
        } else if (strstr(k.what, "writable") != nullptr) {
            ASSERT_EQ(0, chmod((dir.path + "/root/etc").c_str(), 0775));
        }
        usbd_setup s;
        s.ids = {{0x1209, 0x0001, false}};
        s.root = dir.path + "/" + k.root;
        testing::internal::CaptureStderr();
        EXPECT_EQ(DI_EXIT_FAILED, usbd_setup_run(s)) << k.what;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find(k.said)) << k.what << ": " << err;
        struct stat st;
        EXPECT_NE(0, lstat((s.root + USBD_DEVICES_PATH).c_str(), &st)) << k.what;
        EXPECT_NE(0, lstat((dir.path + "/elsewhere/udev").c_str(), &st)) << k.what;
    }
}

// How many products the hardware database lists under a vendor, in systemd's hwdb source
// and in usb.ids, which a vendor-wide rule is warned about.
TEST(usbd_setup, counts_a_vendors_products_in_either_hardware_database) {
    scratch_dir dir{"fpusbd-test-"};
    const struct {
        std::string text;
        long products;
        std::string vendor;
    } cases[] = {
        {"usb:v1208p0001*\n ID_MODEL_FROM_DATABASE=Other\n\nusb:v1209*\n"
         " ID_VENDOR_FROM_DATABASE=Generic\n\nusb:v1209p0001*\n ID_MODEL_FROM_DATABASE=One\n\n"
         "usb:v1209p0002*\n ID_MODEL_FROM_DATABASE=Two\n\nusb:v120Ap0001*\n",
         2, "Generic"},
        {"# usb.ids\n1208  Other\n\t0001  Its product\n1209  Generic\n\t0001  One\n\t\t00  If\n"
         "\t0002  Two\n\t0003  Three\n120a  Next\n\t0001  Not its\nC 00  (Defined at Interface)\n",
         3, "Generic"},
    };
    for (const auto& k : cases) {
        std::string vendor = "?";
        EXPECT_EQ(k.products,
                  usbd_database_products(dir.write("db", k.text).c_str(), 0x1209, &vendor))
            << k.text;
        EXPECT_EQ(k.vendor, vendor) << k.text;
    }
    std::string vendor;
    EXPECT_EQ(-1, usbd_database_products((dir.path + "/missing").c_str(), 0x1209, &vendor));
}

// The READ buffer against a plain queue, through every wrap of the ring: every byte comes out
// once, in order, and a put that does not fit changes nothing.
TEST(usbd_fifo, never_loses_or_reorders_a_byte) {
    static usbd_fifo f; // large for the stack; emptied for a repeat in one process
    f.count = 0;
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
