// The tunnel's rules one step at a time, with an injected clock and sleeps, the in-process
// stand-in for the sg driver, and socket pairs for connections.
#include "tunnel/tunnel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "channel/frames.h"
#include "ground/clock.h"
#include "ground/settings.h"
#include "tests/support/network.h"
#include "tests/support/scratch_log.h"
#include "tests/support/tcp.h"
#include "tests/unit/fake_driver.h"
#include "tests/unit/stop_capture.h"

namespace {

using bytes = std::vector<unsigned char>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr int SEND_FD = 3;
constexpr int RECEIVE_FD = 4;
constexpr std::time_t NOW = 100000;

std::time_t now_value = NOW;
std::vector<long> slices;
std::vector<int> seconds_slept;
// Runs inside the n-th recorded slice (counting from 1); a test stands in for the main
// thread there.
int interrupt_after_slice = 0;
tunnel_state* interrupted = nullptr;

// A frame send as the driver saw it.
struct sent_frame {
    int fd;
    std::uint16_t id;
    int open;
    int close;
    std::string payload;
    bool operator==(const sent_frame&) const = default;
};
std::ostream& operator<<(std::ostream& os, const sent_frame& f) {
    return os << "{fd " << f.fd << " id " << f.id << " open " << f.open << " close " << f.close
              << " \"" << f.payload << "\"}";
}

bool is_send(const fake::call& c) {
    return c.cdb.size() > 9 && c.cdb[9] == 1;
}
bool is_receive(const fake::call& c) {
    return c.cdb.size() > 9 && c.cdb[9] == 0 && !(c.cdb[2] == 0xFF && c.cdb[3] == 0xFF);
}

std::vector<sent_frame> sent_frames() {
    std::vector<sent_frame> frames;
    for (const fake::call& c : fake::sg.calls) {
        if (!is_send(c))
            continue;
        frames.push_back({c.fd, static_cast<std::uint16_t>(c.cdb[4] << 8 | c.cdb[5]),
                          (c.cdb[6] >> 6) & 1, (c.cdb[6] >> 5) & 1,
                          std::string(c.data_out.begin(), c.data_out.end())});
    }
    return frames;
}

int count_of(bool (*kind)(const fake::call&)) {
    int n = 0;
    for (const fake::call& c : fake::sg.calls)
        n += kind(c) ? 1 : 0;
    return n;
}

bytes frame(std::uint16_t id, unsigned char flags, const std::string& payload) {
    bytes b(5 + payload.size());
    b[0] = static_cast<unsigned char>(id >> 8);
    b[1] = static_cast<unsigned char>(id);
    b[2] = flags;
    b[3] = static_cast<unsigned char>(payload.size() >> 8);
    b[4] = static_cast<unsigned char>(payload.size());
    std::copy(payload.begin(), payload.end(), b.begin() + 5);
    return b;
}
constexpr unsigned char MORE = 0x80, CLOSE = 0x20;

fake::answer good(bytes data) {
    return fake::answer{0, 0, std::move(data)};
}

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
}

// What a peer finds on its end: the bytes, and whether the tunnel's end is closed.
struct peer_view {
    std::string data;
    bool closed = false;
};
peer_view drain_peer(int fd) {
    set_nonblocking(fd);
    peer_view view;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            view.data.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        view.closed = n == 0 || errno != EAGAIN;
        return view;
    }
}

