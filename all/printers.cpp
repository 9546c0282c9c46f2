// Which printers there are: the sockets of the printer class directory, found by the rules
// fpflash finds its printer by; and --simulate's, each an fpsim of its own.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "all/all.h"
#include "di/kit.h"

static const int SIM_READY_MS = 10000;

static bool trusted(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           di_dir_trusted(S_ISDIR(st.st_mode), st.st_uid, st.st_mode, geteuid());
}

static std::string class_name() {
    static const di_guid printer_class = DI_PRINTER_CLASS;
    char name[DI_CLASS_NAME_SIZE];
    di_class_name(printer_class, name);
    return name;
}

std::string all_class_dir(const char* xdg, std::string* why) {
    char base[PATH_MAX];
    if (di_base_dir(xdg, geteuid(), base, sizeof(base)) != 0) {
        *why = "the runtime directory's path is too long";
        return "";
    }
    std::string dir = std::string(base) + "/" + class_name();
    // Checked through descriptors, as fpflash checks them: a printer planted by another user
    // must not be sent the firmware.
    for (const std::string& d : {std::string(base), dir}) {
        int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        bool ok = fd >= 0 && trusted(fd);
        if (fd >= 0)
            close(fd);
        if (!ok) {
            *why = fd < 0 ? d + ": " + strerror(errno)
                          : d + " is not private to this user, so fpflash would find no "
                                "printer in it";
            return "";
        }
    }
    return dir;
}

std::vector<std::string> all_sockets(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    for (const struct dirent* e; (e = readdir(d)) != nullptr;) {
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode))
            names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string all_private_dir(const char* prefix) {
    const char* tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    return mkdtemp(&path[0]) != nullptr ? path : "";
}

void all_remove_runtime_dir(const std::string& dir) {
    std::string base = dir + "/" + DI_BASE_NAME;
    rmdir((base + "/" + class_name()).c_str());
    rmdir(base.c_str());
    rmdir(dir.c_str());
}

// ---- --simulate ---------------------------------------------------------------------------

static std::string sim_dir;
static std::vector<pid_t> sims;

static std::string ready_file(size_t k) {
    return sim_dir + "/sim-" + std::to_string(k + 1) + ".ready";
}

static pid_t start_sim(const std::string& fpsim, size_t k, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {fpsim, "--name", "sim-" + std::to_string(k + 1), "--ready",
                                     ready_file(k)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& a) { return &a[0]; });
    std::string env = "XDG_RUNTIME_DIR=" + sim_dir;
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A printer of its own: the terminal's Ctrl-C is the command's to decide about.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    putenv(&env[0]);
    execv(argv[0], argv.data());
    di_complain("cannot run %s: %s", argv[0], strerror(errno));
    _exit(127);
}

std::string all_simulate(const std::string& fpsim, int n,
                         const std::vector<std::vector<std::string>>& options) {
    sim_dir = all_private_dir("fpflash-all-sim");
    if (sim_dir.empty()) {
        di_complain("cannot make a directory for the simulated printers: %s", strerror(errno));
        return "";
    }
    for (size_t k = 0; k < static_cast<size_t>(n); k++) {
        pid_t pid =
            start_sim(fpsim, k, k < options.size() ? options[k] : std::vector<std::string>());
        if (pid < 0) {
            di_complain("cannot start a simulated printer: %s", strerror(errno));
            return "";
        }
        sims.push_back(pid);
    }
    long long until = di_now_ms() + SIM_READY_MS;
    for (size_t k = 0; k < sims.size();) {
        struct stat st;
        if (stat(ready_file(k).c_str(), &st) == 0 && st.st_size > 0) {
            k++;
            continue;
        }
        int status = 0;
        if (waitpid(sims[k], &status, WNOHANG) == sims[k] || di_now_ms() > until) {
            di_complain("simulated printer %zu did not start", k + 1);
            return "";
        }
        usleep(10000);
    }
    return sim_dir;
}

void all_simulate_end() {
    for (pid_t pid : sims)
        kill(pid, SIGTERM);
    for (size_t k = 0; k < sims.size(); k++) {
        waitpid(sims[k], nullptr, 0);
        unlink(ready_file(k).c_str());
    }
    sims.clear();
    if (!sim_dir.empty())
        all_remove_runtime_dir(sim_dir);
    sim_dir.clear();
}
