// tolva-sandbox: runs the programs under test in a private mount namespace whose fixed
// system paths resolve into a root that the caller owns.
//
//   tolva-sandbox init ROOT --tolvad PATH --tolvactl PATH --layer PATH
//   tolva-sandbox run ROOT -- PROGRAM ARGS...
//   tolva-sandbox stop ROOT
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_SANDBOX = 125;

// The folders overlaid with ROOT's folders of the same names; everything else but /dev and
// /run is shared. Each run writes into an upper of its own below ROOT/.runs: overlays that
// share an upper or a work folder fail to mount, or worse, when two runs start together.
constexpr const char* OVERLAID[] = {"etc", "var", "usr"};

// Folders that programs and tests change while daemons run are plain binds of folders in
// ROOT: an overlay upper changed under a mounted overlay, or shared by the overlays of two
// runs, is not seen coherently. A missing source hides the folder inside.
constexpr struct {
    const char* source;
    const char* target;
} BOUND[] = {
    {"conf", "/etc/qelvo/caldrix"}, {"log", "/var/log/qelvo/caldrix"}, {"zyr", "/usr/share/zyr"}};

constexpr struct {
    const char* name;
    unsigned major_number, minor_number;
} NODES[] = {{"null", 1, 3}, {"zero", 1, 5}, {"full", 1, 7}, {"random", 1, 8}, {"urandom", 1, 9}};

void complain(const std::string& what, int error) {
    std::fprintf(stderr, "tolva-sandbox: %s: %s\n", what.c_str(), std::strerror(error));
}

void complain(const std::string& what) {
    std::fprintf(stderr, "tolva-sandbox: %s\n", what.c_str());
}

void usage() {
    std::fputs(
        "usage: tolva-sandbox init ROOT --tolvad PATH --tolvactl PATH --layer PATH\n"
        "       tolva-sandbox run ROOT -- PROGRAM [ARGS...]\n"
        "       tolva-sandbox stop ROOT\n",
        stderr);
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Absolute, symlink-free form; the root is compared with mount options and paths later.
bool canonical(const std::string& path, std::string& out) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        complain("realpath " + path, errno);
        return false;
    }
    out = real;
    std::free(real);
    return true;
}

// The layer's path may hold the dynamic loader's $PLATFORM token, so that 32-bit and 64-bit
// processes each load the layer of their own class; only the folder before it is resolved.
bool canonical_preload(const std::string& entry, std::string& out) {
    const std::size_t token = entry.find("/$PLATFORM/");
    if (token == std::string::npos)
        return canonical(entry, out);
    std::string folder;
    if (!canonical(entry.substr(0, token), folder))
        return false;
    out = folder + entry.substr(token);
    return true;
}

bool make_dirs(const std::string& path, mode_t mode = 0755) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            complain("mkdir " + partial, errno);
            return false;
        }
    }
    if (!is_directory(path)) {
        complain("mkdir " + path, ENOTDIR);
        return false;
    }
    return true;
}

// Replaces whatever is at `path` so that a second init of the same root works.
bool make_symlink(const std::string& target, const std::string& path) {
    unlink(path.c_str());
    if (symlink(target.c_str(), path.c_str()) != 0) {
        complain("symlink " + path, errno);
        return false;
    }
    return true;
}

// A user namespace may not make device nodes: an empty file stands in, and each run binds
// the host's node onto it.
bool make_node(const std::string& path, unsigned major_number, unsigned minor_number) {
    unlink(path.c_str());
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) != 0) {
        if (errno != EPERM) {
            complain("mknod " + path, errno);
            return false;
        }
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            complain("create " + path, errno);
            return false;
        }
        close(fd);
    }
    // mknod is subject to the umask; the standard nodes are world-writable.
    chmod(path.c_str(), 0666);
    return true;
}

bool write_file(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        complain("write " + path, errno);
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        complain("write " + path, errno);
    return ok;
}

// Overlaying a folder that holds the root would hide the root's own upper dirs.
bool root_is_usable(const std::string& command, const std::string& root) {
    for (const char* shadowed : {"/etc", "/var", "/usr", "/dev", "/run"}) {
        std::string prefix = std::string(shadowed) + "/";
        if (root == shadowed || root.compare(0, prefix.size(), prefix) == 0) {
            complain(command + ": root " + root + " lies inside " + shadowed);
            return false;
        }
    }
    if (root == "/") {
        complain(command + ": root must not be /");
        return false;
    }
    return true;
}

