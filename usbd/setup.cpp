// The device list fpusbd reads, and `fpusbd --setup`, which writes it with the udev rule that
// gives the printers to the user at the machine and starts fpusbd for that user, and
// `fpusbd --unsetup`, which removes them.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
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

static std::string hex4(uint16_t v) {
    char s[8];
    snprintf(s, sizeof(s), "%04x", v);
    return s;
}

static std::string id_text(const usbd_id& id) {
    return hex4(id.vid) + (id.any_pid ? "" : ":" + hex4(id.pid));
}

// Each ID once, in the order given.
static std::vector<usbd_id> distinct(const std::vector<usbd_id>& ids) {
    std::vector<usbd_id> v;
    std::copy_if(ids.begin(), ids.end(), std::back_inserter(v), [&v](const usbd_id& id) {
        return std::none_of(v.begin(), v.end(), [&id](const usbd_id& x) {
            return x.vid == id.vid && x.any_pid == id.any_pid && x.pid == id.pid;
        });
    });
    return v;
}

// The first line of both files: what --unsetup and the package's purge look for.
static const char HEADER[] = "# Written by fpusbd --setup; run it again to change this, "
                             "fpusbd --unsetup to remove it.\n";
static const char MARK[] = "Written by fpusbd --setup";

std::string usbd_rule_text(const usbd_setup& s) {
    std::string t = std::string(HEADER) + "# The printers of " + USBD_DEVICES_PATH +
                    ": the user at the machine may open them (uaccess)" +
                    (s.group.empty() ? ""
                                     : ",\n# and the users of group " + s.group +
                                           " from anywhere (mode 0660)") +
                    ";\n# plugging one in starts fpusbd.service for each user logged in.\n"
                    "ACTION==\"remove\", GOTO=\"fpusbd_end\"\n"
                    "SUBSYSTEM!=\"usb\", GOTO=\"fpusbd_end\"\n"
                    "ENV{DEVTYPE}!=\"usb_device\", GOTO=\"fpusbd_end\"\n";
    for (const usbd_id& id : distinct(s.ids))
        t += "ATTR{idVendor}==\"" + hex4(id.vid) + "\", " +
             (id.any_pid ? "" : "ATTR{idProduct}==\"" + hex4(id.pid) + "\", ") +
             "GOTO=\"fpusbd_printer\"\n";
    // Access on every event but removal, or a "change" would take it back; the unit on "add".
    return t +
           "GOTO=\"fpusbd_end\"\n"
           "LABEL=\"fpusbd_printer\"\n"
           "TAG+=\"uaccess\", " +
           (s.group.empty() ? "" : "GROUP=\"" + s.group + "\", MODE=\"0660\", ") +
           "TAG+=\"systemd\"\n"
           "ACTION==\"add\", ENV{SYSTEMD_USER_WANTS}+=\"fpusbd.service\"\n"
           "LABEL=\"fpusbd_end\"\n";
}

std::string usbd_devices_text(const usbd_setup& s) {
    std::string t = std::string(HEADER) +
                    "# The printers fpusbd.service serves: one USB ID a line, VID:PID, or VID "
                    "for every\n# product of the vendor.\n";
    for (const usbd_id& id : distinct(s.ids))
        t += id_text(id) + "\n";
    return t;
}

bool usbd_group_usable(const std::string& name) {
    // What useradd takes by default, short enough for every system.
    return !name.empty() && name.size() <= 32 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") == std::string::npos &&
           name[0] != '-' && (name[0] < '0' || name[0] > '9');
}

// ---- the hardware database ----------------------------------------------------------------

// systemd's hwdb source, and usb.ids where usbutils or hwdata keep it.
static const char* const DATABASES[] = {
    "/usr/lib/udev/hwdb.d/20-usb-vendor-model.hwdb", "/lib/udev/hwdb.d/20-usb-vendor-model.hwdb",
    "/usr/share/hwdata/usb.ids", "/usr/share/misc/usb.ids", "/var/lib/usbutils/usb.ids"};

static bool hex_at(const char* s, uint16_t* v) {
    unsigned x = 0;
    for (int i = 0; i < 4; i++) {
        char c = s[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0)
            return false;
        x = x * 16 + static_cast<unsigned>(d);
    }
    *v = static_cast<uint16_t>(x);
    return true;
}

