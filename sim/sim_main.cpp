// tolva-sim: the array simulator as a program, for the demo and for use from a shell.
//
//   tolva-sim --socket PATH --nodes DIR [--state DIR] [--config FILE]
//
// Writes the node files into DIR, prints "ready" once it serves, and serves until SIGTERM
// or SIGINT. The configuration format is described at the top of sim/demo.conf.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/config.h"
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
    std::string problem;
    if (!opts.config.empty() && !sim::load_config(opts.config, sim, problem)) {
        std::fprintf(stderr, "tolva-sim: %s\n", problem.c_str());
        return 1;
    }
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
