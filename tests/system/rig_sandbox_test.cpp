// The rig itself: isolation of the sandbox, the harness, and the reference host-information
// script. Everything else in the system tests trusts these.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/network.h"
#include "tests/support/rig.h"

namespace {

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : path;
}

// The layer file that processes of one class load, e.g. "i686".
std::string layer_of_class(const std::string& platform) {
    std::string path = rig::layer_library();
    const std::string token = "$PLATFORM";
    path.replace(path.find(token), token.size(), platform);
    return real_path(path);
}

bool exists_outside(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Alive and not a zombie: the container's init may not reap what we orphan.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

std::string run_capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

int shell_status(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RigSandbox, WritesStayInTheRoot) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"/etc/qelvo/caldrix/x", "/etc/qelvo/caldrix/x"},
        {"/var/log/qelvo/caldrix/y", "/var/log/qelvo/caldrix/y"},
        {"/usr/share/zyr/z", "/usr/share/zyr/z"},
        {"//dev/w", "/dev/w"},
        {"/run/v", "/run/v"},
        {"/var/run/u", "/run/u"}};
    for (const auto& [inside, real] : files)
        ASSERT_FALSE(exists_outside(real)) << real;

    rig::sandbox s;
    std::string script;
    for (const auto& [inside, real] : files)
        script += "echo data > " + inside + " || exit 1\n";
    auto r = s.run({"/bin/sh", "-c", script});
    ASSERT_EQ(r.exit_status, 0) << r.err;

    for (const auto& [inside, real] : files) {
        EXPECT_FALSE(exists_outside(real)) << real;
        EXPECT_EQ(s.read(inside), "data\n") << inside;
        EXPECT_EQ(s.read(real), "data\n") << real;
    }
    EXPECT_EQ(s.outside("/var/run/u"), s.root() + "/run/u");
    EXPECT_EQ(s.outside("/tmp/elsewhere"), "/tmp/elsewhere");
}

