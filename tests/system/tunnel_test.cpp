// The tunnel (tolva-tunnel in a sandbox) against the simulated array, with real TCP clients
// of the test on 127.0.0.1, in a network of the test's own. After every test the array's
// journal must hold no cookie or sequence violation, and the program's standard error no
// sanitizer report.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"
#include "tests/support/network.h"
#include "tests/support/rig.h"
#include "tests/support/tcp.h"

namespace {

using namespace std::chrono_literals;
using rig::closed_by_peer;
using rig::connect_to;
using rig::local_port;
using rig::loopback;
using rig::receive;
using rig::send_all;
using rig::socket_fd;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

constexpr const char* NODE = "sg0";
constexpr std::uint8_t OPEN = 0x40, CLOSE = 0x20;

// The id that the connection's frames carry: the peer's port with its bytes exchanged.
std::uint16_t wire_id(std::uint16_t port) {
    return static_cast<std::uint16_t>((port & 0xFF) << 8 | port >> 8);
}

// A frame command as the array saw it.
struct wire_frame {
    sim::command_kind kind;
    std::uint16_t cookie;
    std::uint16_t id;
    std::uint8_t flags;
    std::size_t length;
    std::string payload;  // sends only
};

class TunnelSystem : public ::testing::Test {
  protected:
    static constexpr std::uint16_t ECHO = 7001, RELAY = 7002, GREET = 7003, REFUSE = 7004,
                                   SINK = 7006;

    void SetUp() override {
        // Before any thread: the network reaches the threads and processes started later.
        std::string problem;
        ASSERT_TRUE(rig::own_network(problem)) << problem;
        box_ = std::make_unique<rig::sandbox>();
        box_->add_enclosure(NODE, "A", "000000SN0001");
        sim::tunnel_settings settings;
        settings.keepalive_period = 1000ms;
        array().set_tunnel(NODE, settings);
        array().add_service("A", "echo", {sim::service_kind::echo, "", "", 0});
        array().add_service("A", "greet", {sim::service_kind::greet, "hello", "", 0});
        array().add_service("A", "refuse", {sim::service_kind::refuse, "", "", 0});
        array().add_service("A", "sink", {sim::service_kind::sink, "", "", 0});
    }

    void TearDown() override {
        if (tunnel_ > 0) {
            ::kill(-tunnel_, SIGKILL);
            const rig::run_result ended = box_->wait(tunnel_);
            EXPECT_THAT(ended.err, Not(HasSubstr("Sanitizer"))) << ended.err;
        }
        for (const sim::journal_entry& e : array().journal()) {
            if (e.frame && e.frame->problem != sim::violation::none)
                ADD_FAILURE() << "violation: " << sim::format_entry(e);
        }
        box_.reset();
    }

    sim::simulator& array() { return box_->array(); }

    // Starts tolva-tunnel on `ports` ("PORT:BACKLOG:NAME") and waits until each listens.
    void start(const std::vector<std::string>& ports,
               std::vector<std::string> options = {"-c", "wait:3600"}) {
        std::vector<std::string> argv = {rig::tunnel_binary()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), ports.begin(), ports.end());
        tunnel_ = box_->spawn(argv);
        for (const std::string& port : ports) {
            const std::string line = "Listening on port " + port.substr(0, port.find(':'));
            ASSERT_TRUE(rig::sandbox::eventually([&] { return logged(line); }))
                << "no \"" << line << "\" in the log:\n"
                << box_->log();
        }
    }

    bool logged(const std::string& message) const {
        for (const std::string& m : box_->log_messages()) {
            if (m == message)
                return true;
        }
        return false;
    }

    std::vector<wire_frame> frames() {
        std::vector<wire_frame> out;
        for (const sim::journal_entry& e : array().journal()) {
            if (!e.frame)
                continue;
            out.push_back({e.kind, e.frame->cookie, e.frame->connection_id, e.frame->flags,
                           e.frame->payload_length,
                           std::string(e.data_out.begin(), e.data_out.end())});
        }
        return out;
    }

    // Frame sends of the host for connection `id` with exactly `flags` (open/close bits).
    int sends(std::uint16_t id, std::uint8_t flags) {
        int n = 0;
        for (const wire_frame& f : frames())
            n += f.kind == sim::command_kind::frame_send && f.id == id &&
                 (f.flags & (OPEN | CLOSE)) == flags;
        return n;
    }

