// tolva-sim: the array simulator as a program, for the demo and for use from a shell.
//
//   tolva-sim --socket PATH --nodes DIR [--state DIR] [--config FILE]
//
// Writes the node files into DIR, prints "ready" once it serves, and serves until SIGTERM
// or SIGINT. The configuration format is described at the top of sim/demo.conf.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace {

struct options {
    std::string socket;
    std::string nodes;
    std::string state;
    std::string config;
};

struct config_error {
    std::string text;
};

void usage() {
    std::fprintf(stderr,
                 "usage: tolva-sim --socket PATH --nodes DIR [--state DIR] [--config FILE]\n");
}

bool parse_number(const std::string& text, long low, long high, long& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool parse_kind(const std::string& text, sim::command_kind& out) {
    static const std::pair<const char*, sim::command_kind> names[] = {
        {"inquiry", sim::command_kind::inquiry},
        {"send", sim::command_kind::hostinfo_send},
        {"receive", sim::command_kind::hostinfo_receive},
        {"other", sim::command_kind::other},
        {"any", sim::command_kind::any},
    };
    for (const auto& [name, kind] : names) {
        if (text == name) {
            out = kind;
            return true;
        }
    }
    return false;
}

bool parse_fault_kind(const std::string& text, sim::fault_kind& out) {
    static const std::pair<const char*, sim::fault_kind> names[] = {
        {"ioctl_error", sim::fault_kind::ioctl_error},
        {"check_condition", sim::fault_kind::check_condition},
        {"busy", sim::fault_kind::busy},
        {"good_no_data", sim::fault_kind::good_no_data},
        {"delay", sim::fault_kind::delay},
        {"vanish", sim::fault_kind::vanish},
    };
    for (const auto& [name, kind] : names) {
        if (text == name) {
            out = kind;
            return true;
        }
    }
    return false;
}

// Splits "key=value"; false when there is no "=".
bool split_setting(const std::string& word, std::string& key, std::string& value) {
    const auto at = word.find('=');
    if (at == std::string::npos)
        return false;
    key = word.substr(0, at);
    value = word.substr(at + 1);
    return true;
}

std::string parse_enclosure(const std::vector<std::string>& words, sim::simulator& sim) {
    if (words.size() < 2)
        return "enclosure needs a node name";
    sim::enclosure_config config;
    config.node = words[1];
    if (config.node.empty() || config.node.find('/') != std::string::npos) {
        return "bad node name \"" + config.node + "\"";
    }
    for (std::size_t i = 2; i < words.size(); ++i) {
        std::string key;
        std::string value;
        long number = 0;
        if (!split_setting(words[i], key, value))
            return "expected key=value: " + words[i];
        if (key == "array") {
            config.array = value;
        } else if (key == "serial") {
            config.identity.set_serial(value);
        } else if (key == "vendor") {
            config.identity.set_vendor(value);
        } else if (key == "peripheral" && parse_number(value, 0, 255, number)) {
            config.identity.peripheral = static_cast<std::uint8_t>(number);
        } else if (key == "encserv" && parse_number(value, 0, 1, number)) {
            config.identity.encserv = number == 1;
        } else if (key == "addlen" && parse_number(value, 0, 255, number)) {
            config.identity.additional_length = static_cast<std::uint8_t>(number);
        } else {
            return "bad setting " + words[i];
        }
    }
    if (config.array.empty() || config.array.find('/') != std::string::npos) {
        return "enclosure " + config.node + " needs array=NAME (no '/')";
    }
    sim.add_enclosure(config);
    return "";
}

std::string parse_fault(const std::vector<std::string>& words, sim::simulator& sim,
                        const std::vector<std::string>& known) {
    if (words.size() < 3)
        return "fault needs a node and a kind";
    bool found = false;
    for (const auto& n : known)
        found = found || n == words[1];
    if (!found)
        return "fault for unknown enclosure " + words[1];
    sim::fault f{};
    if (!parse_fault_kind(words[2], f.kind))
        return "unknown fault kind " + words[2];
    for (std::size_t i = 3; i < words.size(); ++i) {
        std::string key;
        std::string value;
        long number = 0;
        if (!split_setting(words[i], key, value))
            return "expected key=value: " + words[i];
        if (key == "on" && parse_kind(value, f.on)) {
            continue;
        } else if (key == "count" && value == "all") {
            f.count = -1;
        } else if (key == "count" && parse_number(value, 1, 1000000, number)) {
            f.count = static_cast<int>(number);
        } else if (key == "delay" && parse_number(value, 0, 3600000, number)) {
            f.delay = std::chrono::milliseconds(number);
        } else {
            return "bad setting " + words[i];
        }
    }
    sim.inject(words[1], f);
    return "";
}

// Reads the configuration; false (after a message on stderr) on any error.
bool read_config(const std::string& path, sim::simulator& sim) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "tolva-sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<std::string> nodes;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream split(line);
        std::vector<std::string> words;
        for (std::string w; split >> w;)
            words.push_back(w);
        if (words.empty())
            continue;
        std::string error;
        if (words[0] == "enclosure") {
            error = parse_enclosure(words, sim);
            if (error.empty())
                nodes.push_back(words[1]);
        } else if (words[0] == "fault") {
            error = parse_fault(words, sim, nodes);
        } else {
            error = "unknown line kind " + words[0];
        }
        if (!error.empty()) {
            std::fprintf(stderr, "tolva-sim: %s:%d: %s\n", path.c_str(), number, error.c_str());
            return false;
        }
    }
    return true;
}

bool parse_options(int argc, char** argv, options& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (name == "--socket") {
            out.socket = value;
        } else if (name == "--nodes") {
            out.nodes = value;
        } else if (name == "--state") {
            out.state = value;
        } else if (name == "--config") {
            out.config = value;
        } else {
            return false;
        }
    }
    return !out.socket.empty() && !out.nodes.empty();
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    if (!parse_options(argc, argv, opts)) {
        usage();
        return 2;
    }
    // The server thread must not take the signals: sigwait below collects them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::simulator sim(opts.socket);
    if (!opts.config.empty() && !read_config(opts.config, sim))
        return 1;
    if (!opts.state.empty())
        sim.set_state_directory(opts.state);
    sim.write_nodes(opts.nodes);
    if (!sim.start()) {
        std::fprintf(stderr, "tolva-sim: cannot serve %s: %s\n", opts.socket.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stop_signals, &received) != 0) {
    }
    sim.stop();
    return 0;
}
