// The tunnel's relay against direct loopback TCP, and its fairness while one client uploads.
//
// - relay_throughput: 64 MiB to an echo and back, through the tunnel to the simulated
//   array's echo service and directly to an echo server of this program. The same client
//   drives both: it sends on a thread of its own while it reads, with TCP_NODELAY and 1 MiB
//   reads and writes, so that neither side waits on the client's own loop and the ratio
//   says what the tunnel costs.
// - round_trip: one small request at a time through the tunnel to a relayed server, against
//   the same request to that server directly, so that the receive thread polls at its
//   fastest.
// - fairness: four probe connections make 1 KiB round trips, one after another, through the
//   tunnel to the echo service: first with the tunnel idle, then while one more client
//   uploads without pause to the array's sink service for a bounded time. Each round trip
//   is bounded; a probe that stalls or is closed says so, as does a connection left idle
//   meanwhile, and what the tunnel logged comes after.
//
// The tunnel is tolva-tunnel in a sandbox with a stand-in cycle that only waits; everything
// runs on 127.0.0.1 in a network of its own. Run as root. Beside Google Benchmark's flags:
//
//   --upload_seconds=S   how long the fairness upload lasts (15 by default)
//   --idle_seconds=S     how long the idle probes run (3 by default)
//
// The machine's other work shows in every figure; compare runs made side by side.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "tests/support/network.h"
#include "tests/support/rig.h"
#include "tests/support/tcp.h"