    int cookie_requests() {
        int n = 0;
        for (const wire_frame& f : frames())
            n += f.kind == sim::command_kind::cookie_request;
        return n;
    }

    // A round trip through an echo connection: every frame the receive thread took before
    // the echo came back has been dispatched by then, replies included.
    void fence(int fd) {
        const std::string word = "fence";
        ASSERT_TRUE(send_all(fd, word));
        ASSERT_EQ(receive(fd, word.size()), word);
    }

    int log_count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& m : box_->log_messages())
            n += m.rfind(prefix, 0) == 0;
        return n;
    }

    std::unique_ptr<rig::sandbox> box_;
    pid_t tunnel_ = -1;
};

// A client that sends to the sink without pause until told to stop, or for a minute at most.
class uploader {
  public:
    explicit uploader(std::uint16_t port) : socket_(connect_to(port)) {
        thread_ = std::thread([this] {
            const std::string chunk(65536, 'u');
            const auto end = std::chrono::steady_clock::now() + 60s;
            while (!stop_.load() && std::chrono::steady_clock::now() < end) {
                if (!send_all(socket_.get(), chunk))
                    return;
                sent_.fetch_add(chunk.size());
            }
            cut_short_.store(!stop_.load());
        });
    }
    ~uploader() { finish(); }
    std::size_t sent() const { return sent_.load(); }
    // True when the upload was still going when told to stop.
    bool finish() {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        return !cut_short_.load();
    }