int init(const std::vector<std::string>& args) {
    if (args.empty()) {
        usage();
        return EXIT_SANDBOX;
    }
    std::string tolvad, tolvactl, layer;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            usage();
            return EXIT_SANDBOX;
        }
        const std::string& value = args[i + 1];
        if (args[i] == "--tolvad")
            tolvad = value;
        else if (args[i] == "--tolvactl")
            tolvactl = value;
        else if (args[i] == "--layer")
            layer = value;
        else {
            usage();
            return EXIT_SANDBOX;
        }
    }
    if (tolvad.empty() || tolvactl.empty() || layer.empty()) {
        usage();
        return EXIT_SANDBOX;
    }
    // Checked before anything is created, so that a refused root leaves no trace.
    std::string requested = args[0];
    if (requested.empty() || requested[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        requested = std::string(cwd ? cwd : "") + "/" + requested;
        std::free(cwd);
    }
    if (!root_is_usable("init", requested) || !make_dirs(requested, 0700))
        return EXIT_SANDBOX;
    std::string root;
    if (!canonical(requested, root) || !root_is_usable("init", root))
        return EXIT_SANDBOX;
    // Links and the preload list must work from any working directory inside.
    if (!canonical(tolvad, tolvad) || !canonical(tolvactl, tolvactl) ||
        !canonical_preload(layer, layer))
        return EXIT_SANDBOX;

    for (const char* dir :
         {"dev", "run", "etc", "var", "usr", ".runs", "conf", "log", "zyr", "usr/sbin"}) {
        if (!make_dirs(root + "/" + dir))
            return EXIT_SANDBOX;
    }
    // Overlay uppers take their own mode over the lower's; keep the usual ones.
    chmod((root + "/dev").c_str(), 0755);
    chmod((root + "/run").c_str(), 0755);

    for (const auto& n : NODES) {
        if (!make_node(root + "/dev/" + n.name, n.major_number, n.minor_number))
            return EXIT_SANDBOX;
    }
    struct {
        const char* name;
        const char* target;
    } const links[] = {{"fd", "/proc/self/fd"},
                       {"stdin", "/proc/self/fd/0"},
                       {"stdout", "/proc/self/fd/1"},
                       {"stderr", "/proc/self/fd/2"}};
    for (const auto& l : links) {
        if (!make_symlink(l.target, root + "/dev/" + l.name))
            return EXIT_SANDBOX;
    }
    if (!make_symlink(tolvad, root + "/usr/sbin/tolvad") ||
        !make_symlink(tolvactl, root + "/usr/sbin/Tolvactl") ||
        !write_file(root + "/etc/ld.so.preload", layer + "\n")) {
        return EXIT_SANDBOX;
    }
    return 0;
}

bool mount_or_complain(const char* source, const std::string& target, const char* type,
                       unsigned long flags, const std::string& options) {
    if (mount(source, target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) !=
        0) {
        complain(std::string("mount ") + (type ? type : "bind") + " on " + target, errno);
        return false;
    }
    return true;
}

std::string read_all(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return out;
}

// Whether the mount of the given id joins a peer group, read from /proc/self/mountinfo:
// 1 shared, 0 not, -1 unknown.
int mount_is_shared(unsigned long long id) {
    const std::string table = read_all("/proc/self/mountinfo");
    const std::string head = std::to_string(id) + " ";
    std::size_t at = 0;
    while (at < table.size()) {
        std::size_t end = table.find('\n', at);
        if (end == std::string::npos)
            end = table.size();
        const std::string line = table.substr(at, end - at);
        if (line.compare(0, head.size(), head) == 0) {
            // The optional fields lie between the mount options and " - ".
            const std::size_t fields_end = line.find(" - ");
            const std::size_t shared = line.find(" shared:");
            return shared != std::string::npos && shared < fields_end ? 1 : 0;
        }
        at = end + 1;
    }
    return -1;
}

// Taken away again with whatever the kernel copied of it into other namespaces.
void unmount_probe() {
    umount2("/..", MNT_DETACH);
}

