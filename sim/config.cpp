#include "sim/config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace sim {

namespace {

bool parse_number(const std::string& text, long long low, long long high, long long& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value < low || value > high)
        return false;
    out = value;
    return true;
}

// Looks `text` up in a table of names; false, `out` untouched, when it is not there.
template <class Value, std::size_t N>
bool by_name(const std::pair<const char*, Value> (&names)[N], const std::string& text, Value& out) {
    for (const auto& [name, value] : names) {
        if (text == name) {
            out = value;
            return true;
        }
    }
    return false;
}

bool parse_kind(const std::string& text, command_kind& out) {
    static const std::pair<const char*, command_kind> names[] = {
        {"inquiry", command_kind::inquiry},
        {"send", command_kind::hostinfo_send},
        {"receive", command_kind::hostinfo_receive},
        {"frame_send", command_kind::frame_send},
        {"frame_receive", command_kind::frame_receive},
        {"cookie_request", command_kind::cookie_request},
        {"other", command_kind::other},
        {"any", command_kind::any},
    };
    return by_name(names, text, out);
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
    return by_name(names, text, out);
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

bool known(const std::vector<std::string>& names, const std::string& name) {
    for (const auto& n : names) {
        if (n == name)
            return true;
    }
    return false;
}

// "count=N|all" of faults and cookie rules.
bool parse_count(const std::string& key, const std::string& value, int& out) {
    long long number = 0;
    if (key != "count")
        return false;
    if (value == "all") {
        out = -1;
        return true;
    }
    if (!parse_number(value, 1, 1000000, number))
        return false;
    out = static_cast<int>(number);
    return true;
}

std::string parse_enclosure(const std::vector<std::string>& words, simulator& sim,
                            std::string& array) {
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
        long long number = 0;
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
    array = config.array;
    return "";
}

std::string parse_fault(const std::vector<std::string>& words, simulator& sim,
                        const std::vector<std::string>& nodes) {
    if (words.size() < 3)
        return "fault needs a node and a kind";
    if (!known(nodes, words[1]))
        return "fault for unknown enclosure " + words[1];
    fault f{};
    if (!parse_fault_kind(words[2], f.kind))
        return "unknown fault kind " + words[2];
    for (std::size_t i = 3; i < words.size(); ++i) {
        std::string key;
        std::string value;
        long long number = 0;
        if (!split_setting(words[i], key, value))
            return "expected key=value: " + words[i];
        if (key == "on" && parse_kind(value, f.on)) {
            continue;
        } else if (parse_count(key, value, f.count)) {
            continue;
        } else if (key == "delay" && parse_number(value, 0, 3600000, number)) {
            f.delay = std::chrono::milliseconds(number);
        } else {
            return "bad setting " + words[i];
        }
    }
    sim.inject(words[1], f);
    return "";
}

// A numeric IPv4 loopback address, a colon and a port.
bool parse_relay_target(const std::string& text, service& out) {
    const auto colon = text.rfind(':');
    long long port = 0;
    struct in_addr address {};
    if (colon == std::string::npos || !parse_number(text.substr(colon + 1), 1, 65535, port))
        return false;
    out.host = text.substr(0, colon);
    out.port = static_cast<std::uint16_t>(port);
    return inet_pton(AF_INET, out.host.c_str(), &address) == 1 &&
           (ntohl(address.s_addr) >> 24) == 127;
}

std::string parse_service(const std::vector<std::string>& words, simulator& sim,
                          const std::vector<std::string>& arrays) {
    if (words.size() < 4)
        return "service needs an array, a name and a kind";
    if (!known(arrays, words[1]))
        return "service for unknown array " + words[1];
    service s;
    const std::string& kind = words[3];
    if (kind == "echo" || kind == "sink" || kind == "refuse") {
        if (words.size() != 4)
            return kind + " takes nothing more";
        s.kind = kind == "echo"   ? service_kind::echo
                 : kind == "sink" ? service_kind::sink
                                  : service_kind::refuse;
    } else if (kind == "greet") {
        if (words.size() < 5)
            return "greet needs a text";
        s.kind = service_kind::greet;
        for (std::size_t i = 4; i < words.size(); ++i)
            s.text += (i > 4 ? " " : "") + words[i];
    } else if (kind == "relay") {
        s.kind = service_kind::relay;
        if (words.size() != 5 || !parse_relay_target(words[4], s))
            return "relay needs HOST:PORT with a numeric loopback address";
    } else {
        return "unknown service kind " + kind;
    }
    sim.add_service(words[1], words[2], s);
    return "";
}

std::string parse_cookie(const std::vector<std::string>& words, simulator& sim,
                         const std::vector<std::string>& nodes) {
    if (words.size() < 3)
        return "cookie needs a node and grant or refuse";
    if (!known(nodes, words[1]))
        return "cookie for unknown enclosure " + words[1];
    cookie_rule rule;
    if (words[2] != "grant" && words[2] != "refuse")
        return "cookie needs grant or refuse, not " + words[2];
    rule.grant = words[2] == "grant";
    for (std::size_t i = 3; i < words.size(); ++i) {
        std::string key;
        std::string value;
        long long number = 0;
        if (!split_setting(words[i], key, value))
            return "expected key=value: " + words[i];
        if (parse_count(key, value, rule.count)) {
            continue;
        } else if (rule.grant && key == "cookie" && parse_number(value, 0, 0xFFFE, number)) {
            rule.cookie = static_cast<std::uint16_t>(number);
        } else if (rule.grant && key == "sequence" && parse_number(value, 0, 0xFFFFFFFF, number)) {
            rule.sequence = static_cast<std::uint32_t>(number);
        } else if (rule.grant && key == "step" && parse_number(value, 0, 0xFFFE, number)) {
            rule.step = static_cast<std::uint16_t>(number);
        } else {
            return "bad setting " + words[i];
        }
    }
    sim.plan_cookies(words[1], rule);
    return "";
}

std::string parse_tunnel(const std::vector<std::string>& words, simulator& sim,
                         const std::vector<std::string>& nodes) {
    if (words.size() < 2)
        return "tunnel needs a node";
    if (!known(nodes, words[1]))
        return "tunnel for unknown enclosure " + words[1];
    tunnel_settings settings;
    bool silent = false;
    for (std::size_t i = 2; i < words.size(); ++i) {
        std::string key;
        std::string value;
        long long number = 0;
        if (!split_setting(words[i], key, value))
            return "expected key=value: " + words[i];
        if (key == "frame_size" && parse_number(value, 1, 65530, number)) {
            settings.frame_size = static_cast<std::uint16_t>(number);
        } else if (key == "keepalive_every" && parse_number(value, 0, 1000000, number)) {
            settings.keepalive_every = static_cast<unsigned>(number);
        } else if (key == "keepalive_ms" && parse_number(value, 0, 86400000, number)) {
            settings.keepalive_period = std::chrono::milliseconds(number);
        } else if (key == "silent" && parse_number(value, 0, 1, number)) {
            silent = number == 1;
        } else {
            return "bad setting " + words[i];
        }
    }
    sim.set_tunnel(words[1], settings);
    sim.set_silent(words[1], silent);
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
    std::vector<std::string> arrays;
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
            std::string array;
            error = parse_enclosure(words, sim, array);
            if (error.empty()) {
                nodes.push_back(words[1]);
                arrays.push_back(array);
            }
        } else if (words[0] == "fault") {
            error = parse_fault(words, sim, nodes);
        } else if (words[0] == "service") {
            error = parse_service(words, sim, arrays);
        } else if (words[0] == "cookie") {
            error = parse_cookie(words, sim, nodes);
        } else if (words[0] == "tunnel") {
            error = parse_tunnel(words, sim, nodes);
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
