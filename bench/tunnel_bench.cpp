// The tunnel's relay against direct loopback TCP: 64 MiB through the tunnel to the simulated
// array's echo service and back, against the same to an echo server directly; and the round
// trip of one small request through the tunnel to a relayed server, against the same
// request sent to that server directly, one after another so that the receive thread polls
// at its fastest. The tunnel is tolva-tunnel in a sandbox with a stand-in cycle that only
// waits; everything runs in a network of its own. Run as root.
//
// Each repetition measures both sides; the counters give the ratios, with min, median and
// max over the repetitions.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/support/network.h"
#include "tests/support/rig.h"
#include "tests/support/tcp.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::uint16_t ECHO_PORT = 7001, RELAY_PORT = 7002;
constexpr std::size_t BULK = 64u << 20;
constexpr std::size_t REQUEST = 64;
constexpr int ROUND_TRIPS = 50;
constexpr double POLL_INTERVAL_SECONDS = 0.030;  // the receive thread's fastest poll

struct bench_rig {
    std::unique_ptr<rig::sandbox> box;
    std::unique_ptr<rig::echo_server> server;
    pid_t tunnel = -1;
};
bench_rig* setup = nullptr;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Seconds for `data` to go to the echo behind `port` and back; negative when it did not
// come back whole.
double echo_seconds(std::uint16_t port, const std::string& data) {
    rig::socket_fd s = rig::connect_to(port);
    const auto start = clock_type::now();
    const std::string back = rig::exchange(s.get(), data, std::chrono::minutes(5));
    const double took = seconds_since(start);
    return back == data ? took : -1;
}

// Median seconds of one small round trip on one connection.
double round_trip_seconds(std::uint16_t port) {
    rig::socket_fd s = rig::connect_to(port);
    const std::string request(REQUEST, 'r');
    std::vector<double> times;
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        const auto start = clock_type::now();
        if (!rig::send_all(s.get(), request) || rig::receive(s.get(), REQUEST) != request)
            return -1;
        times.push_back(seconds_since(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void relay_throughput(benchmark::State& state) {
    const std::string data = rig::random_bytes(BULK, 7);
    for (auto _ : state) {
        const double direct = echo_seconds(setup->server->port(), data);
        const double tunnel = echo_seconds(ECHO_PORT, data);
        setup->box->array().clear_journal();  // it keeps every payload
        if (direct <= 0 || tunnel <= 0) {
            state.SkipWithError("the data did not come back whole");
            return;
        }
        state.SetIterationTime(tunnel);
        const double mib = static_cast<double>(BULK) / (1 << 20);
        state.counters["direct_MiB/s"] = mib / direct;
        state.counters["tunnel_MiB/s"] = mib / tunnel;
        state.counters["throughput_ratio"] = direct / tunnel;  // goal: 0.25 or more
    }
}

void round_trip(benchmark::State& state) {
    for (auto _ : state) {
        const double direct = round_trip_seconds(setup->server->port());
        const double tunnel = round_trip_seconds(RELAY_PORT);
        setup->box->array().clear_journal();
        if (direct <= 0 || tunnel <= 0) {
            state.SkipWithError("a request did not come back");
            return;
        }
        state.SetIterationTime(tunnel);
        state.counters["direct_ms"] = direct * 1e3;
        state.counters["tunnel_ms"] = tunnel * 1e3;
        state.counters["rtt_ratio"] = tunnel / direct;
        // Against the goal of 2x direct plus one poll interval: under 1.
        state.counters["rtt_to_goal"] = tunnel / (2 * direct + POLL_INTERVAL_SECONDS);
    }
}

double smallest(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}
double largest(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

// Both measure one transfer per repetition and report min, median and max.
void per_repetition(benchmark::internal::Benchmark* b) {
    b->Iterations(1)
        ->Repetitions(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->ComputeStatistics("min", smallest)
        ->ComputeStatistics("max", largest)
        ->ReportAggregatesOnly(true);
}
BENCHMARK(relay_throughput)->Apply(per_repetition);
BENCHMARK(round_trip)->Apply(per_repetition);

bool start_tunnel(bench_rig& r) {
    r.box = std::make_unique<rig::sandbox>();
    r.server = std::make_unique<rig::echo_server>();
    r.box->add_enclosure("sg0", "A", "000000SN0001");
    sim::simulator& array = r.box->array();
    sim::tunnel_settings settings;
    settings.keepalive_period = std::chrono::seconds(1);
    array.set_tunnel("sg0", settings);
    array.add_service("A", "echo", {sim::service_kind::echo, "", "", 0});
    array.add_service("A", "relay", {sim::service_kind::relay, "", "127.0.0.1", r.server->port()});
    r.tunnel =
        r.box->spawn({rig::tunnel_binary(), "-c", "wait:36000", "7001:5:echo", "7002:5:relay"});
    return rig::sandbox::eventually(
        [&] { return r.box->log().find("Listening on port 7002") != std::string::npos; });
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread: the network reaches the threads and processes started later.
    std::string problem;
    if (!rig::own_network(problem)) {
        std::fprintf(stderr, "tunnel_bench: %s (run as root)\n", problem.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    bench_rig r;
    if (!start_tunnel(r)) {
        std::fprintf(stderr, "tunnel_bench: the tunnel did not start\n");
        return 1;
    }
    setup = &r;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::kill(-r.tunnel, SIGKILL);
    r.box->wait(r.tunnel);
    return 0;
}
