#include "tests/support/rig.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace rig {

std::string tolvad_binary() {
    return TOLVA_TOLVAD_BINARY;
}
std::string tolvactl_binary() {
    return TOLVA_TOLVACTL_BINARY;
}
std::string sandbox_binary() {
    return TOLVA_SANDBOX_BINARY;
}

std::string tunnel_binary() {
    return TOLVA_TUNNEL_BINARY;
}
std::string layer_library() {
    return TOLVA_LAYER_LIBRARY;
}
bool layer_preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "tolva_sglayer") != nullptr;
}
std::string source_dir() {
    return TOLVA_SOURCE_DIR;
}

namespace {

// argv/envp arrays built before fork: the child of a threaded process may not allocate.
struct c_strings {
    explicit c_strings(const std::vector<std::string>& strings) : owned(strings) {
        for (auto& s : owned)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> owned;
    std::vector<char*> pointers;
};

std::string joined(const std::vector<std::string>& argv) {
    std::string out;
    for (const auto& a : argv)
        out += (out.empty() ? "" : " ") + a;
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
    if (chmod(path.c_str(), mode) != 0)
        ADD_FAILURE() << "cannot chmod " << path;
}

void sleep_ms(long ms) {
    struct timespec ts {
        ms / 1000, (ms % 1000) * 1000000L
    };
    nanosleep(&ts, nullptr);
}

// Runs a helper outside the sandbox and returns its wait status, or -1.
int run_outside(const std::vector<std::string>& argv) {
    c_strings args(argv);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execv(args.pointers[0], args.pointers.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    if (remove(path) != 0 && errno != ENOENT)
        return -1;
    return 0;
}

// FTW_MOUNT: a mount left over the tree is never walked into.
bool remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    return nftw(path.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0;
}

bool starts_with_dir(const std::string& path, const std::string& dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           path[dir.size()] == '/');
}

run_result decode(int status) {
    run_result r;
    if (WIFEXITED(status)) {
        r.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    return r;
}

}  // namespace

bool has_time_stamp(std::string_view line) {
    static constexpr std::string_view months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (line.size() < 21)
        return false;
    bool month_ok = false;
    for (auto m : months)
        month_ok = month_ok || line.substr(0, 3) == m;
    auto digit = [&](std::size_t i) { return line[i] >= '0' && line[i] <= '9'; };
    auto number = [&](std::size_t i) { return (line[i] - '0') * 10 + (line[i + 1] - '0'); };
    if (!month_ok || line[3] != ' ' || line[6] != ' ' || line[9] != ':' || line[12] != ':' ||
        line[15] != ' ' || line[20] != ' ')
        return false;
    for (std::size_t i : {5u, 7u, 8u, 10u, 11u, 13u, 14u, 16u, 17u, 18u, 19u})
        if (!digit(i))
            return false;
    // ctime pads the day with a blank, never with a zero
    if (line[4] != ' ' && (line[4] < '1' || line[4] > '3'))
        return false;
    const int day = (line[4] == ' ' ? 0 : line[4] - '0') * 10 + (line[5] - '0');
    return day >= 1 && day <= 31 && number(7) < 24 && number(10) < 60 && number(13) <= 60;
}

sandbox::sandbox() {
    char tmpl[] = "/tmp/tolva-rig-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    root_ = tmpl;
    int status = run_outside({sandbox_binary(), "init", root_, "--tolvad", tolvad_binary(),
                              "--tolvactl", tolvactl_binary(), "--layer", layer_library()});
    if (status != 0)
        ADD_FAILURE() << "tolva-sandbox init " << root_ << " failed (" << status << ")";
    mkdir((root_ + "/.rig").c_str(), 0700);
    sim_ = std::make_unique<sim::simulator>(root_ + "/sim.sock");
    if (!sim_->start())
        ADD_FAILURE() << "the simulator cannot serve " << root_ << "/sim.sock";
}

sandbox::~sandbox() {
    if (root_.empty())
        return;
    int status = run_outside({sandbox_binary(), "stop", root_});
    if (status != 0)
        ADD_FAILURE() << "tolva-sandbox stop " << root_ << " failed (" << status << ")";
    for (pid_t pid : spawned_) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (sim_)
        sim_->stop();
    sim_.reset();
    if (!remove_tree(root_))
        ADD_FAILURE() << "cannot remove " << root_ << ": " << std::strerror(errno);
}

void sandbox::add_enclosure(const std::string& node, const std::string& array_name,
                            const std::string& serial_field, const std::string& vendor) {
    sim::enclosure_config config;
    config.node = node;
    config.array = array_name;
    config.identity.set_serial(serial_field);
    config.identity.set_vendor(vendor);
    add_enclosure(config);
}

void sandbox::add_enclosure(const sim::enclosure_config& config) {
    sim_->add_enclosure(config);
    // Only this node: rewriting all would bring back nodes that a test removed.
    sim_->write_node(dev_dir(), config.node);
}

std::string sandbox::dev_dir() const {
    return root_ + "/dev";
}
std::string sandbox::config_file() const {
    return root_ + "/conf/tolvad.conf";
}
std::string sandbox::log_dir() const {
    return root_ + "/log";
}
std::string sandbox::log_file() const {
    return log_dir() + "/tolvad.log";
}
std::string sandbox::pid_file() const {
    return root_ + "/run/tolvad.pid";
}
std::string sandbox::script_file() const {
    return root_ + "/zyr/zyr_hostinfo";
}

void sandbox::set_script(const std::string& body) {
    write_file(script_file(), "#!/bin/sh\n" + body, 0755);
}

void sandbox::set_script_output(const std::string& bytes) {
    write_file(root_ + "/zyr/view.bin", bytes, 0644);
    set_script("exec cat /usr/share/zyr/view.bin\n");
}

void sandbox::set_config(const std::string& content) {
    write_file(config_file(), content, 0644);
}

void sandbox::remove_log_dir() {
    // tolva-sandbox hides the folder inside when its source is gone.
    if (!remove_tree(log_dir()))
        ADD_FAILURE() << "cannot remove " << log_dir();
}

std::string sandbox::outside(const std::string& inside_path) const {
    std::string path = inside_path;
    while (path.size() > 1 && path[0] == '/' && path[1] == '/')
        path.erase(0, 1);
    if (starts_with_dir(path, "/var/run"))
        return root_ + "/run" + path.substr(8);
    static const struct {
        const char* inside;
        const char* folder;
    } bound[] = {{"/etc/qelvo/caldrix", "/conf"},
                 {"/var/log/qelvo/caldrix", "/log"},
                 {"/usr/share/zyr", "/zyr"}};
    for (const auto& b : bound) {
        if (starts_with_dir(path, b.inside))
            return root_ + b.folder + path.substr(std::strlen(b.inside));
    }
    for (const char* dir : {"/dev", "/run", "/etc", "/var", "/usr"}) {
        if (starts_with_dir(path, dir))
            return root_ + path;
    }
    return path;
}

std::string sandbox::read(const std::string& inside_path) const {
    return read_file(outside(inside_path));
}

bool sandbox::exists(const std::string& inside_path) const {
    struct stat st {};
    return lstat(outside(inside_path).c_str(), &st) == 0;
}

std::string sandbox::log() const {
    return read_file(log_file());
}

std::vector<std::string> sandbox::log_messages() const {
    std::vector<std::string> messages;
    const std::string text = log();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        messages.push_back(has_time_stamp(line) ? line.substr(21) : line);
        start = end + 1;
    }
    return messages;
}

pid_t sandbox::spawn(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env) {
    std::vector<std::string> args = {sandbox_binary(), "run", root_, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::size_t eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : env)
        merged[key] = value;
    std::vector<std::string> envp;
    for (const auto& [key, value] : merged)
        envp.push_back(key + "=" + value);
    c_strings c_args(args), c_env(envp);

    const int n = next_output_++;
    output_files files{root_ + "/.rig/" + std::to_string(n) + ".out",
                       root_ + "/.rig/" + std::to_string(n) + ".err", joined(argv)};
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(files.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(files.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = (in < 0 || out < 0 || err < 0) ? -1 : fork();
    if (pid == 0) {
        // Own group: a program that signals its group must not reach the test.
        setpgid(0, 0);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        execve(c_args.pointers[0], c_args.pointers.data(), c_env.pointers.data());
        _exit(127);
    }
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << files.command << ": " << std::strerror(errno);
        return -1;
    }
    setpgid(pid, pid);  // either side may win the race; both set the same group
    spawned_.push_back(pid);
    outputs_[pid] = files;
    return pid;
}

run_result sandbox::wait(pid_t pid, std::chrono::seconds timeout) {
    auto it = outputs_.find(pid);
    if (it == outputs_.end()) {
        ADD_FAILURE() << "wait for a process that was not spawned: " << pid;
        return {};
    }
    const output_files files = it->second;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    long step = 1;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        sleep_ms(step);
        step = std::min(step * 2, 20L);
    }
    if (done == 0) {
        kill(-pid, SIGKILL);
        done = waitpid(pid, &status, 0);
        ADD_FAILURE() << "timed out after " << timeout.count() << " s: " << files.command;
    }
    run_result result = done == pid ? decode(status) : run_result{};
    result.out = read_file(files.out);
    result.err = read_file(files.err);
    outputs_.erase(pid);
    std::erase(spawned_, pid);
    return result;
}

run_result sandbox::run(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env,
                        std::chrono::seconds timeout) {
    pid_t pid = spawn(argv, env);
    if (pid < 0)
        return {};
    return wait(pid, timeout);
}

pid_t sandbox::daemon_pid() const {
    const std::string text = read_file(pid_file());
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || value <= 0 || (*end != '\0' && *end != '\n'))
        return -1;
    return static_cast<pid_t>(value);
}

}  // namespace rig