  private:
    socket_fd socket_;
    std::atomic<bool> stop_{false}, cut_short_{true};
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

TEST_F(TunnelSystem, EchoAndRelayCarryOneMebibyteEachWayForEightClientsAtOnce) {
    rig::echo_server server;
    array().add_service("A", "relay", {sim::service_kind::relay, "", "127.0.0.1", server.port()});
    start({"7001:8:echo", "7002:8:relay"});
    for (const std::uint16_t port : {ECHO, RELAY}) {
        constexpr int CLIENTS = 8;
        std::vector<std::string> sent(CLIENTS), back(CLIENTS);
        std::vector<std::thread> clients;
        for (int i = 0; i < CLIENTS; ++i) {
            sent[i] = rig::random_bytes(1 << 20, port * 100 + i);
            clients.emplace_back([&, i] {
                socket_fd s = connect_to(port);
                back[i] = rig::exchange(s.get(), sent[i]);
            });
        }
        for (std::thread& t : clients)
            t.join();
        for (int i = 0; i < CLIENTS; ++i)
            EXPECT_TRUE(back[i] == sent[i])
                << "port " << port << " client " << i << ": " << back[i].size() << " bytes back";
    }
}

TEST_F(TunnelSystem, ClosesTravelBothWays) {
    start({"7001:5:echo", "7004:5:refuse"});
    socket_fd keeper = connect_to(ECHO);  // holds the link throughout
    fence(keeper.get());

    // The peer closes: a close frame for its id.
    socket_fd peer = connect_to(ECHO);
    const std::uint16_t peer_id = wire_id(local_port(peer.get()));
    fence(peer.get());
    peer = socket_fd();
    EXPECT_TRUE(rig::sandbox::eventually([&] { return sends(peer_id, CLOSE) == 1; }));

    // The array closes: the socket is closed, and the close is not answered.
    socket_fd refused = connect_to(REFUSE);
    const std::uint16_t refused_id = wire_id(local_port(refused.get()));
    EXPECT_TRUE(closed_by_peer(refused.get()));
    fence(keeper.get());
    EXPECT_EQ(sends(refused_id, OPEN), 1);
    EXPECT_EQ(sends(refused_id, CLOSE), 0);
}

TEST_F(TunnelSystem, FramesForUnknownConnections) {
    start({"7001:5:echo", "7003:5:greet", "7004:5:refuse"});
    socket_fd keeper = connect_to(ECHO);  // holds the link
    fence(keeper.get());

    // While the array is silent, two connections open and close again; the array still
    // has a greeting and a refusal for them, which arrive for ids the tunnel no longer has.
    array().set_silent(NODE, true);
    socket_fd greeted = connect_to(GREET);
    socket_fd refused = connect_to(REFUSE);
    const std::uint16_t greeted_id = wire_id(local_port(greeted.get()));
    const std::uint16_t refused_id = wire_id(local_port(refused.get()));
    greeted = socket_fd();
    refused = socket_fd();
    ASSERT_TRUE(rig::sandbox::eventually(
        [&] { return sends(greeted_id, CLOSE) == 1 && sends(refused_id, CLOSE) == 1; }));
    array().set_silent(NODE, false);
    ASSERT_TRUE(rig::sandbox::eventually([&] {
        bool greeting = false, refusal = false;
        for (const wire_frame& f : frames()) {
            greeting |=
                f.kind == sim::command_kind::frame_receive && f.id == greeted_id && f.length > 0;
            refusal |= f.kind == sim::command_kind::frame_receive && f.id == refused_id &&
                       (f.flags & CLOSE);
        }
        return greeting && refusal;
    }));
    fence(keeper.get());

    EXPECT_EQ(sends(greeted_id, CLOSE), 2);  // its own close, then the answer to the greeting
    EXPECT_EQ(sends(refused_id, CLOSE), 1);  // the array's close gets none
}

TEST_F(TunnelSystem, OpenFrameCarriesThePortNameAndTheSwappedPeerPort) {
    start({"7001:5:echo", "7005:5:"});
    const struct {
        std::uint16_t port, from;
        std::string payload;
        std::uint8_t cdb_id[2];
    } rows[] = {{ECHO, 0x1234, "echo", {0x34, 0x12}}, {7005, 0x0a0b, "", {0x0b, 0x0a}}};
    for (const auto& row : rows) {
        socket_fd s = connect_to(row.port, row.from);
        ASSERT_TRUE(rig::sandbox::eventually([&] { return sends(wire_id(row.from), OPEN); }));
        for (const sim::journal_entry& e : array().journal()) {
            if (e.kind != sim::command_kind::frame_send || !(e.frame->flags & OPEN) ||
                e.frame->connection_id != wire_id(row.from))
                continue;
            EXPECT_EQ(e.cdb.at(4), row.cdb_id[0]);
            EXPECT_EQ(e.cdb.at(5), row.cdb_id[1]);
            EXPECT_EQ(std::string(e.data_out.begin(), e.data_out.end()), row.payload);
            EXPECT_EQ(e.frame->payload_length, row.payload.size());
        }
    }
}

TEST_F(TunnelSystem, PortInUseEndsTheProgramWithStatusOne) {
    socket_fd taken(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = loopback(ECHO);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);

    const rig::run_result run = box_->run({rig::tunnel_binary(), "-c", "wait:3600", "7001:5:echo"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "bind for port 7001: Address already in use\n");
    EXPECT_TRUE(logged("bind for port 7001: Address already in use"));
    EXPECT_THAT(run.err, Not(HasSubstr("Sanitizer"))) << run.err;
}

// With a clock ten times as fast, 6 seconds are 0.6 and 30 are 3.
TEST_F(TunnelSystem, KeepAliveThenIdleAbandonsTheCookieAndTheNextConnectionGetsANewOne) {
    start({"7001:5:echo"}, {"-c", "wait:36000", "-s", "10"});
    socket_fd first = connect_to(ECHO);
    const std::uint16_t first_id = wire_id(local_port(first.get()));
    fence(first.get());
    // Keep-alives go on while the connection idles.
    const int before = sends(0, 0);
    EXPECT_TRUE(rig::sandbox::eventually([&] { return sends(0, 0) >= before + 2; }));

    array().set_silent(NODE, true);
    EXPECT_TRUE(closed_by_peer(first.get()));
    const std::vector<std::string> messages = box_->log_messages();
    EXPECT_THAT(messages, Contains(MatchesRegex("Went [0-9]+ seconds without receiving "
                                                "anything, abandoning host cookie")));
    EXPECT_EQ(sends(first_id, CLOSE), 0);

    array().set_silent(NODE, false);
    socket_fd second = connect_to(ECHO);
    fence(second.get());
    EXPECT_EQ(cookie_requests(), 2);
    for (const wire_frame& f : frames()) {
        if (f.kind == sim::command_kind::frame_send && f.id == wire_id(local_port(second.get()))) {
            EXPECT_EQ(f.cookie, 2);
        }
    }
}

TEST_F(TunnelSystem, TheNextConnectionAfterTheLastClosedGetsANewCookie) {
    start({"7001:5:echo"});
    socket_fd first = connect_to(ECHO);
    const std::uint16_t first_id = wire_id(local_port(first.get()));
    fence(first.get());
    first = socket_fd();
    // The pass that sends the close frame also drops the cookie.
    ASSERT_TRUE(rig::sandbox::eventually([&] { return sends(first_id, CLOSE) == 1; }));

    socket_fd second = connect_to(ECHO);
    fence(second.get());
    EXPECT_EQ(cookie_requests(), 2);
}

TEST_F(TunnelSystem, PeerThatStopsReadingIsEndedAndTheOthersFlowOn) {
    start({"7001:5:echo"});
    socket_fd other = connect_to(ECHO);
    fence(other.get());

    socket_fd stalled(::socket(AF_INET, SOCK_STREAM, 0));
    const int small = 4096;
    ::setsockopt(stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in address = loopback(ECHO);
    ASSERT_EQ(::connect(stalled.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    const std::uint16_t stalled_id = wire_id(local_port(stalled.get()));
    ::fcntl(stalled.get(), F_SETFL, O_NONBLOCK);
    // Writes, never reads, until the tunnel gives the connection up. Far more than the
    // socket buffers hold (4 MiB at most here), and not much more: the array keeps what it
    // echoes for a connection it has closed and sends it on.
    const std::string chunk(65536, 's');
    std::size_t written = 0;
    const bool ended = rig::sandbox::eventually(
        [&] {
            while (written < (32u << 20)) {
                const ssize_t n = ::send(stalled.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                written += static_cast<std::size_t>(n);
            }
            return box_->log().find("Write size too small: ") != std::string::npos;
        },
        120s);
    ASSERT_TRUE(ended);
    // One close frame, and one more for every frame that the array still had queued for it.
    EXPECT_TRUE(rig::sandbox::eventually([&] { return sends(stalled_id, CLOSE) >= 1; }));
    EXPECT_TRUE(closed_by_peer(stalled.get()));
    fence(other.get());
    EXPECT_THAT(box_->log_messages(),
                Contains(MatchesRegex("Write size too small: -?[0-9]+ of [0-9]+")));
}

TEST_F(TunnelSystem, ClientSendingWithoutPauseLeavesTheOthersTheirTurn) {
    start({"7001:8:echo", "7006:8:sink"});
    std::vector<socket_fd> probes;
    for (int i = 0; i < 4; ++i) {
        probes.push_back(connect_to(ECHO));
        fence(probes.back().get());
    }
    uploader upload(SINK);
    ASSERT_TRUE(rig::sandbox::eventually([&] { return upload.sent() > (8u << 20); }));
    for (int round = 0; round < 5; ++round) {
        for (std::size_t i = 0; i < probes.size(); ++i) {
            std::string word =
                "probe " + std::to_string(i) + " round trip " + std::to_string(round) + " ";
            word.resize(1024, static_cast<char>('a' + round));
            ASSERT_TRUE(send_all(probes[i].get(), word));
            ASSERT_EQ(receive(probes[i].get(), word.size()), word);
        }
    }
    EXPECT_TRUE(upload.finish()) << "the upload stopped before the probes were done";
}

// With a clock ten times as fast, 30 seconds are 3.
TEST_F(TunnelSystem, IdleConnectionOutlivesALongUpload) {
    start({"7001:8:echo", "7006:8:sink"}, {"-c", "wait:36000", "-s", "10"});
    socket_fd idle = connect_to(ECHO);
    fence(idle.get());
    {
        uploader upload(SINK);
        std::this_thread::sleep_for(6s);  // 60 seconds of the tunnel's clock
        EXPECT_TRUE(upload.finish());
    }
    fence(idle.get());
    EXPECT_EQ(log_count("Went "), 0) << box_->log();
}

// The connection id is the peer's port: peers on two addresses may share it.
TEST_F(TunnelSystem, SecondPeerWithAConnectionIdInUseIsClosedBeforeAnyFrame) {
    start({"7001:5:echo"});
    const auto connect_from = [](const char* address, std::uint16_t from) {
        socket_fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in local = loopback(from);
        ::inet_pton(AF_INET, address, &local.sin_addr);
        EXPECT_EQ(::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
        const sockaddr_in remote = loopback(ECHO);
        EXPECT_EQ(::connect(s.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote), 0);
        return s;
    };
    socket_fd first = connect_from("127.0.0.1", 40123);
    fence(first.get());
    socket_fd second = connect_from("127.0.0.2", 40123);
    EXPECT_TRUE(closed_by_peer(second.get()));
    const std::string secret = "AAAA-secret-of-client-A";
    ASSERT_TRUE(send_all(first.get(), secret));
    EXPECT_EQ(receive(first.get(), secret.size()), secret);
    EXPECT_EQ(sends(wire_id(40123), OPEN), 1);
    EXPECT_EQ(log_count("Connection id 0xbb9c already in use, connection closed"), 1);
}

// Out of descriptors, a port must rest instead of spinning the loop, the established
// connections go on, and new ones are served once descriptors are free again.
// Out of descriptors, a port must rest instead of spinning the loop, the established
// connection goes on, and new ones are served once descriptors are free again.
TEST_F(TunnelSystem, PortOutOfDescriptorsRestsWhileTheOthersGoOn) {
    start({"7001:40:echo"});
    socket_fd early = connect_to(ECHO);
    fence(early.get());
    // Three descriptors left to the tunnel, whatever it inherited.
    std::vector<bool> used(1024);
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(tunnel_) + "/fd")) {
        const unsigned long fd = std::stoul(e.path().filename().string());
        if (fd < used.size())
            used[fd] = true;
    }
    rlimit limit{};
    ASSERT_EQ(::prlimit(tunnel_, RLIMIT_NOFILE, nullptr, &limit), 0);
    limit.rlim_cur = 0;
    for (int free_left = 3; free_left > 0; ++limit.rlim_cur)
        free_left -= !used[limit.rlim_cur];
    ASSERT_EQ(::prlimit(tunnel_, RLIMIT_NOFILE, &limit, nullptr), 0) << std::strerror(errno);

    std::vector<socket_fd> crowd;
    for (int i = 0; i < 30; ++i)
        crowd.push_back(connect_to(ECHO));
    ASSERT_TRUE(rig::sandbox::eventually([&] {
        return log_count("Cannot accept on port 7001: Too many open files") > 0;
    })) << box_->log();
    const auto cpu_seconds = [&] {
        std::ifstream stat("/proc/" + std::to_string(tunnel_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int n = 3; n <= 15 && fields >> field; ++n) {
            if (n >= 14)
                ticks += std::stol(field);
        }
        return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    };
    const double cpu_before = cpu_seconds();
    const auto wall_before = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i) {
        fence(early.get());
        std::this_thread::sleep_for(250ms);
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_before;
    EXPECT_LT(cpu_seconds() - cpu_before, wall.count() / 2) << "the tunnel spins";

    crowd.clear();
    socket_fd later = connect_to(ECHO);
    fence(later.get());
    fence(early.get());
}

TEST_F(TunnelSystem, RelaysWhileTheRealCycleWaits) {
    box_->set_config("PushInterval=7200\nRefreshInterval=3600\n");
    box_->set_script_output("HOST tunnel\nDEVICE0 disk\n");
    start({"7001:5:echo"}, {"-c", "real"});
    ASSERT_TRUE(rig::sandbox::eventually([&] { return array().stored_view("A").has_value(); }));
    socket_fd s = connect_to(ECHO);
    fence(s.get());
    int pushes = 0;
    for (const sim::journal_entry& e : array().journal())
        pushes += e.kind == sim::command_kind::hostinfo_send;
    EXPECT_EQ(pushes, 1);  // still in the first pass's wait
}

TEST_F(TunnelSystem, FirstCycleResultOfZeroEndsTheTunnelBeforeAnyFrame) {
    const rig::run_result run = box_->run({rig::tunnel_binary(), "-c", "zero", "7001:5:echo"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_THAT(run.err, Not(HasSubstr("Sanitizer"))) << run.err;
    EXPECT_TRUE(logged("Listening on port 7001"));
    EXPECT_TRUE(frames().empty());
}

}  // namespace