long usbd_database_products(const char* path, uint16_t vid, std::string* vendor) {
    FILE* f = fopen(path, "re");
    struct stat st;
    if (f == nullptr || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (f != nullptr)
            fclose(f);
        return -1;
    }
    long products = 0;
    bool in_vendor = false; // usb.ids: the vendor's product lines follow it, tab first
    bool named = false;     // hwdb: the vendor's name is on the line after its match
    bool whole = true;      // the line read starts a line of the file
    char line[512];
    uint16_t v = 0, p = 0;
    while (fgets(line, sizeof(line), f) != nullptr) {
        bool start = whole;
        whole = strchr(line, '\n') != nullptr;
        line[strcspn(line, "\r\n")] = '\0';
        if (!start)
            continue;
        if (strncmp(line, "usb:v", 5) == 0 && hex_at(line + 5, &v) && v == vid) {
            named = line[9] == '*';
            products += line[9] == 'p' && hex_at(line + 10, &p) ? 1 : 0;
        } else if (named && strncmp(line, " ID_VENDOR_FROM_DATABASE=", 25) == 0) {
            *vendor = line + 25;
            named = false;
        } else if (line[0] == '\t' && in_vendor) {
            products += hex_at(line + 1, &p) && line[5] == ' ' ? 1 : 0;
        } else if (line[0] != '\t' && line[0] != '#') {
            in_vendor = hex_at(line, &v) && v == vid && strncmp(line + 4, "  ", 2) == 0;
            if (in_vendor)
                *vendor = line + 6;
        }
    }
    fclose(f);
    return products;
}

// A rule for a whole vendor opens every product of it: said when the database knows others.
static void check_vendor(uint16_t vid) {
    for (const char* db : DATABASES) {
        std::string name = "?";
        long n = usbd_database_products(db, vid, &name);
        if (n < 0)
            continue;
        if (n > 1)
            di_warn("vendor %s (%s) has %ld products in %s, and one vendor ID may "
                    "be shared by several makers: the rule gives every one of them to the "
                    "user at the machine; --setup %s:PID --loader PID names the printer alone",
                    hex4(vid).c_str(), name.c_str(), n, db, hex4(vid).c_str());
        return;
    }
    di_complain("note: no USB hardware database here: could not check what else vendor %s makes",
                hex4(vid).c_str());
}

// ---- writing ------------------------------------------------------------------------------

static const int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Where the new pair is made before it is swapped in; a crash may leave it behind.
static const char NEW_DIR[] = "fpusbd.new";
static const char LIST_NAME[] = "devices";

// Closes the descriptors it holds when it goes.
struct fds {
    std::vector<int> held;
    int keep(int fd) {
        if (fd >= 0)
            held.push_back(fd);
        return fd;
    }
    ~fds() {
        for (int fd : held)
            close(fd);
    }
};

// The user's fpusbd reads the list through these directories, and udev trusts what is in
// them: others may not write to them, and must be able to pass through.
static bool dir_usable(int fd, const std::string& path) {
    struct stat st = {};
    const char* why = nullptr;
    if (fstat(fd, &st) != 0)
        why = strerror(errno);
    else if (st.st_uid != 0 && st.st_uid != geteuid())
        why = "it belongs to another user";
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = "others may write to it";
    else if ((st.st_mode & S_IXOTH) == 0)
        why = "others may not pass through it, to the device list";
    if (why != nullptr)
        di_complain("%s: mode %04o: %s; set it right (chmod 755) or look into why it is so",
                    path.c_str(), static_cast<unsigned>(st.st_mode & 07777), why);
    return why == nullptr;
}

// The directory `rel` below `root`, each step opened without following a symlink; when
// `make`, made 0755 where missing and checked where not. Returns its descriptor (held by `f`); -1
// when refused, having complained; -2 when missing and not made.
static int open_dirs(int root, const std::string& root_path, const std::string& rel, bool make,
                     fds* f) {
    int at = root;
    std::string path = root_path;
    for (size_t from = 0; from < rel.size();) {
        size_t slash = std::min(rel.find('/', from), rel.size());
        std::string name = rel.substr(from, slash - from);
        from = slash + 1;
        path += "/" + name;
        int fd = openat(at, name.c_str(), DIR_FLAGS);
        bool made = false;
        if (fd < 0 && errno == ENOENT && make && mkdirat(at, name.c_str(), 0755) == 0) {
            fd = openat(at, name.c_str(), DIR_FLAGS);
            made = fd >= 0 && fchmod(fd, 0755) == 0 && fsync(at) == 0;
        }
        if (fd < 0 && errno == ENOENT && !make)
            return -2;
        if (fd < 0) {
            di_complain("cannot open the directory %s: %s", path.c_str(),
                        errno == ELOOP || errno == ENOTDIR ? "something else is there"
                                                           : strerror(errno));
            return -1;
        }
        at = f->keep(fd);
        if (make && !made && !dir_usable(fd, path))
            return -1;
    }
    return at;
}