// Nothing mounted from here on may reach the host's namespace. Only a mount point takes a
// propagation change, and a chroot's / need not be one: there / is bound onto itself and
// entered (".." of the root leads onto what is mounted over it). A bind onto a mount that
// shares its events reaches that mount's peers, the host's among them, so a first,
// childless bind tells whether it does before anything lands there for good.
bool make_mounts_private() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return true;
    if (errno != EINVAL) {
        complain("make mounts private on /", errno);
        return false;
    }
    if (mount("/", "/", nullptr, MS_BIND, nullptr) != 0) {
        complain("/ is not a mount point; bind / onto itself", errno);
        return false;
    }
    struct statx probe {};
    int shared = -1;
    if (statx(AT_FDCWD, "/..", 0, STATX_MNT_ID, &probe) == 0 && (probe.stx_mask & STATX_MNT_ID))
        shared = mount_is_shared(probe.stx_mnt_id);
    unmount_probe();
    if (shared != 0) {
        complain(shared > 0 ? "/ is not a mount point, and the mount holding it passes mounts on "
                              "to other namespaces; run this from a private mount namespace "
                              "(unshare --mount) or make / a mount point"
                            : "/ is not a mount point, and /proc does not tell whether the mount "
                              "holding it passes mounts on to other namespaces");
        return false;
    }
    if (mount("/", "/", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        complain("/ is not a mount point; bind / onto itself", errno);
        return false;
    }
    // The program starts where we were called, as it does without the bind.
    char* cwd = getcwd(nullptr, 0);
    const std::string here = cwd ? cwd : "/";
    std::free(cwd);
    if (chdir("/..") != 0 || chroot(".") != 0 || chdir(here.c_str()) != 0) {
        complain("enter / bound onto itself", errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        complain("make mounts private on /", errno);
        return false;
    }
    return true;
}

int run(const std::vector<std::string>& args) {
    if (args.size() < 3 || args[1] != "--") {
        usage();
        return EXIT_SANDBOX;
    }
    std::string root;
    if (!canonical(args[0], root) || !root_is_usable("run", root))
        return EXIT_SANDBOX;
    for (const char* dir : {"dev", "run", "etc", "var", "usr", ".runs"}) {
        if (!is_directory(root + "/" + dir)) {
            complain("run: " + root + " is not a sandbox root (missing " + dir +
                     "); run init first");
            return EXIT_SANDBOX;
        }
    }
    std::string own = root + "/.runs/XXXXXX";
    if (mkdtemp(own.data()) == nullptr) {
        complain("mkdtemp " + own, errno);
        return EXIT_SANDBOX;
    }
    chmod(own.c_str(), 0755);
    for (const char* dir : OVERLAID) {
        if (!make_dirs(own + "/" + dir) || !make_dirs(own + "/.work/" + dir))
            return EXIT_SANDBOX;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        complain("unshare CLONE_NEWNS", errno);
        return EXIT_SANDBOX;
    }
    if (!make_mounts_private())
        return EXIT_SANDBOX;
    for (const char* dir : OVERLAID) {
        std::string options = "lowerdir=" + root + "/" + dir + ":/" + dir + ",upperdir=" + own +
                              "/" + dir + ",workdir=" + own + "/.work/" + dir;
        if (!mount_or_complain("overlay", std::string("/") + dir, "overlay", 0, options))
            return EXIT_SANDBOX;
    }
    for (const auto& bound : BOUND) {
        const std::string source = root + "/" + bound.source;
        if (is_directory(source)) {
            if (!make_dirs(bound.target) ||
                !mount_or_complain(source.c_str(), bound.target, nullptr, MS_BIND, ""))
                return EXIT_SANDBOX;
        } else if (rmdir(bound.target) != 0 && errno != ENOENT) {
            complain(std::string("rmdir ") + bound.target, errno);
            return EXIT_SANDBOX;
        }
    }
    // Stand-ins that init made where it could not make the node; recursive below so that
    // these binds come along into /dev.
    for (const auto& n : NODES) {
        const std::string node = root + "/dev/" + n.name;
        struct stat st {};
        if (lstat(node.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            !mount_or_complain((std::string("/dev/") + n.name).c_str(), node, nullptr, MS_BIND, ""))
            return EXIT_SANDBOX;
    }
    if (!mount_or_complain((root + "/run").c_str(), "/run", nullptr, MS_BIND, "") ||
        !mount_or_complain((root + "/dev").c_str(), "/dev", nullptr, MS_BIND | MS_REC, "")) {
        return EXIT_SANDBOX;
    }

    std::vector<char*> argv;
    for (std::size_t i = 2; i < args.size(); ++i)
        argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    int error = errno;
    complain("exec " + args[2], error);
    return error == ENOENT ? 127 : 126;
}

// Escapes a path as /proc/PID/mountinfo writes it.
std::string mountinfo_escape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

// A process belongs to the sandbox when its namespace holds an overlay of one of our runs.
// Zombies have no mountinfo and so never match.
bool in_sandbox(pid_t pid, const std::string& needle) {
    return read_all("/proc/" + std::to_string(pid) + "/mountinfo").find(needle) !=
           std::string::npos;
}

std::vector<pid_t> sandbox_processes(const std::string& needle) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    const pid_t self = getpid();
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self)
            continue;
        if (in_sandbox(static_cast<pid_t>(pid), needle))
            found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

void pause_ms(long ms) {
    struct timespec ts {
        ms / 1000, (ms % 1000) * 1000000L
    };
    nanosleep(&ts, nullptr);
}

int stop(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        usage();
        return EXIT_SANDBOX;
    }
    std::string root;
    if (!canonical(args[0], root))
        return EXIT_SANDBOX;
    const std::string needle = "upperdir=" + mountinfo_escape(root + "/.runs/");

    // Polite first; daemons get a grace period to remove their pid files.
    std::vector<pid_t> pids = sandbox_processes(needle);
    for (pid_t pid : pids)
        kill(pid, SIGTERM);
    constexpr long GRACE_MS = 3000, STEP_MS = 20;
    for (long waited = 0; !pids.empty() && waited < GRACE_MS; waited += STEP_MS) {
        pause_ms(STEP_MS);
        pids = sandbox_processes(needle);
    }
    // Processes may fork while we kill; repeat until the namespace is empty.
    for (int round = 0; round < 250 && !pids.empty(); ++round) {
        for (pid_t pid : pids)
            kill(pid, SIGKILL);
        pause_ms(STEP_MS);
        pids = sandbox_processes(needle);
    }
    if (!pids.empty()) {
        complain("stop: processes of " + root + " survived SIGKILL");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return EXIT_SANDBOX;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "init")
        return init(args);
    if (command == "run")
        return run(args);
    if (command == "stop")
        return stop(args);
    usage();
    return EXIT_SANDBOX;
}
