// tolva-tcmu: the array simulator behind the real sg driver. It serves the TCMU command ring
// of every enclosure of the configuration; each command goes through the simulator exactly
// as with tolva-sim (faults, dispatch, journal).
//
//   tolva-tcmu --config FILE [--state DIR]
//
// Enclosure NODE is served through the TCMU backstore of the same name (configfs
// target/core/user_N/NODE, enabled before this program starts). Prints "ready" once every
// ring is mapped, and serves until SIGTERM or SIGINT.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/sim.h"
#include "sim/tcmu.h"
#include "sim/tcmu_layout.h"

namespace {

struct options {
    std::string config;
    std::string state;
};

void usage() {
    std::fprintf(stderr, "usage: tolva-tcmu --config FILE [--state DIR]\n");
}

bool parse_options(int argc, char** argv, options& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (name == "--config") {
            out.config = value;
        } else if (name == "--state") {
            out.state = value;
        } else {
            return false;
        }
    }
    return !out.config.empty();
}

// Faults that no device behind the real driver can produce; empty when there is none.
std::string unservable_fault(const sim::simulator& array) {
    for (const auto& name : array.enclosure_names()) {
        for (const sim::fault& f : array.faults(name)) {
            if (f.kind == sim::fault_kind::ioctl_error || f.kind == sim::fault_kind::vanish) {
                return "fault " +
                       std::string(f.kind == sim::fault_kind::ioctl_error ? "ioctl_error"
                                                                          : "vanish") +
                       " of " + name +
                       " cannot pass the real driver (a device can fail a command, not the "
                       "ioctl, and cannot remove its own node)";
            }
        }
    }
    return "";
}

std::string read_line(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

/// One enclosure's ring: its UIO device and the shared mapping.
struct ring {
    std::string enclosure;
    int fd = -1;
    std::uint8_t* map = nullptr;
    std::size_t size = 0;

    ring() = default;
    ring(const ring&) = delete;
    ring& operator=(const ring&) = delete;
    ~ring() {
        if (map != nullptr)
            munmap(map, size);
        if (fd >= 0)
            close(fd);
    }
};

// The UIO device whose name is "tcm-user/HBA/NAME/CONFIG"; empty when there is none.
std::string uio_of(const std::string& name) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/uio", ec)) {
        const std::string uio_name = read_line(entry.path() / "name");
        std::vector<std::string> parts;
        std::stringstream split(uio_name);
        for (std::string part; std::getline(split, part, '/');)
            parts.push_back(part);
        if (parts.size() >= 3 && parts[0] == "tcm-user" && parts[2] == name)
            return entry.path().filename().string();
    }
    return "";
}

bool open_ring(const std::string& enclosure, ring& r, std::string& problem) {
    r.enclosure = enclosure;
    const std::string uio = uio_of(enclosure);
    if (uio.empty()) {
        problem =
            "no TCMU backstore named " + enclosure + " (is user_N/" + enclosure + " enabled?)";
        return false;
    }
    const std::string size_text = read_line("/sys/class/uio/" + uio + "/maps/map0/size");
    r.size = static_cast<std::size_t>(std::strtoull(size_text.c_str(), nullptr, 0));
    r.fd = open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
    if (r.fd < 0 || r.size == 0) {
        problem = "cannot open /dev/" + uio + ": " + std::strerror(errno);
        return false;
    }
    void* map = mmap(nullptr, r.size, PROT_READ | PROT_WRITE, MAP_SHARED, r.fd, 0);
    if (map == MAP_FAILED) {
        problem = "cannot map /dev/" + uio + ": " + std::strerror(errno);
        return false;
    }
    r.map = static_cast<std::uint8_t*>(map);
    std::uint16_t version = 0;
    std::uint16_t flags = 0;
    std::memcpy(&version, r.map + TOLVA_TCMU_MB_VERSION, sizeof version);
    std::memcpy(&flags, r.map + TOLVA_TCMU_MB_FLAGS, sizeof flags);
    if (version != TOLVA_TCMU_MAILBOX_VERSION || !(flags & TOLVA_TCMU_CAP_READ_LEN)) {
        problem = "/dev/" + uio + ": mailbox version " + std::to_string(version) +
                  " without read lengths; short answers could not be told";
        return false;
    }
    return true;
}

// Answers what waits in the ring and tells the kernel; false when the ring is malformed.
bool serve(ring& r, sim::simulator& array) {
    const sim::tcmu::handler answer = [&](const std::vector<std::uint8_t>& cdb,
                                          unsigned data_length,
                                          const std::vector<std::uint8_t>& data_out) {
        const sim::command c = sim::tcmu::to_command(r.enclosure, cdb, data_length, data_out);
        const sim::answer a = array.execute(c);
        if (a.entry.ioctl_result != 0) {
            std::fprintf(stderr,
                         "tolva-tcmu: %s: an ioctl error cannot pass the real driver; answered "
                         "CHECK CONDITION, HARDWARE ERROR\n",
                         r.enclosure.c_str());
        }
        return sim::tcmu::to_reply(a, c.dxfer_direction, data_length);
    };
    const int answered = sim::tcmu::serve_ring(r.map, r.size, answer);
    if (answered < 0) {
        std::fprintf(stderr, "tolva-tcmu: %s: malformed command ring\n", r.enclosure.c_str());
        return false;
    }
    if (answered > 0) {
        const std::uint32_t kick = 0;
        if (write(r.fd, &kick, sizeof kick) != sizeof kick) {
            std::fprintf(stderr, "tolva-tcmu: %s: cannot tell the kernel: %s\n",
                         r.enclosure.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    if (!parse_options(argc, argv, opts)) {
        usage();
        return 2;
    }
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);

    std::string problem;
    sim::simulator array("");
    if (!sim::load_config(opts.config, array, problem)) {
        std::fprintf(stderr, "tolva-tcmu: %s\n", problem.c_str());
        return 1;
    }
    if (problem = unservable_fault(array); !problem.empty()) {
        std::fprintf(stderr, "tolva-tcmu: %s: %s\n", opts.config.c_str(), problem.c_str());
        return 1;
    }
    const std::vector<std::string> names = array.enclosure_names();
    if (names.empty()) {
        std::fprintf(stderr, "tolva-tcmu: %s names no enclosure\n", opts.config.c_str());
        return 1;
    }
    if (!opts.state.empty())
        array.set_state_directory(opts.state);

    std::vector<std::unique_ptr<ring>> rings;
    for (const auto& name : names) {
        rings.push_back(std::make_unique<ring>());
        if (!open_ring(name, *rings.back(), problem)) {
            std::fprintf(stderr, "tolva-tcmu: %s\n", problem.c_str());
            return 1;
        }
    }
    // Commands the kernel queued before we mapped the rings.
    for (auto& r : rings) {
        if (!serve(*r, array))
            return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<pollfd> fds;
    for (const auto& r : rings)
        fds.push_back({r->fd, POLLIN, 0});
    fds.push_back({stop_fd, POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "tolva-tcmu: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (fds.back().revents & POLLIN)
            return 0;
        for (std::size_t i = 0; i < rings.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            std::uint32_t events = 0;
            if (read(fds[i].fd, &events, sizeof events) < 0 && errno != EINTR) {
                std::fprintf(stderr, "tolva-tcmu: %s: %s\n", rings[i]->enclosure.c_str(),
                             std::strerror(errno));
                return 1;
            }
            if (!serve(*rings[i], array))
                return 1;
        }
    }
}