class Tunnel : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.ok());
        debug_level = 0;
        now_value = NOW;
        slices.clear();
        seconds_slept.clear();
        interrupt_after_slice = 0;
        interrupted = &state_;
        clock_seconds = [] { return now_value; };
        sleep_seconds = [](int s) { seconds_slept.push_back(s); };
        sleep_microseconds = [](long us) {
            slices.push_back(us);
            if (static_cast<int>(slices.size()) == interrupt_after_slice)
                interrupted->poll_delay.store(0);
        };
        fake::activate();
        fake::sg.script.push_back(good({0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 7}));
        ASSERT_EQ(request_host_cookie(SEND_FD), 1);
        fake::sg.calls.clear();
        log_mark_ = scratch_.text().size();
        last_send_time = 0;
        last_receive_time = 0;
        state_.ports = no_ports_;
        state_.send_fd = SEND_FD;
        state_.receive_fd = RECEIVE_FD;
        state_.lock.lock();
    }
    void TearDown() override {
        state_.lock.unlock();
        while (state_.connections)
            close_tunnel_connection(&state_.connections);
        for (int fd : peers_)
            ::close(fd);
        clear_host_cookie();
        fake::sg.active = false;
        clock_seconds = saved_clock_;
        sleep_seconds = saved_sleep_;
        sleep_microseconds = saved_slice_;
        payload_write_bound = saved_bound_;
    }

    // A connection at the head of the list; returns the peer's end.
    int connect(std::uint16_t id) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
            ADD_FAILURE() << "socketpair: " << std::strerror(errno);
            return -1;
        }
        set_nonblocking(ends[0]);
        auto node = std::make_unique<tunnel_connection>();
        node->fd = ends[0];
        node->connection_id = id;
        node->next = std::move(state_.connections);
        state_.connections = std::move(node);
        peers_.push_back(ends[1]);
        return ends[1];
    }

    std::vector<std::uint16_t> ids() const {
        std::vector<std::uint16_t> out;
        for (auto* c = state_.connections.get(); c != nullptr; c = c->next.get())
            out.push_back(c->connection_id);
        return out;
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        const std::string text = scratch_.text().substr(log_mark_);
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            if (end - at > 21)
                out.push_back(text.substr(at + 21, end - at - 21));
            at = end + 1;
        }
        return out;
    }

    rig::scratch_log scratch_;
    std::size_t log_mark_ = 0;  // the log's size once the fixture's link is open
    tunnel_state state_;
    listen_port no_ports_[1];
    std::vector<int> peers_;
    clock_function saved_clock_ = clock_seconds;
    seconds_sleep_function saved_sleep_ = sleep_seconds;
    microseconds_sleep_function saved_slice_ = sleep_microseconds;
    timeval saved_bound_ = payload_write_bound;
};

// ---- back-off and the sliced wait ------------------------------------------------------

TEST_F(Tunnel, BackOffPollTable) {
    const struct {
        int before, after;
    } rows[] = {{0, 30000},         {-5, 30000},        {1, 10001},
                {990000, 1000000},  {999999, 1009999},  {1000000, 3000000},
                {2999999, 4999999}, {3000000, 3000000}, {4999999, 4999999}};
    for (const auto& row : rows) {
        state_.poll_delay.store(row.before);
        back_off_poll(state_);
        EXPECT_EQ(state_.poll_delay.load(), row.after) << "from " << row.before;
    }
}

TEST_F(Tunnel, BackOffFromZeroTakes98StepsTo1000000ThenStaysAt3000000) {
    std::vector<int> values;
    state_.poll_delay.store(0);
    for (int i = 0; i < 101; ++i) {
        back_off_poll(state_);
        values.push_back(state_.poll_delay.load());
    }
    EXPECT_EQ(values[0], 30000);
    EXPECT_EQ(values[97], 1000000);
    EXPECT_EQ(values[98], 3000000);
    EXPECT_EQ(values[100], 3000000);
}

