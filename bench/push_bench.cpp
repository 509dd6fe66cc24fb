// Cost of chunking a large host view, and of a whole `tolvad -p` against the same transfers
// issued by a bare loop. Prints the ratios (min/median/max over repetitions) at the end.
//
// The sandboxed pair needs root and the built programs beside this one; it is skipped
// without them. `push_bench --loop CHUNKS N` is the bare loop, run inside the sandbox.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/limits.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/chunking.h"
#include "channel/cdb.h"
#include "sim/sim.h"

namespace {

constexpr int REPETITIONS = 15;
constexpr int ENCLOSURES = 8;

// `size` bytes in `sections` sections of equal length, every line beginning with its token.
std::string make_view(std::size_t size, int sections) {
    const std::string head = "host bench-host\nkernel 6.1\n";
    const std::size_t each = (size - head.size()) / static_cast<std::size_t>(sections);
    std::string view = head;
    view.reserve(size + 1);
    for (int i = 0; i < sections; ++i) {
        const std::string tok = "DEVICE" + std::to_string(i) + " ";
        std::size_t left = i + 1 == sections ? size - view.size() : each;
        while (left > 0) {
            std::string line = tok;
            const std::size_t length = left < 128 + tok.size() + 64 ? left : 128;
            line.resize(std::max(length, tok.size() + 1) - 1, 'v');
            line.push_back('\n');
            left -= std::min(left, line.size());
            view += line;
        }
    }
    return view;
}

const std::string& big_view() {
    static const std::string view = make_view(16u << 20, 4096);
    return view;
}

void chunk_16mib(benchmark::State& state) {
    const std::string& view = big_view();
    std::size_t total = 0;
    for (auto _ : state) {
        chunk_hostinfo(view.c_str(), [&](chunk_flush, const char* chunk, std::size_t length) {
            benchmark::DoNotOptimize(chunk);
            total += length;
        });
    }
    benchmark::DoNotOptimize(total);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * view.size()));
}

void memcpy_16mib(benchmark::State& state) {
    const std::string& view = big_view();
    std::vector<char> copy(view.size() + 1);
    for (auto _ : state) {
        std::memcpy(copy.data(), view.c_str(), view.size() + 1);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * view.size()));
}

// --- tolvad -p in a sandbox -------------------------------------------------------------

std::string self_directory() {
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return self.substr(0, self.rfind('/'));
}

std::string self_binary() {
    return self_directory() + "/push_bench";
}
std::string built(const std::string& relative) {
    return self_directory() + "/../" + relative;
}

