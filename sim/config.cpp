#include "sim/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace sim {

namespace {

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

bool parse_kind(const std::string& text, command_kind& out) {
    static const std::pair<const char*, command_kind> names[] = {
        {"inquiry", command_kind::inquiry},
        {"send", command_kind::hostinfo_send},
        {"receive", command_kind::hostinfo_receive},
        {"other", command_kind::other},
        {"any", command_kind::any},
    };
    for (const auto& [name, kind] : names) {
        if (text == name) {
            out = kind;
            return true;
        }
    }
    return false;
}

bool parse_fault_kind(const std::string& text, fault_kind& out) {
    static const std::pair<const char*, fault_kind> names[] = {
        {"ioctl_error", fault_kind::ioctl_error},
        {"check_condition", fault_kind::check_condition},
        {"busy", fault_kind::busy},
        {"good_no_data", fault_kind::good_no_data},
        {"delay", fault_kind::delay},
        {"vanish", fault_kind::vanish},
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

std::string parse_enclosure(const std::vector<std::string>& words, simulator& sim) {
    if (words.size() < 2)
        return "enclosure needs a node name";
    enclosure_config config;
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

std::string parse_fault(const std::vector<std::string>& words, simulator& sim,
                        const std::vector<std::string>& known) {
    if (words.size() < 3)
        return "fault needs a node and a kind";
    bool found = false;
    for (const auto& n : known)
        found = found || n == words[1];
    if (!found)
        return "fault for unknown enclosure " + words[1];
    fault f{};
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

}  // namespace

bool load_config(const std::string& path, simulator& sim, std::string& problem) {
    std::ifstream in(path);
    if (!in) {
        problem = "cannot read " + path + ": " + std::strerror(errno);
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
            problem = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

}  // namespace sim