TEST_F(Tunnel, SlicedWaitTable) {
    const struct {
        int poll_delay, remaining, interrupt_after;
        std::vector<long> slices;
    } rows[] = {
        {3000000, 3000000, 0, {500000, 500000, 500000, 500000, 500000, 500000}},
        {1250000, 1250000, 0, {500000, 500000, 250000}},
        {30000, 30000, 0, {30000}},
        {0, 3000000, 0, {}},                      // reset before the first slice
        {3000000, 3000000, 2, {500000, 500000}},  // reset during the second slice
        {3000000, 0, 0, {}},
    };
    state_.lock.unlock();
    for (const auto& row : rows) {
        slices.clear();
        interrupt_after_slice = row.interrupt_after;
        state_.poll_delay.store(row.poll_delay);
        sliced_wait(state_, row.remaining);
        EXPECT_THAT(slices, ElementsAreArray(row.slices))
            << "poll_delay " << row.poll_delay << " remaining " << row.remaining;
    }
    state_.lock.lock();
}

// ---- keep-alive and idle rules ---------------------------------------------------------

TEST_F(Tunnel, KeepAliveRuleTable) {
    const sent_frame keepalive{SEND_FD, 0, 0, 0, ""};
    const struct {
        const char* name;
        bool cookie;
        std::time_t last_send;
        int keepalives;
    } rows[] = {
        {"5 seconds back", true, NOW - 5, 0},     {"6 seconds back", true, NOW - 6, 1},
        {"ahead of the clock", true, NOW + 1, 1}, {"never sent", true, 0, 1},
        {"no cookie", false, NOW - 100, 0},
    };
    connect(0x0101);
    for (const auto& row : rows) {
        fake::sg.calls.clear();
        if (row.cookie && !have_host_cookie()) {
            fake::sg.script.push_back(good({0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 7}));
            ASSERT_EQ(request_host_cookie(SEND_FD), 1);
            fake::sg.calls.clear();
        }
        if (!row.cookie)
            clear_host_cookie();
        last_send_time = row.last_send;
        keepalive_rule(state_);
        EXPECT_EQ(sent_frames(), std::vector<sent_frame>(row.keepalives, keepalive)) << row.name;
        EXPECT_EQ(last_send_time, row.keepalives ? NOW : row.last_send) << row.name;
    }
}

TEST_F(Tunnel, KeepAliveRuleDropsTheCookieOnlyWithoutConnections) {
    last_send_time = NOW;
    last_receive_time = NOW - 3;
    connect(0x0101);
    keepalive_rule(state_);
    EXPECT_EQ(have_host_cookie(), 1);
    EXPECT_EQ(last_receive_time, NOW - 3);

    close_tunnel_connection(&state_.connections);
    keepalive_rule(state_);
    EXPECT_EQ(have_host_cookie(), 0);
    EXPECT_EQ(last_receive_time, 0);
    EXPECT_THAT(sent_frames(), IsEmpty());
}

TEST_F(Tunnel, IdleRuleTable) {
    const struct {
        std::time_t last_receive;
        bool fires;
    } rows[] = {{NOW - 31, true}, {NOW - 30, false}, {0, false}, {NOW + 50, false}};
    for (const auto& row : rows) {
        const int first = connect(0x0101);
        const int second = connect(0x0202);
        last_receive_time = row.last_receive;
        idle_rule(state_);
        EXPECT_EQ(state_.connections == nullptr, row.fires) << row.last_receive;
        EXPECT_EQ(drain_peer(first).closed, row.fires);
        EXPECT_EQ(drain_peer(second).closed, row.fires);
        while (state_.connections)
            close_tunnel_connection(&state_.connections);
    }
    EXPECT_THAT(messages(),
                ElementsAre("Went 31 seconds without receiving anything, abandoning host cookie"));
    EXPECT_THAT(fake::sg.calls, IsEmpty());  // no frame for the closed connections
}

// ---- receiving and dispatching ---------------------------------------------------------