TEST(RigSandbox, DevicesBinariesAndLayerInside) {
    rig::sandbox s;
    s.add_enclosure("sg3", "alpha", "SERIAL-A");
    auto r = s.run({"/bin/sh", "-c",
                    "ls //dev; echo x > /dev/null; head -c 3 /dev/zero | od -An -tx1;"
                    "readlink /usr/sbin/tolvad /usr/sbin/Tolvactl"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    for (const char* name : {"sg3\n", "null\n", "zero\n", "urandom\n", " 00 00 00\n"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name << " in\n" << r.out;
    EXPECT_NE(r.out.find(real_path(rig::tolvad_binary()) + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(real_path(rig::tolvactl_binary()) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(s.read("//dev/sg3"), s.array().node_content("sg3"));

    // Every process gets the layer of its own class, also with a cleaned environment (as
    // `service` makes): the 64-bit system tools, and the daemon, which is 32-bit in an i386
    // build. A layer of the wrong class would be refused with a message on standard error.
    r = s.run({"/usr/bin/env", "-i", "/bin/cat", "/proc/self/maps"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(layer_of_class("x86_64")), std::string::npos) << r.out;

    const std::string own = layer_of_class(sizeof(void*) == 4 ? "i686" : "x86_64");
    const pid_t daemon = s.spawn({"/usr/sbin/tolvad", "-f"});
    const std::string maps = "/proc/" + std::to_string(daemon) + "/maps";
    const std::string daemon_exe = real_path(rig::tolvad_binary());
    EXPECT_TRUE(rig::sandbox::eventually([&] {
        const std::string text = s.read(maps);
        return text.find(daemon_exe) != std::string::npos && text.find(own) != std::string::npos;
    })) << s.read(maps);
}

TEST(RigSandbox, RunReportsStatusOutputAndSignals) {
    struct {
        std::string script;
        int exit_status, signal;
        std::string out, err;
    } const cases[] = {
        {"exit 3", 3, 0, "", ""},
        {"echo out; echo err >&2", 0, 0, "out\n", "err\n"},
        {"printf '%s' \"$RIG_EXTRA\"", 0, 0, "extra value", ""},
        // Only the program's own group may be hit.
        {"kill -ABRT 0; sleep 5", -1, SIGABRT, "", ""},
        {"exec /nonexistent/program", 127, 0, "", ""},
    };
    rig::sandbox s;
    for (const auto& c : cases) {
        auto r = s.run({"/bin/sh", "-c", c.script}, {{"RIG_EXTRA", "extra value"}});
        EXPECT_EQ(r.exit_status, c.exit_status) << c.script;
        EXPECT_EQ(r.signal, c.signal) << c.script;
        EXPECT_EQ(r.out, c.out) << c.script;
        if (c.exit_status != 127) {
            EXPECT_EQ(r.err, c.err) << c.script;
        }
    }
    auto r = s.run({"/nonexistent/program"});
    EXPECT_EQ(r.exit_status, 127);
    EXPECT_NE(r.err.find("/nonexistent/program"), std::string::npos) << r.err;
}

rig::sandbox* slow_sandbox = nullptr;
rig::run_result slow_result;

TEST(RigSandbox, TimeoutKillsTheGroupAndFails) {
    rig::sandbox s;
    slow_sandbox = &s;
    EXPECT_NONFATAL_FAILURE(
        slow_result = slow_sandbox->run({"/bin/sleep", "30"}, {}, std::chrono::seconds(1)),
        "timed out");
    EXPECT_EQ(slow_result.signal, SIGKILL);
    slow_sandbox = nullptr;
}

TEST(RigSandbox, RunsStartedTogetherBothWork) {
    rig::sandbox s;
    for (int round = 0; round < 10; ++round) {
        const pid_t first = s.spawn({"/bin/sh", "-c", "test -L /usr/sbin/tolvad"});
        const pid_t second = s.spawn({"/bin/sh", "-c", "test -L /usr/sbin/tolvad"});
        for (pid_t pid : {first, second}) {
            const rig::run_result r = s.wait(pid);
            EXPECT_EQ(r.exit_status, 0) << "round " << round << ": " << r.err;
        }
    }
}

TEST(RigSandbox, FilesPersistAcrossRunsAndPidFileIsRead) {
    rig::sandbox s;
    EXPECT_EQ(s.daemon_pid(), -1);
    ASSERT_EQ(s.run({"/bin/sh", "-c",
                     "echo 4242 > /var/run/tolvad.pid; echo kept > /etc/qelvo/caldrix/k"})
                  .exit_status,
              0);
    auto r = s.run({"/bin/cat", "/run/tolvad.pid", "/etc/qelvo/caldrix/k"});
    EXPECT_EQ(r.out, "4242\nkept\n");
    EXPECT_EQ(s.daemon_pid(), 4242);

    for (const char* bad : {"", "\n", "abc\n", "12x\n", "-5\n"}) {
        std::ofstream(s.pid_file(), std::ios::trunc) << bad;
        EXPECT_EQ(s.daemon_pid(), -1) << bad;
    }
}

TEST(RigSandbox, ScriptAndConfigAreSeenInside) {
    rig::sandbox s;
    std::string bytes("head\nDEVICE0 a\0b\n", 17);
    bytes += std::string(1 << 20, 'x');
    s.set_script_output(bytes);
    auto r = s.run({"/usr/bin/env", "-i", "/usr/share/zyr/zyr_hostinfo"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(r.out == bytes) << "output differs, " << r.out.size() << " bytes";

    s.set_config("PushInterval=10\nRefreshInterval=2\n");
    EXPECT_EQ(s.run({"/bin/cat", "/etc/qelvo/caldrix/tolvad.conf"}).out,
              "PushInterval=10\nRefreshInterval=2\n");

    s.remove_log_dir();
    EXPECT_NE(s.run({"/bin/sh", "-c", "test -d /var/log/qelvo/caldrix"}).exit_status, 0);
}

TEST(RigSandbox, DestructorStopsSandboxProcessesOnly) {
    pid_t outside = fork();
    ASSERT_GE(outside, 0);
    if (outside == 0) {
        execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_t detached = -1, spawned = -1;
    std::string root;
    {
        rig::sandbox s;
        root = s.root();
        // Like a daemon: its own session, not a child of anything the rig waits for.
        auto r = s.run({"/bin/sh", "-c",
                        "setsid /bin/sleep 60 </dev/null >/dev/null 2>&1 & echo $! > /run/bg.pid"});
        ASSERT_EQ(r.exit_status, 0);
        detached = std::stoi(s.read("/run/bg.pid"));
        spawned = s.spawn({"/bin/sleep", "60"});
        ASSERT_TRUE(rig::sandbox::eventually([&] { return alive(detached) && alive(spawned); }));
    }
    EXPECT_FALSE(alive(detached));
    EXPECT_EQ(waitpid(spawned, nullptr, WNOHANG), -1);  // already reaped by the rig
    EXPECT_FALSE(exists_outside(root));
    EXPECT_TRUE(alive(outside));
    kill(outside, SIGKILL);
    waitpid(outside, nullptr, 0);
}

TEST(RigSandbox, ToolRefusesWhatItCannotSandbox) {
    const std::string tool = rig::sandbox_binary();
    EXPECT_EQ(shell_status(tool + " run /nonexistent/root -- /bin/true 2>/dev/null"), 125);
    EXPECT_EQ(shell_status(tool + " run /tmp -- /bin/true 2>/dev/null"), 125);  // never initialised
    EXPECT_EQ(shell_status(
                  tool + " init /etc/rig-inside --tolvad /bin/true --tolvactl /bin/true --layer " +
                  rig::layer_library() + " 2>/dev/null"),
              125);
    EXPECT_FALSE(exists_outside("/etc/rig-inside"));
    rmdir("/etc/rig-inside");  // only if the check above failed
    EXPECT_EQ(shell_status(tool + " frobnicate 2>/dev/null"), 125);
}

// A user namespace may not make device nodes: the sandbox stands in for them, and its
// programs still find working ones.
TEST(RigSandbox, NodesWhereNoneMayBeMade) {
    if (shell_status("unshare --user --map-root-user true 2>/dev/null") != 0)
        GTEST_SKIP() << "no user namespaces here";
    char tmpl[] = "/tmp/tolva-userns-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    const std::string in_namespace = "unshare --user --map-root-user " + rig::sandbox_binary();
    ASSERT_EQ(shell_status(in_namespace + " init " + root + " --tolvad /bin/true --tolvactl " +
                           "/bin/true --layer '" + rig::layer_library() + "'"),
              0);
    struct stat st {};
    EXPECT_TRUE(lstat((root + "/dev/null").c_str(), &st) == 0 && S_ISREG(st.st_mode));
    EXPECT_EQ(run_capture(in_namespace + " run " + root +
                          " -- /bin/sh -c 'echo x >/dev/null && head -c 2 /dev/zero | od -An "
                          "-tx1 && head -c 1 /dev/urandom | wc -c'"),
              " 00 00\n1\n");
    std::filesystem::remove_all(root);
}

// A listening socket on 127.0.0.1:port, or -1.
int listen_on(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

TEST(RigNetwork, OwnNetworkHasItsOwnPortsAndAWorkingLoopback) {
    std::string problem;
    ASSERT_TRUE(rig::own_network(problem)) << problem;
    constexpr std::uint16_t port = 47011;
    const int server = listen_on(port);
    ASSERT_GE(server, 0) << std::strerror(errno);
    // Another test process binding the same port at the same time.
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        std::string ignored;
        _exit(rig::own_network(ignored) && listen_on(port) >= 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the port was shared";

    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    close(client);
    close(server);
}

TEST(RigLog, TimeStampsAndMessages) {
    struct {
        const char* line;
        bool stamped;
    } const cases[] = {
        {"Jan  5 09:03:07 2025 text", true},  {"Dec 31 23:59:59 1999 ", true},
        {"Jan 05 09:03:07 2025 text", false}, {"Foo  5 09:03:07 2025 text", false},
        {"Jan  5 9:03:07 2025 text", false},  {"Jan  5 09:03:07 2025", false},
        {"Jan  5 09:03:07 2025x", false},     {"Jan  0 09:03:07 2025 x", false},
        {"Jan  5 24:03:07 2025 x", false},    {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rig::has_time_stamp(c.line), c.stamped) << c.line;

    rig::sandbox s;
    std::ofstream(s.log_file())
        << "Mar  1 10:00:00 2024 first\n\nMar  1 10:00:01 2024 second\nunstamped\n";
    EXPECT_EQ(s.log_messages(), (std::vector<std::string>{"first", "", "second", "unstamped"}));
}

// The reference script's promise: a head, then sections DEVICE0.. whose every line begins
// with its own token, and "DEVICE" nowhere else.
void expect_view_structure(const std::string& view, int sections) {
    ASSERT_FALSE(view.empty());
    EXPECT_EQ(view.back(), '\n');
    std::istringstream in(view);
    std::string line;
    int current = -1;
    while (std::getline(in, line)) {
        std::size_t token = line.find("DEVICE");
        if (current < 0 && token == std::string::npos)
            continue;  // head
        ASSERT_EQ(token, 0u) << line;
        EXPECT_EQ(line.find("DEVICE", 1), std::string::npos) << line;
        const std::string next = "DEVICE" + std::to_string(current + 1) + " name=";
        if (line.compare(0, next.size(), next) == 0)
            ++current;
        else
            EXPECT_EQ(line.rfind("DEVICE" + std::to_string(current) + " ", 0), 0u) << line;
    }
    EXPECT_EQ(current + 1, sections);
}

const std::string script = rig::source_dir() + "/packaging/zyr_hostinfo";

TEST(RigHostinfoScript, DescribesThisHost) {
    struct stat st {};
    ASSERT_EQ(stat(script.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    int devices = 0;
    std::string names = run_capture("ls /sys/block");
    for (char c : names)
        devices += c == '\n';

    const std::string view = run_capture("env -i " + script);
    expect_view_structure(view, devices);
    EXPECT_EQ(view.rfind("hostname=", 0), 0u) << view;
    EXPECT_NE(view.find("block_devices=" + std::to_string(devices) + "\n"), std::string::npos);
    EXPECT_EQ(run_capture("env -i " + script), view)
        << "an unchanged host must give an unchanged view";
}

// A mount namespace where /sys is private. Not all of them: only a mount point takes a
// propagation change, and a chroot's / need not be one.
const std::string private_sys = "unshare -m --propagation unchanged sh -c ";

TEST(RigHostinfoScript, FakeBlockDevices) {
    // A private tmpfs over /sys/block stands for hosts with other disks.
    const std::string setup =
        "mount --make-rprivate /sys || exit 1;"
        "mount -t tmpfs none /sys/block || exit 1; cd /sys/block || exit 1;"
        "mkdir -p sda/device sda/queue sda/sda1 sdb;"
        "echo 2048 > sda/size; echo 'VIRTUAL DEVICE1   ' > sda/device/model;"
        "echo Quarnix > sda/device/vendor; echo 512 > sda/queue/logical_block_size;"
        "echo 1 > sda/sda1/partition; echo 8 > sdb/size;";
    const std::string view = run_capture(private_sys + "\"" + setup + " /bin/sh " + script + "\"");
    expect_view_structure(view, 2);
    for (const char* line :
         {"DEVICE0 name=sda\n", "DEVICE0 size_sectors=2048\n", "DEVICE0 model=VIRTUAL Device1\n",
          "DEVICE0 vendor=Quarnix\n", "DEVICE0 logical_block_size=512\n", "DEVICE0 partitions=1\n",
          "DEVICE1 name=sdb\n", "DEVICE1 size_sectors=8\n", "DEVICE1 partitions=0\n",
          "block_devices=2\n"})
        EXPECT_NE(view.find(line), std::string::npos) << line << " in\n" << view;

    // No block device at all: the head alone, never an empty view.
    const std::string empty = run_capture(
        private_sys + "'mount --make-rprivate /sys && mount -t tmpfs none /sys/block && /bin/sh " +
        script + "'");
    expect_view_structure(empty, 0);
    EXPECT_NE(empty.find("block_devices=0\n"), std::string::npos) << empty;
}

}  // namespace