int run_quiet(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // a stop of tolvad never reaches the benchmark
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void write_file(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    chmod(path.c_str(), mode);
}

struct push_sandbox {
    std::string root;
    std::unique_ptr<sim::simulator> array;
    std::size_t transfers = 0;
    bool ready = false;

    push_sandbox() {
        if (geteuid() != 0 || access(built("sim/tolva-sandbox").c_str(), X_OK) != 0)
            return;
        char tmpl[] = "/tmp/push-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return;
        root = tmpl;
        if (run_quiet({built("sim/tolva-sandbox"), "init", root, "--tolvad", built("agent/tolvad"),
                       "--tolvactl", built("ctl/Tolvactl"), "--layer",
                       built("sim/layer/$PLATFORM/libtolva_sglayer.so")}) != 0)
            return;
        array = std::make_unique<sim::simulator>(root + "/sim.sock");
        for (int i = 0; i < ENCLOSURES; ++i) {
            sim::enclosure_config config;
            config.node = "sg" + std::to_string(i);
            config.array = "array" + std::to_string(i);
            config.identity.set_serial("BENCH000000" + std::to_string(i));
            array->add_enclosure(config);
        }
        array->write_nodes(root + "/dev");
        array->start();

        const std::string view = make_view(1u << 20, 256);
        // <root>/zyr is what the sandbox shows as /usr/share/zyr.
        write_file(root + "/zyr/view.bin", view, 0644);
        write_file(root + "/zyr/zyr_hostinfo", "#!/bin/sh\nexec cat /usr/share/zyr/view.bin\n",
                   0755);
        // The bare loop sends exactly the chunks the daemon sends.
        std::string chunks;
        chunk_hostinfo(view.c_str(), [&](chunk_flush, const char* chunk, std::size_t length) {
            const std::uint32_t n = static_cast<std::uint32_t>(length + 1);
            chunks.append(reinterpret_cast<const char*>(&n), sizeof n);
            chunks.append(chunk, length + 1);
            transfers += ENCLOSURES;
        });
        write_file(root + "/chunks.bin", chunks, 0644);
        ready = true;
    }
    ~push_sandbox() {
        if (root.empty())
            return;
        run_quiet({built("sim/tolva-sandbox"), "stop", root});
        if (array)
            array->stop();
        run_quiet({"/bin/rm", "-rf", root});
    }
    int run(const std::vector<std::string>& program) {
        std::vector<std::string> args = {built("sim/tolva-sandbox"), "run", root, "--"};
        args.insert(args.end(), program.begin(), program.end());
        return run_quiet(args);
    }
};

push_sandbox& sandbox() {
    static push_sandbox box;
    return box;
}

void sandboxed(benchmark::State& state, const std::vector<std::string>& program) {
    push_sandbox& box = sandbox();
    if (!box.ready) {
        state.SkipWithError("needs root and the built sandbox");
        for (auto _ : state) {
        }
        return;
    }
    for (auto _ : state) {
        const int status = box.run(program);
        state.PauseTiming();
        std::size_t sent = 0;
        for (const sim::journal_entry& e : box.array->journal())
            sent += e.kind == sim::command_kind::hostinfo_send && e.ioctl_result == 0;
        box.array->clear_journal();
        state.ResumeTiming();
        if (status != 0 || sent != box.transfers) {
            state.SkipWithError("the run did not send every chunk");
            break;
        }
    }
}

void tolvad_push_1mib(benchmark::State& state) {
    sandboxed(state, {"/usr/sbin/tolvad", "-p"});
}

void bare_loop_1mib(benchmark::State& state) {
    sandboxed(state, {self_binary(), "--loop", sandbox().root + "/chunks.bin",
                      std::to_string(ENCLOSURES)});
}

// The bare loop: the same host-view sends, one SG_IO each, nothing else.
int bare_loop(const char* chunks_path, int enclosures) {
    std::ifstream in(chunks_path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string chunks = s.str();
    std::vector<int> fds;
    for (int i = 0; i < enclosures; ++i)
        fds.push_back(open(("//dev//sg" + std::to_string(i)).c_str(), O_RDWR | O_NONBLOCK));
    for (std::size_t at = 0; at + 4 <= chunks.size();) {
        std::uint32_t length = 0;
        std::memcpy(&length, chunks.data() + at, sizeof length);
        const char* data = chunks.data() + at + 4;
        at += 4 + length;
        for (int fd : fds) {
            cdb_block cdb = build_hostinfo_cdb(static_cast<int>(length), 1);
            unsigned char sense[32];
            sg_io_hdr_t io{};
            io.interface_id = 'S';
            io.dxfer_direction = SG_DXFER_TO_DEV;
            io.cmd_len = 10;
            io.mx_sb_len = sizeof sense;
            io.dxfer_len = length;
            io.dxferp = const_cast<char*>(data);
            io.cmdp = cdb.get();
            io.sbp = sense;
            io.timeout = 30000;
            if (ioctl(fd, SG_IO, &io) < 0)
                return 1;
        }
    }
    for (int fd : fds)
        close(fd);
    return 0;
}

// Keeps the min, median and max over the repetitions and prints the ratios of named pairs.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && !run.error_occurred)
                times_[run.run_name.function_name][run.aggregate_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void print_ratio(const std::string& name, const std::string& base, double goal) {
        auto& a = times_[name];
        auto& b = times_[base];
        if (a.count("median") == 0 || b.count("median") == 0) {
            std::printf("%s / %s: not measured\n", name.c_str(), base.c_str());
            return;
        }
        std::printf("%s / %s: min %.2f  median %.2f  max %.2f  (goal at most %.1f)\n", name.c_str(),
                    base.c_str(), a["min"] / b["min"], a["median"] / b["median"],
                    a["max"] / b["max"], goal);
    }

  private:
    std::map<std::string, std::map<std::string, double>> times_;
};

double least(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}
double most(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

}  // namespace

// Every figure is compared by its min, median and max over the repetitions.
benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b) {
    return b->Unit(benchmark::kMillisecond)
        ->Repetitions(REPETITIONS)
        ->ComputeStatistics("min", least)
        ->ComputeStatistics("max", most);
}

BENCHMARK(chunk_16mib)->Apply([](auto* b) { repeated(b); });
BENCHMARK(memcpy_16mib)->Apply([](auto* b) { repeated(b); });
BENCHMARK(tolvad_push_1mib)->Apply([](auto* b) { repeated(b)->Iterations(10)->UseRealTime(); });
BENCHMARK(bare_loop_1mib)->Apply([](auto* b) { repeated(b)->Iterations(10)->UseRealTime(); });

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--loop") == 0)
        return bare_loop(argv[2], std::atoi(argv[3]));
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratio("chunk_16mib", "memcpy_16mib", 2.0);
    reporter.print_ratio("tolvad_push_1mib", "bare_loop_1mib", 1.5);
    benchmark::Shutdown();
    return 0;
}