TEST_F(Tunnel, DispatchTable) {
    constexpr std::uint16_t KNOWN = 0x0102, UNKNOWN = 0x0909;
    const struct {
        const char* name;
        fake::answer answer;
        int more;
        int activity;
        std::vector<sent_frame> replies;
        std::string written;  // what the known connection's peer reads
        bool closed;          // the known connection is gone
        bool received;        // last_receive_time set
    } rows[] = {
        {"keep-alive", good(frame(0, 0, "KEEPALIVE")), 0, 0, {}, "", false, true},
        {"keep-alive with close", good(frame(0, CLOSE, "x")), 0, 0, {}, "", false, true},
        {"empty frame, known id", good(frame(KNOWN, 0, "")), 0, 0, {}, "", false, false},
        {"empty frame, unknown id", good(frame(UNKNOWN, 0, "")), 0, 0, {}, "", false, false},
        {"more flag only", good(frame(0, MORE, "")), 1, 0, {}, "", false, false},
        {"refused receive", fake::answer{0, 0x02, {}}, 0, 0, {}, "", false, false},
        {"payload, unknown id",
         good(frame(UNKNOWN, 0, "abc")),
         0,
         1,
         {{RECEIVE_FD, UNKNOWN, 0, 1, ""}},
         "",
         false,
         false},
        {"close, unknown id", good(frame(UNKNOWN, CLOSE, "")), 0, 1, {}, "", false, false},
        {"payload, known id", good(frame(KNOWN, MORE, "hello")), 1, 1, {}, "hello", false, true},
        {"payload and close", good(frame(KNOWN, CLOSE, "bye")), 0, 1, {}, "bye", true, true},
        {"close, known id", good(frame(KNOWN, CLOSE, "")), 0, 1, {}, "", true, true},
    };
    for (const auto& row : rows) {
        const int peer = connect(KNOWN);
        fake::sg.calls.clear();
        fake::sg.script.push_back(row.answer);
        last_receive_time = 0;
        int activity = 0;
        EXPECT_EQ(receive_and_dispatch(state_, &activity), row.more) << row.name;
        EXPECT_EQ(activity, row.activity) << row.name;
        EXPECT_EQ(sent_frames(), row.replies) << row.name;
        const peer_view seen = drain_peer(peer);
        EXPECT_EQ(seen.data, row.written) << row.name;
        EXPECT_EQ(seen.closed, row.closed) << row.name;
        EXPECT_EQ(state_.connections == nullptr, row.closed) << row.name;
        EXPECT_EQ(last_receive_time, row.received ? NOW : 0) << row.name;
        while (state_.connections)
            close_tunnel_connection(&state_.connections);
    }
    EXPECT_THAT(messages(), IsEmpty());
}

TEST_F(Tunnel, DrainReceivesWhileMoreAndReportsConnectionActivity) {
    connect(0x0102);
    fake::sg.script.push_back(good(frame(0, MORE, "KEEPALIVE")));
    fake::sg.script.push_back(good(frame(0x0102, MORE, "a")));
    fake::sg.script.push_back(good(frame(0, 0, "KEEPALIVE")));
    fake::sg.script.push_back(good(frame(0x0102, 0, "never asked for")));
    EXPECT_EQ(drain_tunnel_frames(state_), 1);
    EXPECT_EQ(count_of(is_receive), 3);

    fake::sg.calls.clear();
    fake::sg.script.clear();
    fake::sg.script.push_back(good(frame(0, MORE, "KEEPALIVE")));
    fake::sg.script.push_back(good(frame(0, 0, "")));
    EXPECT_EQ(drain_tunnel_frames(state_), 0);
    EXPECT_EQ(count_of(is_receive), 2);
}

