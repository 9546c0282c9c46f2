// The device list fpusbd reads, and `fpusbd --setup`, which writes it with the udev rule that
// gives the printers to the user at the machine and starts fpusbd for that user.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "usbd/usbd.h"

extern char** environ;

// Enough of a bad line to recognise it, bytes that would not print shown in hex.
static std::string shown(const std::string& line) {
    const size_t MAX_SHOWN = 40;
    std::string s;
    for (size_t i = 0; i < line.size() && i < MAX_SHOWN; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02x", c);
        s += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return line.size() > MAX_SHOWN ? "'" + s + "'..." : "'" + s + "'";
}

bool usbd_parse_devices(const std::string& text, const char* name, std::vector<usbd_id>* ids) {
    std::vector<usbd_id> found;
    size_t number = 0;
    for (size_t from = 0; from < text.size();) {
        size_t nl = text.find('\n', from);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(from, end - from);
        from = end + 1;
        number++;
        if (line.empty() || line[0] == '#')
            continue;
        usbd_id id = {0, 0};
        // A NUL would end the ID early for the parser.
        if (line.find('\0') != std::string::npos || !usbd_parse_id(line.c_str(), &id)) {
            di_complain("%s:%zu: not an ID (VID:PID or VID, in hex): %s", name, number,
                        shown(line).c_str());
            return false;
        }
        found.push_back(id);
    }
    ids->insert(ids->end(), found.begin(), found.end());
    return true;
}

bool usbd_read_devices(const char* path, std::vector<usbd_id>* ids) {
    // Not blocking: a FIFO in its place must not hold up the start.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        di_complain("cannot read the device list %s: %s (fpusbd --setup writes it)", path,
                    fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0)
            close(fd);
        return false;
    }
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while (text.size() <= USBD_DEVICES_MAX && (n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, static_cast<size_t>(n));
    int err = errno;
    close(fd);
    if (n < 0) {
        di_complain("cannot read the device list %s: %s", path, strerror(err));
        return false;
    }
    if (text.size() > USBD_DEVICES_MAX) {
        di_complain("%s: more than %zu bytes: not a device list", path, USBD_DEVICES_MAX);
        return false;
    }
    return usbd_parse_devices(text, path, ids);
}

static std::vector<uint16_t> vendors_of(const usbd_setup& s) {
    std::vector<uint16_t> v;
    for (const usbd_id& id : s.ids)
        if (std::find(v.begin(), v.end(), id.vid) == v.end())
            v.push_back(id.vid);
    return v;
}

static std::string hex4(uint16_t v) {
    char s[8];
    snprintf(s, sizeof(s), "%04x", v);
    return s;
}

std::string usbd_rule_text(const usbd_setup& s) {
    std::string t = "# Written by fpusbd --setup with " + std::string(USBD_DEVICES_PATH) +
                    "; run it again rather than edit this.\n"
                    "# Every product of each vendor: a printer's loader enumerates with a "
                    "product ID of its own.\n"
                    "# The user at the machine may open them (uaccess), and the group's users "
                    "from anywhere;\n"
                    "# plugging one in starts fpusbd.service in each user's service manager.\n";
    for (uint16_t vid : vendors_of(s))
        t += "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + hex4(vid) +
             "\", TAG+=\"uaccess\", GROUP=\"" + s.group +
             "\", MODE=\"0660\", TAG+=\"systemd\", ENV{SYSTEMD_USER_WANTS}+=\"fpusbd.service\"\n";
    return t;
}

std::string usbd_devices_text(const usbd_setup& s) {
    std::string t = "# The printers fpusbd.service serves: one USB ID a line, VID:PID, or VID "
                    "for every\n"
                    "# product of the vendor. Written by fpusbd --setup with " +
                    std::string(USBD_RULE_PATH) +
                    ";\n"
                    "# run it again rather than edit this.\n";
    std::vector<std::string> written;
    for (const usbd_id& id : s.ids) {
        std::string line = hex4(id.vid) + (id.any_pid ? "" : ":" + hex4(id.pid)) + "\n";
        if (std::find(written.begin(), written.end(), line) == written.end())
            written.push_back(line);
    }
    for (const std::string& line : written)
        t += line;
    return t;
}