namespace {

using clock_type = std::chrono::steady_clock;
using seconds_type = std::chrono::duration<double>;

constexpr std::uint16_t ECHO_PORT = 7001, RELAY_PORT = 7002, SINK_PORT = 7003;
constexpr std::size_t BULK = 64u << 20;
constexpr std::size_t CHUNK = 1u << 20;
constexpr seconds_type BULK_BOUND{120};
constexpr std::size_t REQUEST = 64;
constexpr int ROUND_TRIPS = 50;
constexpr double POLL_INTERVAL_SECONDS = 0.030;  // the receive thread's fastest poll
constexpr int PROBES = 4;
constexpr std::size_t PROBE_SIZE = 1024;
constexpr seconds_type PROBE_BOUND{30};
constexpr double WORST_GOAL_SECONDS = 1.0;
constexpr double MEDIAN_GOAL_FACTOR = 3.0;

struct options {
    double upload_seconds = 15;
    double idle_seconds = 3;
};
options settings;

// Figures gathered across the repetitions, printed after Google Benchmark's table.
struct summary {
    std::vector<double> direct_mib, tunnel_mib;
    std::vector<std::string> fairness;
};
summary report;

struct bench_rig {
    std::unique_ptr<rig::sandbox> box;
    std::unique_ptr<rig::echo_server> server;
    pid_t tunnel = -1;
};
bench_rig* setup = nullptr;

double seconds_since(clock_type::time_point start) {
    return seconds_type(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double smallest(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double largest(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Small writes go out at once. The kernel's own buffer tuning is left on: SO_SNDBUF and
// SO_RCVBUF would turn it off and cap the buffers far below what it reaches on loopback.
void no_delay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A non-blocking connection to 127.0.0.1:`port`; -1 inside when it failed.
rig::socket_fd connect_loopback(std::uint16_t port) {
    rig::socket_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = rig::loopback(port);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return rig::socket_fd();
    no_delay(s.get());
    ::fcntl(s.get(), F_SETFL, O_NONBLOCK);
    return s;
}

// Waits for `events` until `end`, in slices so that `stop` is seen; the events that came.
short wait_until(int fd, short events, clock_type::time_point end,
                 const std::atomic<bool>* stop = nullptr) {
    while (clock_type::now() < end && !(stop && stop->load())) {
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, 100) > 0)
            return p.revents;
    }
    return 0;
}

enum class outcome { done, stalled, closed, garbled };

const char* outcome_name(outcome o) {
    switch (o) {
        case outcome::done:
            return "done";
        case outcome::stalled:
            return "stalled";
        case outcome::closed:
            return "closed";
        case outcome::garbled:
            return "garbled";
    }
    return "?";
}

// Sends every byte of `data` on a non-blocking socket before `end`.
outcome send_until(int fd, std::string_view data, clock_type::time_point end,
                   const std::atomic<bool>* stop = nullptr) {
    for (std::size_t at = 0; at < data.size();) {
        const ssize_t n =
            ::send(fd, data.data() + at, std::min(data.size() - at, CHUNK), MSG_NOSIGNAL);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return outcome::closed;
        if (wait_until(fd, POLLOUT, end, stop) == 0)
            return outcome::stalled;
    }
    return outcome::done;
}

// Reads until `expected` came back whole before `end`.
outcome receive_until(int fd, std::string_view expected, clock_type::time_point end) {
    static thread_local std::vector<char> buffer(CHUNK);
    for (std::size_t got = 0; got < expected.size();) {
        const ssize_t n =
            ::recv(fd, buffer.data(), std::min(buffer.size(), expected.size() - got), 0);
        if (n > 0) {
            if (std::memcmp(buffer.data(), expected.data() + got, static_cast<std::size_t>(n)) != 0)
                return outcome::garbled;
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return outcome::closed;
        if (wait_until(fd, POLLIN, end) == 0)
            return outcome::stalled;
    }
    return outcome::done;
}

// Seconds for `data` to go to the echo behind `port` and come back whole, the sending on a
// thread of its own so that neither direction waits for the other; nothing when it did not.
std::optional<double> bulk_echo(std::uint16_t port, const std::string& data) {
    rig::socket_fd s = connect_loopback(port);
    if (s.get() < 0)
        return std::nullopt;
    const auto start = clock_type::now();
    const auto end = start + std::chrono::duration_cast<clock_type::duration>(BULK_BOUND);
    std::atomic<bool> stop{false};
    std::thread sender([&] { send_until(s.get(), data, end, &stop); });
    const outcome back = receive_until(s.get(), data, end);
    const double took = seconds_since(start);
    stop.store(true);
    sender.join();
    if (back != outcome::done)
        return std::nullopt;
    return took;
}

void relay_throughput(benchmark::State& state) {
    const std::string data = rig::random_bytes(BULK, 7);
    for (auto _ : state) {
        const std::optional<double> direct = bulk_echo(setup->server->port(), data);
        const std::optional<double> tunnel = bulk_echo(ECHO_PORT, data);
        setup->box->array().clear_journal();  // it keeps every payload
        if (!direct || !tunnel) {
            state.SkipWithError("the data did not come back whole");
            return;
        }
        state.SetIterationTime(*tunnel);
        const double mib = static_cast<double>(BULK) / (1 << 20);
        state.counters["direct_MiB/s"] = mib / *direct;
        state.counters["tunnel_MiB/s"] = mib / *tunnel;
        state.counters["tunnel_to_direct"] = *direct / *tunnel;  // goal: 0.25 or more
        report.direct_mib.push_back(mib / *direct);
        report.tunnel_mib.push_back(mib / *tunnel);
    }
}

// Median seconds of one small round trip on one connection; nothing when one failed.
std::optional<double> round_trip_seconds(std::uint16_t port) {
    rig::socket_fd s = connect_loopback(port);
    if (s.get() < 0)
        return std::nullopt;
    const std::string request(REQUEST, 'r');
    std::vector<double> times;
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        const auto start = clock_type::now();
        const auto end = start + std::chrono::seconds(20);
        if (send_until(s.get(), request, end) != outcome::done ||
            receive_until(s.get(), request, end) != outcome::done)
            return std::nullopt;
        times.push_back(seconds_since(start));
    }
    return median(times);
}

void round_trip(benchmark::State& state) {
    for (auto _ : state) {
        const std::optional<double> direct = round_trip_seconds(setup->server->port());
        const std::optional<double> tunnel = round_trip_seconds(RELAY_PORT);
        setup->box->array().clear_journal();
        if (!direct || !tunnel) {
            state.SkipWithError("a request did not come back");
            return;
        }
        state.SetIterationTime(*tunnel);
        state.counters["direct_ms"] = *direct * 1e3;
        state.counters["tunnel_ms"] = *tunnel * 1e3;
        state.counters["rtt_ratio"] = *tunnel / *direct;
        // Against the goal of 2x direct plus one poll interval: under 1.
        state.counters["rtt_to_goal"] = *tunnel / (2 * *direct + POLL_INTERVAL_SECONDS);
    }
}

// Round trips of the probes in one phase, and how the probes ended it.
struct phase_result {
    std::vector<double> seconds;
    int stalled = 0, closed = 0, garbled = 0;
    double failed_wait = 0;  // the longest a failed probe had waited on its last round trip
    std::vector<std::string> notes;

    // A failed probe's wait counts: its round trip took at least that long.
    double worst() const { return std::max(largest(seconds), failed_wait); }
    bool failed() const { return stalled + closed + garbled > 0; }
};

// One 1 KiB round trip after another on each probe, the first at once and the others while
// `running` holds, each bounded; a probe that fails stops there.
phase_result run_probes(std::vector<rig::socket_fd>& probes, const std::atomic<bool>& running) {
    std::vector<std::vector<double>> times(probes.size());
    std::vector<outcome> ends(probes.size(), outcome::done);
    std::vector<double> failed_after(probes.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        threads.emplace_back([&, i] {
            const std::string request = rig::random_bytes(PROBE_SIZE, static_cast<unsigned>(i));
            const int fd = probes[i].get();
            do {
                const auto start = clock_type::now();
                const auto end =
                    start + std::chrono::duration_cast<clock_type::duration>(PROBE_BOUND);
                outcome o = send_until(fd, request, end);
                if (o == outcome::done)
                    o = receive_until(fd, request, end);
                if (o != outcome::done) {
                    ends[i] = o;
                    failed_after[i] = seconds_since(start);
                    return;
                }
                times[i].push_back(seconds_since(start));
            } while (running.load());
        });
    }
    for (std::thread& t : threads)
        t.join();
    phase_result r;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        r.seconds.insert(r.seconds.end(), times[i].begin(), times[i].end());
        r.stalled += ends[i] == outcome::stalled;
        r.closed += ends[i] == outcome::closed;
        r.garbled += ends[i] == outcome::garbled;
        if (ends[i] != outcome::done) {
            r.failed_wait = std::max(r.failed_wait, failed_after[i]);
            char line[160];
            std::snprintf(line, sizeof line,
                          "probe %zu %s after %zu round trips (%.1f s into the last)", i,
                          outcome_name(ends[i]), times[i].size(), failed_after[i]);
            r.notes.push_back(line);
        }
    }
    return r;
}

// Probes for `seconds` with nothing else going on.
phase_result idle_phase(std::vector<rig::socket_fd>& probes, double seconds) {
    std::atomic<bool> running{true};
    std::thread timer([&] {
        std::this_thread::sleep_for(seconds_type(seconds));
        running.store(false);
    });
    phase_result r = run_probes(probes, running);
    timer.join();
    return r;
}

// Bytes one client sent to the sink without pause for `seconds`; it stops by itself.
struct upload_result {
    std::size_t bytes = 0;
    double seconds = 0;
    outcome end = outcome::done;
};

upload_result upload(std::atomic<bool>& running, double seconds) {
    upload_result r;
    rig::socket_fd s = connect_loopback(SINK_PORT);
    if (s.get() < 0) {
        r.end = outcome::closed;
        running.store(false);
        return r;
    }
    const std::string block = rig::random_bytes(CHUNK, 99);
    const auto start = clock_type::now();
    const auto end =
        start + std::chrono::duration_cast<clock_type::duration>(seconds_type(seconds));
    while (clock_type::now() < end) {
        const ssize_t n = ::send(s.get(), block.data(), block.size(), MSG_NOSIGNAL);
        if (n > 0) {
            r.bytes += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            r.end = outcome::closed;
            break;
        } else {
            wait_until(s.get(), POLLOUT, end);
        }
    }
    r.seconds = seconds_since(start);
    running.store(false);
    return r;
}

// The tunnel's log messages from the `skip`th on.
std::vector<std::string> log_since(std::size_t skip) {
    std::vector<std::string> all = setup->box->log_messages();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(skip, all.size())));
    std::erase_if(all, [](const std::string& m) { return m.empty(); });
    return all;
}