TEST_F(Tunnel, PayloadThatCannotBeWrittenWithinTheBoundEndsTheConnection) {
    payload_write_bound = timeval{0, 100000};
    const int peer = connect(0x0102);
    const int other = connect(0x0303);
    // The peer stops reading: fill what the pair can hold.
    const int ours = state_.connections->next->fd;
    const std::string filler(4096, 'f');
    while (::write(ours, filler.data(), filler.size()) > 0) {
    }
    const std::string payload(60000, 'p');
    fake::sg.script.push_back(good(frame(0x0102, 0, payload)));
    int activity = 0;
    receive_and_dispatch(state_, &activity);

    EXPECT_THAT(sent_frames(), ElementsAre(sent_frame{RECEIVE_FD, 0x0102, 0, 1, ""}));
    EXPECT_THAT(ids(), ElementsAre(0x0303));
    EXPECT_TRUE(drain_peer(peer).closed);
    EXPECT_FALSE(drain_peer(other).closed);
    const std::vector<std::string> logged = messages();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_THAT(logged[0], ::testing::MatchesRegex("Write size too small: -?[0-9]+ of 60000"));
}

// ---- relaying ------------------------------------------------------------------------

TEST_F(Tunnel, RelayTable) {
    const struct {
        const char* name;
        std::string sent;  // by the peer before the passes
        bool peer_closes;
        int passes;
        std::vector<std::size_t> frame_sizes;
        bool close_frame;
    } rows[] = {
        {"nothing to read yet", "", false, 1, {}, false},
        {"one read", "hello", false, 1, {5}, false},
        {"one read a pass", std::string(40000, 'x'), false, 1, {32768}, false},
        {"the rest at the next pass", std::string(40000, 'x'), false, 2, {32768, 7232}, false},
        {"peer closed", "", true, 1, {}, true},
        {"data, then closed", "bye", true, 1, {3}, false},
        {"data, then closed, two passes", "bye", true, 2, {3}, true},
    };
    for (const auto& row : rows) {
        const int peer = connect(0x0102);
        const int idle_peer = connect(0x0303);
        fake::sg.calls.clear();
        if (!row.sent.empty()) {
            ASSERT_EQ(::write(peer, row.sent.data(), row.sent.size()),
                      static_cast<ssize_t>(row.sent.size()));
        }
        if (row.peer_closes)
            ::shutdown(peer, SHUT_WR);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(state_.connections->next->fd, &ready);
        state_.poll_delay.store(700000);
        last_send_time = 0;

        for (int pass = 0; pass < row.passes; ++pass)
            relay_connections(state_, &ready);

        std::vector<sent_frame> expected;
        std::size_t at = 0;
        for (std::size_t size : row.frame_sizes) {
            expected.push_back({SEND_FD, 0x0102, 0, 0, row.sent.substr(at, size)});
            at += size;
        }
        if (row.close_frame)
            expected.push_back({SEND_FD, 0x0102, 0, 1, ""});
        EXPECT_EQ(sent_frames(), expected) << row.name;
        EXPECT_EQ(state_.poll_delay.load(), 0) << row.name;
        EXPECT_EQ(last_send_time, NOW) << row.name;
        const std::vector<std::uint16_t> left = row.close_frame
                                                    ? std::vector<std::uint16_t>{0x0303}
                                                    : std::vector<std::uint16_t>{0x0303, 0x0102};
        EXPECT_EQ(ids(), left) << row.name;
        EXPECT_FALSE(drain_peer(idle_peer).closed) << row.name;
        while (state_.connections)
            close_tunnel_connection(&state_.connections);
    }
}

TEST_F(Tunnel, RelayPassesOverConnectionsNotReady) {
    const int peer = connect(0x0102);
    ASSERT_EQ(::write(peer, "x", 1), 1);
    fd_set ready;
    FD_ZERO(&ready);
    state_.poll_delay.store(700000);
    relay_connections(state_, &ready);
    EXPECT_THAT(sent_frames(), IsEmpty());
    EXPECT_EQ(state_.poll_delay.load(), 700000);
    EXPECT_EQ(last_send_time, 0);
}

// ---- list operations -----------------------------------------------------------------