bool usbd_group_usable(const std::string& name) {
    // What useradd takes by default, short enough for every system.
    return !name.empty() && name.size() <= 32 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") == std::string::npos &&
           name[0] != '-' && (name[0] < '0' || name[0] > '9');
}

// ---- writing ------------------------------------------------------------------------------

// Each directory of `rel` below `root` made where missing, 0755 whatever root's umask: the
// user's fpusbd reads the list below it.
static bool make_dirs(const std::string& root, const std::string& rel) {
    for (size_t at = rel.find('/', 1); at != std::string::npos; at = rel.find('/', at + 1)) {
        std::string dir = root + rel.substr(0, at);
        struct stat st;
        bool made = mkdir(dir.c_str(), 0755) == 0;
        if ((made && chmod(dir.c_str(), 0755) != 0) ||
            (!made && (errno != EEXIST || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))) {
            di_complain("cannot make the directory %s: %s", dir.c_str(),
                        !made && errno == EEXIST ? "something else is there" : strerror(errno));
            return false;
        }
    }
    return true;
}

// Whole under another name first, then renamed: udev and fpusbd never read half of it. The
// mode is set outright: fpusbd reads the list as the user, whatever root's umask.
static bool write_file(const std::string& root, const char* rel, const std::string& text) {
    std::string path = root + rel;
    std::string tmp = path + ".new";
    if (!make_dirs(root, rel))
        return false;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        if (fd >= 0)
            unlink(tmp.c_str());
        di_complain("cannot write %s: %s", path.c_str(), strerror(err));
    }
    return ok;
}

// ---- udev ---------------------------------------------------------------------------------

// Where Debian and others keep it, and older ones kept it; not taken from PATH, as root.
static const char* const UDEVADM[] = {"/usr/bin/udevadm", "/bin/udevadm", "/usr/sbin/udevadm",
                                      "/sbin/udevadm"};

// Runs udevadm with `args`; returns its exit status, -1 when it could not run.
static int udevadm(const char* path, std::vector<std::string> args) {
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

static void reload_udev(const usbd_setup& s) {
    const char* tool = nullptr;
    for (const char* p : UDEVADM)
        if (tool == nullptr && access(p, X_OK) == 0)
            tool = p;
    if (tool == nullptr) {
        di_complain("note: no udevadm here; the rule applies once udev runs and the printer is "
                    "plugged in");
        return;
    }
    int st = udevadm(tool, {"control", "--reload"});
    if (st != 0) {
        // udev is not running (a container, a chroot): it reads the rule when it starts.
        di_complain("note: udevadm control --reload ended with status %d; the rule applies "
                    "once udev runs and the printer is plugged in",
                    st);
        return;
    }
    printf("udev reloaded\n");
    // Plugged in already: looked at again as if just plugged in, which starts fpusbd too.
    for (uint16_t vid : vendors_of(s)) {
        st = udevadm(tool, {"trigger", "--action=add", "--subsystem-match=usb",
                            "--attr-match=idVendor=" + hex4(vid)});
        if (st != 0)
            di_complain("note: udevadm trigger for vendor %s ended with status %d; replug its "
                        "printers",
                        hex4(vid).c_str(), st);
        else
            printf("udev looked again at the devices of vendor %s plugged in\n", hex4(vid).c_str());
    }
}

int usbd_setup_run(const usbd_setup& s) {
    std::string root = s.root.empty() ? "/" : s.root;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    // Never made here: a mistyped root gets no tree of its own.
    struct stat st;
    bool found = stat(root.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        di_complain("--root %s: %s", root.c_str(), found ? "not a directory" : strerror(errno));
        return DI_EXIT_FAILED;
    }
    if (s.root.empty() && getgrnam(s.group.c_str()) == nullptr) {
        di_complain("there is no group %s here: create it (groupadd %s), or name another with "
                    "--group",
                    s.group.c_str(), s.group.c_str());
        return DI_EXIT_FAILED;
    }
    if (root == "/")
        root.clear();
    if (!write_file(root, USBD_DEVICES_PATH, usbd_devices_text(s)) ||
        !write_file(root, USBD_RULE_PATH, usbd_rule_text(s)))
        return DI_EXIT_FAILED;
    printf("wrote %s%s and %s%s\n", root.c_str(), USBD_DEVICES_PATH, root.c_str(), USBD_RULE_PATH);
    if (s.root.empty())
        reload_udev(s);
    return DI_EXIT_OK;
}