// Whole, synced, and readable by the user who runs fpusbd, whatever root's umask.
static bool write_at(int dir, const std::string& path, const char* name, const std::string& text) {
    int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
    if (!ok)
        di_complain("cannot write %s/%s: %s", path.c_str(), name, strerror(err));
    return ok;
}

// Whether `name` in `dir` is a regular file whose first lines say that --setup wrote it.
static bool ours(int dir, const char* name) {
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    char head[512] = {};
    bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              read(fd, head, sizeof(head) - 1) > 0;
    if (fd >= 0)
        close(fd);
    std::string text = head;
    for (size_t from = 0, line = 0; ok && line < 3 && from < text.size(); line++) {
        size_t end = std::min(text.find('\n', from), text.size());
        if (text[from] == '#' && text.substr(from, end - from).find(MARK) != std::string::npos)
            return true;
        from = end + 1;
    }
    return false;
}

// Whether the rule's place in udev's directory holds the link --setup makes there.
static bool our_link(int dir) {
    char target[64];
    ssize_t n = readlinkat(dir, USBD_RULE_NAME, target, sizeof(target));
    return n == static_cast<ssize_t>(strlen(USBD_RULE_LINK)) &&
           memcmp(target, USBD_RULE_LINK, static_cast<size_t>(n)) == 0;
}

// The name of the first entry of directory `dir` that --setup did not write; "" when none.
static std::string foreign_entry(int dir) {
    int fd = dup(dir);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0)
            close(fd);
        return "(cannot be listed)";
    }
    rewinddir(d);
    std::string found;
    for (struct dirent* e = readdir(d); e != nullptr && found.empty(); e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != ".." &&
            ((name != LIST_NAME && name != USBD_RULE_NAME) || !ours(dir, name.c_str())))
            found = name;
    }
    closedir(d);
    return found;
}