TEST_F(Tunnel, CloseTunnelConnectionTable) {
    const struct {
        const char* name;
        int position;  // 0 is the head
        std::vector<std::uint16_t> left;
    } rows[] = {{"head", 0, {2, 1}}, {"middle", 1, {3, 1}}, {"last", 2, {3, 2}}};
    for (const auto& row : rows) {
        std::vector<int> peers = {connect(1), connect(2), connect(3)};  // list: 3 2 1
        std::unique_ptr<tunnel_connection>* link = &state_.connections;
        for (int i = 0; i < row.position; ++i)
            link = &(*link)->next;
        close_tunnel_connection(link);
        EXPECT_EQ(ids(), row.left) << row.name;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(drain_peer(peers[2 - i]).closed, i == row.position) << row.name << i;
        while (state_.connections)
            close_tunnel_connection(&state_.connections);
    }
    EXPECT_THAT(fake::sg.calls, IsEmpty());
}

TEST_F(Tunnel, SelectSetHoldsEveryPortAndConnection) {
    fd_set set;
    int highest = -1;
    build_select_set(state_, &set, &highest);
    EXPECT_EQ(highest, 0);
    for (int fd = 0; fd < FD_SETSIZE; ++fd)
        ASSERT_FALSE(FD_ISSET(fd, &set)) << fd;
    accept_ready_ports(state_, &set);  // no port: nothing to do
    EXPECT_THAT(fake::sg.calls, IsEmpty());

    listen_port ports[3];
    init_listen_port(&ports[0], "a", 1, 1);
    init_listen_port(&ports[1], "b", 2, 1);
    ports[0].fd = ::dup(0);
    ports[1].fd = ::dup(0);
    state_.ports = ports;
    connect(1);
    connect(2);
    build_select_set(state_, &set, &highest);
    std::vector<int> expected = {ports[0].fd, ports[1].fd, state_.connections->fd,
                                 state_.connections->next->fd};
    std::vector<int> in_set;
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if (FD_ISSET(fd, &set))
            in_set.push_back(fd);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(in_set, expected);
    EXPECT_EQ(highest, expected.back());
    ::close(ports[0].fd);
    ::close(ports[1].fd);
    state_.ports = no_ports_;
}

TEST_F(Tunnel, PortListTakesFourPortsAndStopsAtFive) {
    listen_port* none = make_listen_ports({});
    EXPECT_EQ(none[0].port_number, 0);
    EXPECT_EQ(none[0].fd, -1);
    delete[] none;

    const child_outcome five = run_isolated([] {
        make_listen_ports({{1, "a", 1}, {2, "b", 1}, {3, "c", 1}, {4, "d", 1}, {5, "e", 1}});
    });
    EXPECT_EQ(five.signal, SIGABRT);
    EXPECT_EQ(five.out, "Assertion failed: (port - list) <= MAX_LISTEN_PORTS\n\n");

    const child_outcome reopened = run_isolated([] {
        listen_port port;
        init_listen_port(&port, "x", 1, 1);
        port.fd = 0;
        open_listen_port(&port);
    });
    EXPECT_EQ(reopened.signal, SIGABRT);
    EXPECT_EQ(reopened.out, "Assertion failed: port->fd == -1\n\n");
}

TEST_F(Tunnel, InitListenPortKeepsItsOwnCopyOfTheName) {
    char name[] = "web";
    listen_port port;
    init_listen_port(&port, name, 8080, 7);
    name[0] = 'X';
    EXPECT_STREQ(port.name.get(), "web");
    EXPECT_EQ(port.port_number, 8080);
    EXPECT_EQ(port.backlog, 7);
    EXPECT_EQ(port.fd, -1);
}

// ---- accepting, on a real listening socket in a network of the test's own -------------

class TunnelAccept : public Tunnel {
  protected:
    static constexpr std::uint16_t PORT = 7001;

