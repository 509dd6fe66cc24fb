// Cost of the daemon's steady state with a 1 MiB host view: CPU per pass against the
// script's, peak resident memory, and whether memory grows from cycle to cycle.
// The cycles run in a child process so that the in-process simulator (parent) does not
// count against the daemon; waits are skipped.
#include <libgen.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/common.h"
#include "agent/config.h"
#include "agent/cycle.h"
#include "agent/devices.h"
#include "ground/log.h"
#include "sim/sim.h"

namespace {

constexpr int CYCLES = 12;
constexpr int PASSES_PER_CYCLE = 10;
constexpr std::size_t VIEW_BYTES = 1 << 20;

std::string script_a, script_b;

// Alternates the view between passes so that every pass pushes.
void swap_view(int) {
    hostinfo_script = hostinfo_script == script_a.c_str() ? script_b.c_str() : script_a.c_str();
}

std::string make_view(char fill) {
    std::string view = "HOST bench\n";
    for (int i = 0; view.size() < VIEW_BYTES; ++i) {
        std::string line = "DEVICE" + std::to_string(i) + " ";
        line += std::string(1000, fill) + "\n";
        view += line;
    }
    return view;
}

void write_script(const std::string& path, const std::string& view_path, const std::string& view) {
    std::ofstream(view_path, std::ios::binary) << view;
    std::ofstream(path) << "#!/bin/sh\nexec cat " << view_path << "\n";
    chmod(path.c_str(), 0755);
}

long resident_kib() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double seconds(const timeval& t) {
    return t.tv_sec + t.tv_usec / 1e6;
}

int run_cycles(const std::string& dir) {
    const std::string config = dir + "/tolvad.conf";
    std::ofstream(config) << "PushInterval=" << 2 * PASSES_PER_CYCLE + 1 << "\nRefreshInterval=2\n";
    config_path = config.c_str();
    log_directory = dir.c_str();
    hostinfo_script = script_a.c_str();
    cycle_wait = swap_view;
    const std::string dev = dir + "/dev";
    if (build_device_list(dev.c_str(), device_list) != 0 || device_list.empty()) {
        std::fprintf(stderr, "no device found\n");
        return 1;
    }
    open_listed_devices();

    const long start_kib = resident_kib();
    std::vector<long> after_cycle;
    for (int i = 0; i < CYCLES; ++i) {
        if (run_refresh_cycle() != 1)
            std::fprintf(stderr, "cycle %d failed\n", i);
        after_cycle.push_back(resident_kib());
    }
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    const int passes = CYCLES * PASSES_PER_CYCLE;
    const double own = (seconds(self.ru_utime) + seconds(self.ru_stime)) / passes;
    const double script = (seconds(children.ru_utime) + seconds(children.ru_stime)) / passes;
    std::printf("view: %zu bytes, %d cycles of %d passes (every pass pushes; read-back chunked)\n",
                make_view('a').size(), CYCLES, PASSES_PER_CYCLE);
    std::printf("daemon CPU per pass:  %.3f ms\n", own * 1e3);
    std::printf("script CPU per pass:  %.3f ms\n", script * 1e3);
    std::printf("daemon/script ratio:  %.2f\n", script > 0 ? own / script : 0.0);
    std::printf("resident before cycles: %ld KiB\n", start_kib);
    std::printf("peak resident:          %ld KiB (goal < %zu KiB)\n", self.ru_maxrss,
                4096 + 3 * VIEW_BYTES / 1024);
    std::printf("resident after cycle 1: %ld KiB, after cycle %d: %ld KiB\n", after_cycle.front(),
                CYCLES, after_cycle.back());
    return 0;
}

// The sg layer must be preloaded for the sends to reach the simulator.
void ensure_layer(char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "tolva_sglayer") != nullptr)
        return;
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return;
    const std::string layer =
        std::string(dirname(exe)) + "/../sim/layer/$PLATFORM/libtolva_sglayer.so";
    setenv("LD_PRELOAD", layer.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("execv");
}

}  // namespace

int main(int, char** argv) {
    ensure_layer(argv);
    char pattern[] = "/tmp/daemon_bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string dir = pattern;
    mkdir((dir + "/dev").c_str(), 0755);
    script_a = dir + "/script_a";
    script_b = dir + "/script_b";
    write_script(script_a, dir + "/view_a", make_view('a'));
    write_script(script_b, dir + "/view_b", make_view('b'));

    sim::simulator array(dir + "/sim.sock");
    sim::enclosure_config enclosure;
    enclosure.node = "sg1";
    enclosure.array = "A";
    enclosure.identity.set_serial("BENCH0001");
    array.add_enclosure(enclosure);
    array.write_nodes(dir + "/dev");

    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[1]);
        char byte;
        if (read(ready[0], &byte, 1) != 1)
            _exit(1);
        const int result = run_cycles(dir);
        std::fflush(stdout);
        _exit(result);
    }
    close(ready[0]);
    array.start();
    if (write(ready[1], "x", 1) != 1)
        return 1;
    close(ready[1]);

    int status = 0;
    std::size_t sends = 0, bytes = 0;
    auto drain = [&] {
        for (const auto& entry : array.journal()) {
            if (entry.kind != sim::command_kind::hostinfo_send)
                continue;
            ++sends;
            bytes += entry.data_out.size();
        }
        array.clear_journal();  // the journal keeps every byte sent
    };
    while (waitpid(child, &status, WNOHANG) == 0) {
        drain();
        usleep(50 * 1000);
    }
    drain();
    array.stop();
    std::printf("host-view sends seen by the array: about %zu (%zu MiB)\n", sends, bytes >> 20);
    std::filesystem::remove_all(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
