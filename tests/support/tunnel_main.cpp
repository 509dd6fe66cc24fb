// tolva-tunnel: enters the port tunnel for tests and the demo (tolvad never does). Not
// installed.
//
//   tolva-tunnel [-a WHERE] [-c real|wait:SECONDS|zero] [-s FACTOR] PORT:BACKLOG:NAME...
//
// -a  where the access device is chosen (a directory or a pattern; "/dev/sg*" by default);
//     its two descriptors become the tunnel's.
// -c  the refresh/push cycle: the daemon's own on the devices of "//dev" (real, the
//     default), a stand-in that waits SECONDS through the cycle's wait function and returns
//     1 (wait:SECONDS), or one that returns 0 at once (zero).
// -s  the tunnel's clock runs FACTOR times as fast as the real one, so that its 6- and
//     30-second rules come sooner.
// The process ends with status 0 when run_tunnel returns; 2 for a usage error or no device.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "agent/common.h"
#include "agent/cycle.h"
#include "agent/devices.h"
#include "channel/chooser.h"
#include "ground/clock.h"
#include "tunnel/tunnel.h"

namespace {

constexpr int EXIT_USAGE = 2;

int stand_in_seconds = 0;
long clock_factor = 1;
std::time_t clock_base = 0;
std::chrono::steady_clock::time_point clock_start;

int waiting_cycle() {
    cycle_wait(stand_in_seconds);
    return 1;
}

int failing_cycle() {
    return 0;
}

std::time_t fast_clock() {
    const auto elapsed = std::chrono::steady_clock::now() - clock_start;
    const long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() * clock_factor;
    return clock_base + static_cast<std::time_t>(millis / 1000);
}

[[noreturn]] void usage() {
    std::fputs(
        "usage: tolva-tunnel [-a WHERE] [-c real|wait:SECONDS|zero] [-s FACTOR] "
        "PORT:BACKLOG:NAME...\n",
        stderr);
    std::exit(EXIT_USAGE);
}

bool parse_number(const std::string& text, long low, long high, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && value >= low && value <= high;
}

tunnel_port_setting parse_port(const std::string& word) {
    const std::size_t first = word.find(':');
    const std::size_t second = first == std::string::npos ? first : word.find(':', first + 1);
    long number = 0, backlog = 0;
    if (second == std::string::npos || !parse_number(word.substr(0, first), 1, 65535, number) ||
        !parse_number(word.substr(first + 1, second - first - 1), 0, 65535, backlog))
        usage();
    return {static_cast<std::uint16_t>(number), word.substr(second + 1), static_cast<int>(backlog)};
}

void choose_cycle(const std::string& choice) {
    long seconds = 0;
    if (choice == "real")
        tunnel_refresh_cycle = run_refresh_cycle;
    else if (choice == "zero")
        tunnel_refresh_cycle = failing_cycle;
    else if (choice.rfind("wait:", 0) == 0 && parse_number(choice.substr(5), 0, 1000000, seconds)) {
        stand_in_seconds = static_cast<int>(seconds);
        tunnel_refresh_cycle = waiting_cycle;
    } else
        usage();
}

}  // namespace

int main(int argc, char* argv[]) {
    setbuffer(stdout, nullptr, 0);
    std::signal(SIGPIPE, SIG_IGN);

    const char* where = "/dev/sg*";
    std::string cycle = "real";
    int option;
    while ((option = getopt(argc, argv, "a:c:s:")) != -1) {
        switch (option) {
            case 'a':
                where = optarg;
                break;
            case 'c':
                cycle = optarg;
                break;
            case 's':
                if (!parse_number(optarg, 1, 1000, clock_factor))
                    usage();
                break;
            default:
                usage();
        }
    }
    tunnel_setup setup;
    for (int i = optind; i < argc; ++i)
        setup.ports.push_back(parse_port(argv[i]));
    choose_cycle(cycle);

    // Replaced before any second thread exists.
    if (clock_factor != 1) {
        clock_base = std::time(nullptr);
        clock_start = std::chrono::steady_clock::now();
        clock_seconds = fast_clock;
    }
    int fds[2];
    if (choose_access_device(where, fds) == 0) {
        std::fprintf(stderr, "tolva-tunnel: no access device in %s\n", where);
        return EXIT_USAGE;
    }
    setup.send_fd = fds[0];
    setup.receive_fd = fds[1];
    if (cycle == "real") {
        (void)build_device_list(SCAN_DIRECTORY, device_list);
        open_listed_devices();
    }

    run_tunnel(setup);
    // The receive thread waits for the lock for good; nothing is torn down under it.
    std::fflush(nullptr);
    _exit(0);
}