// Removes the files of ours in directory `name` of `parent`, then the directory if that
// leaves it empty; in the one --setup makes its pair in, `scratch`, those a failure or a crash
// may have cut short too. Returns 0 when it is gone, 1 when something else is left in it and
// -1 on an error, having said which.
static int remove_ours(int parent, const std::string& parent_path, const char* name, bool scratch,
                       std::vector<std::string>* removed) {
    std::string path = parent_path + "/" + name;
    int fd = openat(parent, name, DIR_FLAGS);
    if (fd < 0 && errno == ENOENT)
        return 0;
    if (fd < 0) {
        di_complain("cannot open the directory %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    bool ok = true;
    struct stat st;
    for (const char* file : {LIST_NAME, USBD_RULE_NAME}) {
        bool cut_short =
            scratch && fstatat(fd, file, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        if (!cut_short && !ours(fd, file))
            continue;
        if (unlinkat(fd, file, 0) == 0) {
            removed->push_back(path + "/" + file);
        } else {
            di_complain("cannot remove %s/%s: %s", path.c_str(), file, strerror(errno));
            ok = false;
        }
    }
    std::string left = foreign_entry(fd);
    close(fd);
    if (!ok)
        return -1;
    if (!left.empty()) {
        di_complain("%s/%s was not written by fpusbd --setup: left, with its directory",
                    path.c_str(), left.c_str());
        return 1;
    }
    if (unlinkat(parent, name, AT_REMOVEDIR) != 0) {
        di_complain("cannot remove %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    removed->push_back(path);
    return 0;
}

// The rule's place in udev's directory: the link to the rule in the pair's directory, made
// once; a file an earlier --setup wrote there is replaced by it, anything else refused.
static bool link_rule(int rules, const std::string& path) {
    std::string at = path + "/" + USBD_RULE_NAME;
    struct stat st;
    if (fstatat(rules, USBD_RULE_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (our_link(rules))
            return true;
        if (!ours(rules, USBD_RULE_NAME)) {
            di_complain("%s was not written by fpusbd --setup: move it away first", at.c_str());
            return false;
        }
    }
    // Not *.rules: udev never reads it half made.
    std::string tmp = std::string(USBD_RULE_NAME) + ".new";
    unlinkat(rules, tmp.c_str(), 0);
    if (symlinkat(USBD_RULE_LINK, rules, tmp.c_str()) != 0 ||
        renameat(rules, tmp.c_str(), rules, USBD_RULE_NAME) != 0 || fsync(rules) != 0) {
        di_complain("cannot link %s to %s: %s", at.c_str(), USBD_RULE_LINK, strerror(errno));
        unlinkat(rules, tmp.c_str(), 0);
        return false;
    }
    return true;
}

// The root to write below, opened, and in `path` what goes before /etc ("" for the system's).
// Returns -1, having complained, when it is no directory.
static int open_root(const usbd_setup& s, std::string* path) {
    std::string root = s.root.empty() ? "/" : s.root;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    // Never made here: a mistyped root gets no tree of its own.
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        di_complain("--root %s: %s", root.c_str(),
                    errno == ENOTDIR ? "not a directory" : strerror(errno));
    *path = root == "/" ? "" : root;
    return fd;
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

// udev told to read its rules again. Returns the udevadm that did it; nullptr, having said
// so, when there is none or udev does not run (a container, a chroot): it reads them when it
// starts.
static const char* reload_udev() {
    const char* tool = nullptr;
    for (const char* p : UDEVADM)
        if (tool == nullptr && access(p, X_OK) == 0)
            tool = p;
    int st = tool != nullptr ? udevadm(tool, {"control", "--reload"}) : -1;
    if (st != 0) {
        di_complain("note: %s; udev reads the rules anew when it starts",
                    tool == nullptr ? "no udevadm here"
                                    : "udevadm control --reload did not succeed");
        return nullptr;
    }
    printf("udev reloaded\n");
    return tool;
}

// Plugged in already: looked at again as if just plugged in, which starts fpusbd too. Only
// the devices the rule names: "add" runs every other package's rules for them as well.
static void replay(const char* tool, const std::vector<usbd_id>& ids) {
    for (const usbd_id& id : distinct(ids)) {
        std::vector<std::string> args = {"trigger", "--action=add", "--subsystem-match=usb",
                                         "--attr-match=idVendor=" + hex4(id.vid)};
        if (!id.any_pid)
            args.push_back("--attr-match=idProduct=" + hex4(id.pid));
        if (udevadm(tool, args) != 0)
            di_complain("note: udevadm trigger for %s did not succeed; replug the printer",
                        id_text(id).c_str());
        else
            printf("udev looked again at the devices %s plugged in\n", id_text(id).c_str());
    }
}

// ---- the setup and its undoing ------------------------------------------------------------

// The list and the rule are made whole in a directory of their own, synced, and swapped with
// the directory of the pair before in one rename: a crash leaves the old pair or the new one
// in force, and at worst the other in fpusbd.new, which the next run removes. The link in
// udev's directory is made before the first swap, when it points at nothing yet.
int usbd_setup_run(const usbd_setup& s) {
    if (!s.group.empty() && s.root.empty() && getgrnam(s.group.c_str()) == nullptr) {
        di_complain("there is no group %s here: create it (groupadd %s), or name another",
                    s.group.c_str(), s.group.c_str());
        return DI_EXIT_FAILED;
    }
    fds f;
    std::string root;
    int top = f.keep(open_root(s, &root));
    int etc = top < 0 ? -1 : open_dirs(top, root, "etc", true, &f);
    int rules = etc < 0 ? -1 : open_dirs(etc, root + "/etc", "udev/rules.d", true, &f);
    std::string etc_path = root + "/etc", made_path = etc_path + "/" + NEW_DIR;
    std::vector<std::string> removed;
    if (rules < 0 || remove_ours(etc, etc_path, NEW_DIR, true, &removed) != 0)
        return DI_EXIT_FAILED;
    std::string dir_path = root + USBD_SETUP_DIR;
    int before = f.keep(openat(etc, "fpusbd", DIR_FLAGS));
    if (before < 0 && errno != ENOENT) {
        di_complain("cannot open the directory %s: %s", dir_path.c_str(),
                    errno == ELOOP || errno == ENOTDIR ? "something else is there"
                                                       : strerror(errno));
        return DI_EXIT_FAILED;
    }
    std::string other = before >= 0 ? foreign_entry(before) : "";
    if (!other.empty()) {
        di_complain("%s/%s was not written by fpusbd --setup: move it away first", dir_path.c_str(),
                    other.c_str());
        return DI_EXIT_FAILED;
    }
    int made = mkdirat(etc, NEW_DIR, 0700) == 0 ? f.keep(openat(etc, NEW_DIR, DIR_FLAGS)) : -1;
    if (made < 0)
        di_complain("cannot make the directory %s: %s", made_path.c_str(), strerror(errno));
    bool ok = made >= 0 && write_at(made, made_path, LIST_NAME, usbd_devices_text(s)) &&
              write_at(made, made_path, USBD_RULE_NAME, usbd_rule_text(s));
    if (ok && (fchmod(made, 0755) != 0 || fsync(made) != 0)) {
        di_complain("cannot make %s readable to all, and synced: %s", made_path.c_str(),
                    strerror(errno));
        ok = false;
    }
    ok = ok && link_rule(rules, etc_path + "/udev/rules.d");
    bool swapped = ok && (before >= 0 ? renameat2(etc, NEW_DIR, etc, "fpusbd", RENAME_EXCHANGE)
                                      : renameat(etc, NEW_DIR, etc, "fpusbd")) == 0;
    if (ok && (!swapped || fsync(etc) != 0)) {
        di_complain("cannot put %s in the place of %s: %s", made_path.c_str(), dir_path.c_str(),
                    strerror(errno));
        ok = false;
    }
    // What it replaced (or what failed to replace it) goes; the next run retries at worst.
    remove_ours(etc, etc_path, NEW_DIR, true, &removed);
    if (!ok)
        return DI_EXIT_FAILED;
    printf("wrote %s%s and %s/%s\nudev reads the rule through %s%s\n", root.c_str(),
           USBD_DEVICES_PATH, dir_path.c_str(), USBD_RULE_NAME, root.c_str(), USBD_RULE_PATH);
    bool product_named = false;
    for (const usbd_id& id : s.ids) {
        product_named = product_named || !id.any_pid;
        if (id.any_pid)
            check_vendor(id.vid);
    }
    if (product_named && !s.loader_given)
        di_complain("note: no --loader given: a printer whose loader has a product ID of its "
                    "own can't be reached in its loader (see fpusbd(1), --loader)");
    const char* tool = s.root.empty() ? reload_udev() : nullptr;
    if (tool != nullptr)
        replay(tool, s.ids);
    return DI_EXIT_OK;
}

int usbd_unsetup_run(const usbd_setup& s) {
    // Said as it is done, also into a pipe, among the complaints.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    fds f;
    std::string root;
    int top = f.keep(open_root(s, &root));
    if (top < 0)
        return DI_EXIT_FAILED;
    std::vector<std::string> removed;
    // The rule first: the list means nothing without it.
    int rules = open_dirs(top, root, "etc/udev/rules.d", false, &f);
    bool ok = rules != -1;
    struct stat st;
    std::string at = root + USBD_RULE_PATH;
    if (rules >= 0 && (our_link(rules) || ours(rules, USBD_RULE_NAME))) {
        ok = unlinkat(rules, USBD_RULE_NAME, 0) == 0 && fsync(rules) == 0;
        if (ok)
            removed.push_back(at);
        else
            di_complain("cannot remove %s: %s", at.c_str(), strerror(errno));
    } else if (rules >= 0 && fstatat(rules, USBD_RULE_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        di_complain("%s was not written by fpusbd --setup: left as it is", at.c_str());
    }
    int etc = open_dirs(top, root, "etc", false, &f);
    ok = ok && etc != -1;
    for (const char* dir : {"fpusbd", NEW_DIR})
        ok = (etc < 0 || remove_ours(etc, root + "/etc", dir, false, &removed) >= 0) && ok;
    if (etc >= 0 && fsync(etc) != 0)
        ok = false;
    for (const std::string& r : removed)
        printf("removed %s\n", r.c_str());
    if (removed.empty())
        printf("found nothing fpusbd --setup wrote below %s\n", root.empty() ? "/" : root.c_str());
    if (s.root.empty() && !removed.empty() && reload_udev() != nullptr)
        printf("the printers plugged in keep their access until they are unplugged\n");
    return ok ? DI_EXIT_OK : DI_EXIT_FAILED;
}