// True when the peer closed `fd` within `wait`.
bool closed_within(int fd, std::chrono::milliseconds wait) {
    char byte;
    const auto end = clock_type::now() + wait;
    for (;;) {
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
        if (wait_until(fd, POLLIN, end) == 0)
            return false;
    }
}

std::string figures(const char* name, const phase_result& r) {
    char median_text[40] = "      none";
    if (!r.seconds.empty())
        std::snprintf(median_text, sizeof median_text, "%8.1f ms", median(r.seconds) * 1e3);
    const bool at_least = r.failed_wait > largest(r.seconds);
    char line[240];
    std::snprintf(line, sizeof line,
                  "  %-13s median %s, worst %s%8.1f ms over %zu round trips finished; probes "
                  "stalled %d, closed %d, garbled %d",
                  name, median_text, at_least ? ">=" : "", r.worst() * 1e3, r.seconds.size(),
                  r.stalled, r.closed, r.garbled);
    return line;
}

void fairness(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<rig::socket_fd> probes;
        for (int i = 0; i < PROBES; ++i)
            probes.push_back(connect_loopback(ECHO_PORT));
        rig::socket_fd quiet = connect_loopback(ECHO_PORT);  // opened, then left alone
        if (std::any_of(probes.begin(), probes.end(), [](auto& p) { return p.get() < 0; }) ||
            quiet.get() < 0) {
            state.SkipWithError("a probe did not connect");
            return;
        }
        const std::size_t logged_before = setup->box->log_messages().size();

        // A first round trip each opens the connection at the array and wakes the poll.
        std::atomic<bool> once{false};
        const phase_result warm = run_probes(probes, once);
        const phase_result idle = idle_phase(probes, settings.idle_seconds);

        // The array keeps every payload in its journal: empty it while the upload runs.
        std::atomic<bool> uploading{true};
        std::thread janitor([&] {
            while (uploading.load()) {
                setup->box->array().clear_journal();
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        upload_result sent;
        std::thread uploader([&] { sent = upload(uploading, settings.upload_seconds); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the upload under way
        const phase_result busy = run_probes(probes, uploading);
        uploader.join();
        janitor.join();
        setup->box->array().clear_journal();
        const bool quiet_closed = closed_within(quiet.get(), std::chrono::seconds(2));
        const std::vector<std::string> logged = log_since(logged_before);

        state.SetIterationTime(sent.seconds);
        const double idle_median = median(idle.seconds);
        const double busy_median = median(busy.seconds), busy_worst = busy.worst();
        state.counters["idle_median_ms"] = idle_median * 1e3;
        state.counters["idle_worst_ms"] = idle.worst() * 1e3;
        state.counters["upload_median_ms"] = busy_median * 1e3;
        state.counters["upload_worst_ms"] = busy_worst * 1e3;
        state.counters["probes_failed"] = busy.stalled + busy.closed + busy.garbled;
        state.counters["upload_round_trips"] = static_cast<double>(busy.seconds.size());
        state.counters["upload_MiB/s"] =
            sent.seconds > 0 ? static_cast<double>(sent.bytes) / (1 << 20) / sent.seconds : 0;

        std::vector<std::string>& out = report.fairness;
        char line[240];
        std::snprintf(line, sizeof line,
                      "fairness: %d probes, %zu-byte round trips one after another, each "
                      "bounded to %.0f s",
                      PROBES, PROBE_SIZE, PROBE_BOUND.count());
        out.push_back(line);
        if (warm.failed())
            out.push_back(figures("first trip", warm));
        out.push_back(figures("tunnel idle", idle));
        out.push_back(figures("under upload", busy));
        for (const std::string& note : idle.notes)
            out.push_back("    idle: " + note);
        for (const std::string& note : busy.notes)
            out.push_back("    under upload: " + note);
        std::snprintf(line, sizeof line,
                      "  upload: %.1f MiB sent to the sink in %.1f s (%.1f MiB/s)%s",
                      static_cast<double>(sent.bytes) / (1 << 20), sent.seconds,
                      state.counters["upload_MiB/s"].value,
                      sent.end == outcome::closed ? ", then closed by the tunnel" : "");
        out.push_back(line);
        std::snprintf(line, sizeof line, "  a connection left idle meanwhile: %s",
                      quiet_closed ? "closed by the tunnel" : "still open");
        out.push_back(line);
        // e.g. "Went NN seconds without receiving anything, abandoning host cookie"
        for (const std::string& m : logged)
            out.push_back("  tunnel log: " + m);
        const bool worst_met =
            !busy.failed() && !busy.seconds.empty() && busy_worst < WORST_GOAL_SECONDS;
        const bool median_met = !busy.seconds.empty() && idle_median > 0 &&
                                busy_median < MEDIAN_GOAL_FACTOR * idle_median;
        char ratio[40] = "none finished";
        if (!busy.seconds.empty() && idle_median > 0)
            std::snprintf(ratio, sizeof ratio, "%.1fx", busy_median / idle_median);
        std::snprintf(line, sizeof line,
                      "  goal under upload: worst under %.0f s (%s), median under %.0fx idle "
                      "(%s: %s)",
                      WORST_GOAL_SECONDS, worst_met ? "met" : "missed", MEDIAN_GOAL_FACTOR, ratio,
                      median_met ? "met" : "missed");
        out.push_back(line);
        // Probes that stall under the upload are a result; with the tunnel idle, a fault.
        if (idle.seconds.empty())
            state.SkipWithError("no probe round trip finished with the tunnel idle");
    }
}

// Each measures one transfer per repetition and reports min, median and max.
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
BENCHMARK(fairness)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void print_summary() {
    if (!report.direct_mib.empty()) {
        const double direct = median(report.direct_mib), tunnel = median(report.tunnel_mib);
        std::printf(
            "\nthroughput: %zu MiB echoed, same client both sides (median of %zu)\n"
            "  direct loopback %8.1f MiB/s\n  tunnel          %8.1f MiB/s\n"
            "  tunnel/direct   %8.3f  (goal: 0.25 or more)\n",
            BULK >> 20, report.direct_mib.size(), direct, tunnel, direct > 0 ? tunnel / direct : 0);
    }
    if (!report.fairness.empty())
        std::printf("\n");
    for (const std::string& line : report.fairness)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Takes this program's own options out of argv; false on a bad value.
bool take_options(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        double* target = nullptr;
        std::string_view value;
        for (auto [name, field] : {std::pair{"--upload_seconds=", &settings.upload_seconds},
                                   std::pair{"--idle_seconds=", &settings.idle_seconds}}) {
            if (arg.starts_with(name)) {
                target = field;
                value = arg.substr(std::string_view(name).size());
            }
        }
        if (target == nullptr) {
            argv[kept++] = argv[i];
            continue;
        }
        char* end = nullptr;
        const std::string text(value);
        *target = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || *target <= 0 || *target > 3600) {
            std::fprintf(stderr, "tunnel_bench: bad value in %s\n", argv[i]);
            return false;
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return true;
}

bool start_tunnel(bench_rig& r) {
    r.box = std::make_unique<rig::sandbox>();
    r.server = std::make_unique<rig::echo_server>();
    r.box->add_enclosure("sg0", "A", "000000SN0001");
    sim::simulator& array = r.box->array();
    sim::tunnel_settings tunnel;
    tunnel.keepalive_period = std::chrono::seconds(1);
    array.set_tunnel("sg0", tunnel);
    array.add_service("A", "echo", {sim::service_kind::echo, "", "", 0});
    array.add_service("A", "relay", {sim::service_kind::relay, "", "127.0.0.1", r.server->port()});
    array.add_service("A", "sink", {sim::service_kind::sink, "", "", 0});
    r.tunnel = r.box->spawn(
        {rig::tunnel_binary(), "-c", "wait:36000", "7001:8:echo", "7002:8:relay", "7003:8:sink"});
    return rig::sandbox::eventually(
        [&] { return r.box->log().find("Listening on port 7003") != std::string::npos; });
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread: the network reaches the threads and processes started later.
    std::string problem;
    if (!rig::own_network(problem)) {
        std::fprintf(stderr, "tunnel_bench: %s (run as root)\n", problem.c_str());
        return 1;
    }
    if (!take_options(argc, argv))
        return 2;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    bench_rig r;
    if (!start_tunnel(r)) {
        std::fprintf(stderr, "tunnel_bench: the tunnel did not start\n");
        return 1;
    }
    setup = &r;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    ::kill(-r.tunnel, SIGKILL);
    r.box->wait(r.tunnel);
    return 0;
}