    void SetUp() override {
        std::string problem;
        ASSERT_TRUE(rig::own_network(problem)) << problem;
        Tunnel::SetUp();
        clear_host_cookie();
        init_listen_port(&ports_[0], "web", PORT, 8);
        ports_[0].fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = rig::loopback(PORT);
        ASSERT_EQ(::bind(ports_[0].fd, reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
        ASSERT_EQ(::listen(ports_[0].fd, 8), 0);
        set_nonblocking(ports_[0].fd);
        state_.ports = ports_;
    }
    void TearDown() override {
        Tunnel::TearDown();
        ::close(ports_[0].fd);
    }

    void accept_ready() {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(ports_[0].fd, &ready);
        accept_ready_ports(state_, &ready);
    }

    listen_port ports_[2];
};

// The id is the peer's port as accept stores it (network order) read as a host number.
std::uint16_t id_of(const rig::socket_fd& client) {
    return htons(rig::local_port(client.get()));
}

const fake::answer GRANT = good({0, 0, 0, 0, 0, 0x00, 0x42, 0, 0, 0, 1});
const fake::answer REFUSE = good({0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0});

TEST_F(TunnelAccept, PendingConnectionsAreAllAcceptedNewestFirstAfterOneCookieRequest) {
    std::vector<rig::socket_fd> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(rig::connect_to(PORT));
    fake::sg.script.push_back(GRANT);
    state_.poll_delay.store(500000);

    accept_ready();

    EXPECT_EQ(ids(), (std::vector<std::uint16_t>{id_of(clients[2]), id_of(clients[1]),
                                                 id_of(clients[0])}));
    ASSERT_EQ(fake::sg.calls.size(), 4u);
    EXPECT_FALSE(is_send(fake::sg.calls[0]));  // the cookie, before any node's frame
    const std::vector<sent_frame> opens = {{SEND_FD, id_of(clients[0]), 1, 0, "web"},
                                           {SEND_FD, id_of(clients[1]), 1, 0, "web"},
                                           {SEND_FD, id_of(clients[2]), 1, 0, "web"}};
    EXPECT_EQ(sent_frames(), opens);
    EXPECT_EQ(state_.poll_delay.load(), 0);
    EXPECT_EQ(state_.connections->port, &ports_[0]);
}

TEST_F(TunnelAccept, HeldCookieIsNotRequestedAgain) {
    fake::sg.script.push_back(GRANT);
    ASSERT_EQ(request_host_cookie(SEND_FD), 1);
    fake::sg.calls.clear();
    const rig::socket_fd client = rig::connect_to(PORT);
    accept_ready();
    EXPECT_EQ(sent_frames(), (std::vector<sent_frame>{{SEND_FD, id_of(client), 1, 0, "web"}}));
    EXPECT_EQ(fake::sg.calls.size(), 1u);
}

TEST_F(TunnelAccept, CookieWaitIsBoundedAndAcceptingGoesOn) {
    const rig::socket_fd refused = rig::connect_to(PORT);
    const rig::socket_fd served = rig::connect_to(PORT);
    for (int i = 0; i < COOKIE_REQUEST_BOUND; ++i)
        fake::sg.script.push_back(REFUSE);
    fake::sg.script.push_back(GRANT);

    accept_ready();

    EXPECT_EQ(static_cast<int>(fake::sg.calls.size()), COOKIE_REQUEST_BOUND + 2);
    EXPECT_EQ(seconds_slept, std::vector<int>(COOKIE_REQUEST_BOUND - 1, 1));
    EXPECT_EQ(ids(), std::vector<std::uint16_t>{id_of(served)});
    EXPECT_EQ(sent_frames(), (std::vector<sent_frame>{{SEND_FD, id_of(served), 1, 0, "web"}}));
    EXPECT_TRUE(drain_peer(refused.get()).closed);
    EXPECT_THAT(messages(), ElementsAre("No host cookie after 10 requests, connection closed",
                                        "Got new host cookie 0x0042 sequence 0x00000001"));
}

// Out of descriptors, the pending connection keeps the listening socket ready: the port
// must leave the select set instead of spinning the loop, and say so once per episode.
TEST_F(TunnelAccept, PortWithoutDescriptorsRestsAndLogsOncePerEpisode) {
    reserve_log_descriptors();
    fake::sg.script.push_back(GRANT);
    const rig::socket_fd first = rig::connect_to(PORT);
    accept_ready();
    ASSERT_EQ(ids().size(), 1u);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    const auto starve = [&] {
        const int lowest_free = ::dup(0);
        ::close(lowest_free);
        limit.rlim_cur = static_cast<rlim_t>(lowest_free);
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    };
    const auto select_holds_port = [&] {
        fd_set set;
        int highest = 0;
        const bool resting = build_select_set(state_, &set, &highest);
        return !resting && FD_ISSET(ports_[0].fd, &set);
    };

    const rig::socket_fd waiting = rig::connect_to(PORT);
    ASSERT_TRUE(starve());
    accept_ready();
    EXPECT_EQ(accept_tunnel_connection(state_, &ports_[0]), 0);  // same episode: no new line
    EXPECT_FALSE(select_holds_port());
    now_value = NOW + ACCEPT_REST_SECONDS;
    EXPECT_FALSE(select_holds_port());
    now_value = NOW + ACCEPT_REST_SECONDS + 1;
    EXPECT_TRUE(select_holds_port());

    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    accept_ready();  // served once descriptors are free again
    EXPECT_EQ(ids().size(), 2u);
    const rig::socket_fd later = rig::connect_to(PORT);
    ASSERT_TRUE(starve());
    accept_ready();  // a new episode
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(select_holds_port());
    ::shutdown(first.get(), SHUT_WR);  // a connection that ends frees a descriptor
    fd_set ready;
    FD_ZERO(&ready);
    for (auto* c = state_.connections.get(); c != nullptr; c = c->next.get())
        FD_SET(c->fd, &ready);
    relay_connections(state_, &ready);
    EXPECT_TRUE(select_holds_port());

    const std::vector<std::string> logged = messages();
    EXPECT_EQ(std::count(logged.begin(), logged.end(),
                         "Cannot accept on port 7001: Too many open files; no new connection "
                         "for a second"),
              2)
        << ::testing::PrintToString(logged);
}

TEST(TicketLock, WaiterGetsTheLockAtTheHoldersNextRelease) {
    ticket_lock lock;
    std::vector<char> order;  // written only with `lock` held
    lock.lock();
    std::thread waiter([&] {
        lock.lock();
        order.push_back('w');
        lock.unlock();
    });
    while (lock.queued() < 2)
        std::this_thread::yield();
    for (int i = 0; i < 3; ++i) {  // release and take it straight back, as the run loop does
        lock.unlock();
        lock.lock();
        order.push_back('h');
    }
    lock.unlock();
    waiter.join();
    EXPECT_EQ(order, (std::vector<char>{'w', 'h', 'h', 'h'}));
}

TEST_F(TunnelAccept, SocketBeyondTheSelectSetIsClosedAtOnce) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, FD_SETSIZE + 16);
    limit.rlim_max = std::max(limit.rlim_max, limit.rlim_cur);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0) << std::strerror(errno);
    const rig::socket_fd client = rig::connect_to(PORT);
    // Every number below FD_SETSIZE taken: the accepted socket gets FD_SETSIZE.
    std::vector<int> fillers;
    for (int fd; fillers.empty() || fillers.back() < FD_SETSIZE - 1;) {
        ASSERT_GE(fd = ::dup(0), 0) << std::strerror(errno);
        fillers.push_back(fd);
    }

    accept_ready();

    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(state_.connections, nullptr);
    EXPECT_THAT(fake::sg.calls, IsEmpty());
    EXPECT_TRUE(drain_peer(client.get()).closed);
    EXPECT_THAT(messages(),
                ElementsAre("Connection socket 1024 lies beyond the select set, closed"));
}

}  // namespace
