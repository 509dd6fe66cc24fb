// The simulated array's tunnel side, driven as the host drives it: hand-built frame and host
// cookie commands on a node's descriptor, which the preloaded layer carries to a simulator
// serving from a thread of this test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/config.h"
#include "sim/sim.h"
#include "tests/support/network.h"
#include "tests/support/rig.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using sim::violation;

constexpr std::uint8_t OPEN = 0x40;
constexpr std::uint8_t CLOSE = 0x20;
constexpr std::uint8_t MORE = 0x80;

std::uint8_t byte_of(std::uint32_t value, int shift) {
    return static_cast<std::uint8_t>(value >> shift);
}

bytes receive_cdb(std::uint16_t cookie, std::uint32_t sequence, std::uint16_t max_length) {
    return {0x7F,
            0,
            byte_of(cookie, 8),
            byte_of(cookie, 0),
            byte_of(max_length, 8),
            byte_of(max_length, 0),
            0,
            6,
            0xF8,
            0,
            byte_of(sequence, 24),
            byte_of(sequence, 16),
            byte_of(sequence, 8),
            byte_of(sequence, 0)};
}

bytes send_cdb(std::uint16_t cookie, std::uint16_t id, std::uint8_t flags, std::uint32_t sequence,
               std::size_t length) {
    return {0x7F,
            0,
            byte_of(cookie, 8),
            byte_of(cookie, 0),
            byte_of(id, 8),
            byte_of(id, 0),
            flags,
            8,
            0xF8,
            1,
            byte_of(sequence, 24),
            byte_of(sequence, 16),
            byte_of(sequence, 8),
            byte_of(sequence, 0),
            byte_of(static_cast<std::uint32_t>(length), 8),
            byte_of(static_cast<std::uint32_t>(length), 0)};
}

const bytes cookie_cdb{0x7F, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 6, 0xF8, 0, 0xFF, 0xFF, 0xFF, 0xFF};

struct reply {
    int rc = 0;
    int error = 0;
    std::uint8_t status = 0;
    int resid = 0;
    bytes data;
};

reply issue(int fd, const bytes& cdb, int direction, bytes data) {
    reply r;
    r.data = std::move(data);
    unsigned char sense[32];
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.dxfer_direction = direction;
    h.cmd_len = static_cast<unsigned char>(cdb.size());
    h.mx_sb_len = sizeof sense;
    h.dxfer_len = static_cast<unsigned>(r.data.size());
    h.dxferp = r.data.empty() ? nullptr : r.data.data();
    h.cmdp = const_cast<std::uint8_t*>(cdb.data());
    h.sbp = sense;
    h.timeout = 30000;
    r.rc = ioctl(fd, SG_IO, &h);
    r.error = errno;
    r.status = h.status;
    r.resid = h.resid;
    return r;
}

/// A frame as the array returned it.
struct frame {
    std::uint16_t id = 0;
    std::uint8_t flags = 0;
    std::string payload;

    bool empty() const { return id == 0 && flags == 0 && payload.empty(); }
    bool operator==(const frame&) const = default;
};

std::ostream& operator<<(std::ostream& os, const frame& f) {
    return os << "{id " << f.id << " flags " << int(f.flags) << " \"" << f.payload << "\"}";
}

/// The host's side of a link, kept by the host's rules.
struct host_link {
    std::uint16_t cookie = 0;
    std::uint32_t send = 0;
    std::uint32_t receive = 0;
};

class ArrayTunnel : public ::testing::Test {
  public:  // the table rows drive the fixture
    void SetUp() override {
        ASSERT_TRUE(rig::layer_preloaded()) << rig::NOT_PRELOADED;
        std::string problem;
        ASSERT_TRUE(rig::own_network(problem)) << problem;  // before the simulator's threads
        char name[] = "/tmp/tolva-tunnel-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        sim_ = std::make_unique<sim::simulator>(dir_ + "/sim.sock");
        sim_->add_service("A", "echo", {sim::service_kind::echo, "", "", 0});
        sim_->add_service("A", "hello", {sim::service_kind::greet, "Hello there", "", 0});
        sim_->add_service("A", "no", {sim::service_kind::refuse, "", "", 0});
        sim_->add_service("A", "void", {sim::service_kind::sink, "", "", 0});
        ASSERT_TRUE(sim_->start());
        use("sg1");
    }

    void TearDown() override {
        for (int fd : fds_)
            close(fd);
        if (sim_)
            sim_->stop();
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    /// Adds an enclosure of array A (once) and sends the next commands through it.
    void use(const std::string& node) {
        sim::enclosure_config config;
        config.node = node;
        config.array = "A";
        sim_->add_enclosure(config);
        sim_->write_node(dir_, node);
        fd_ = open((dir_ + "/" + node).c_str(), O_RDWR);
        ASSERT_GE(fd_, 0);
        fds_.push_back(fd_);
        node_ = node;
    }

    reply request_cookie() { return issue(fd_, cookie_cdb, SG_DXFER_FROM_DEV, bytes(65535, 0xAA)); }

    /// A cookie request whose grant the host takes; false when none was granted.
    bool grant(host_link& link) {
        const reply r = request_cookie();
        if (r.rc != 0 || r.status != 0 || (r.data[5] == 0xFF && r.data[6] == 0xFF))
            return false;
        link.cookie = static_cast<std::uint16_t>(r.data[5] << 8 | r.data[6]);
        link.send = link.receive = static_cast<std::uint32_t>(r.data[7]) << 24 | r.data[8] << 16 |
                                   r.data[9] << 8 | r.data[10];
        return true;
    }

    reply raw_send(std::uint16_t cookie, std::uint32_t sequence, std::uint16_t id,
                   std::uint8_t flags, const std::string& payload) {
        return issue(fd_, send_cdb(cookie, id, flags, sequence, payload.size()), SG_DXFER_TO_DEV,
                     bytes(payload.begin(), payload.end()));
    }

    /// A send as the host makes it: its sequence moves on when the array accepted it.
    reply send(host_link& link, std::uint16_t id, std::uint8_t flags,
               const std::string& payload = "") {
        const reply r = raw_send(link.cookie, link.send, id, flags, payload);
        if (r.rc == 0 && r.status == 0)
            ++link.send;
        return r;
    }

    frame raw_receive(std::uint16_t cookie, std::uint32_t sequence, std::uint16_t max = 65535,
                      reply* out = nullptr) {
        const reply r =
            issue(fd_, receive_cdb(cookie, sequence, max), SG_DXFER_FROM_DEV, bytes(65535, 0xAA));
        if (out != nullptr)
            *out = r;
        frame f;
        if (r.rc != 0 || r.status != 0)
            return f;
        EXPECT_EQ(r.resid, 65535 - 5 - (r.data[3] << 8 | r.data[4]));
        f.id = static_cast<std::uint16_t>(r.data[0] << 8 | r.data[1]);
        f.flags = r.data[2];
        f.payload.assign(r.data.begin() + 5, r.data.begin() + 5 + (r.data[3] << 8 | r.data[4]));
        return f;
    }

    /// A receive as the host makes it, advancing its sequence by the host's rule.
    frame receive(host_link& link, std::uint16_t max = 65535) {
        const frame f = raw_receive(link.cookie, link.receive, max);
        if (!f.payload.empty() || (f.flags & (OPEN | CLOSE)))
            ++link.receive;
        return f;
    }

    /// Receives until the array has nothing more (at most 1000 frames).
    std::vector<frame> drain(host_link& link) {
        std::vector<frame> got;
        for (frame f = receive(link); !f.empty() && got.size() < 1000; f = receive(link))
            got.push_back(f);
        EXPECT_LT(got.size(), 1000u) << "the array never ran dry";
        return got;
    }

    /// Frame fields of this enclosure's frame sends and receives, in order.
    std::vector<sim::frame_fields> frame_commands() const {
        std::vector<sim::frame_fields> out;
        for (const auto& e : sim_->journal()) {
            if (e.enclosure == node_ && e.frame && e.kind != sim::command_kind::cookie_request)
                out.push_back(*e.frame);
        }
        return out;
    }

    std::vector<violation> violations() const {
        std::vector<violation> out;
        for (const auto& f : frame_commands())
            out.push_back(f.problem);
        return out;
    }

    std::string dir_;
    std::unique_ptr<sim::simulator> sim_;
    std::vector<int> fds_;
    int fd_ = -1;
    std::string node_;
};

TEST_F(ArrayTunnel, CookieRequestsAreGrantedRefusedOrFailedByTheRules) {
    struct answer {
        std::uint8_t status;
        std::uint16_t cookie;  // 0xFFFF: refused
        std::uint32_t sequence;
    };
    struct row {
        const char* name;
        std::vector<sim::cookie_rule> rules;
        std::optional<sim::fault> fault;
        std::vector<answer> answers;
    };
    const row rows[] = {
        {"no rule: 1, 2, 3", {}, {}, {{0, 1, 0}, {0, 2, 0}, {0, 3, 0}}},
        {"one grant, then the default", {{true, 0x1234, 7, 0, 1}}, {}, {{0, 0x1234, 7}, {0, 1, 0}}},
        {"cookie 0 with the last sequence",
         {{true, 0, 0xFFFFFFFF, 0, -1}},
         {},
         {{0, 0, 0xFFFFFFFF}, {0, 0, 0xFFFFFFFF}}},
        {"refused twice, then stepping grants",
         {{false, 0, 0, 0, 2}, {true, 0x42, 9, 0x10, -1}},
         {},
         {{0, 0xFFFF, 0}, {0, 0xFFFF, 0}, {0, 0x42, 9}, {0, 0x52, 9}}},
        {"steps wrap below FF FF", {{true, 0xFFFE, 1, 1, -1}}, {}, {{0, 0xFFFE, 1}, {0, 0, 1}}},
        {"failed by a fault",
         {},
         sim::fault{sim::fault_kind::check_condition, sim::command_kind::cookie_request, 1},
         {{2, 0, 0}, {0, 1, 0}}},
    };
    int n = 0;
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        use("c" + std::to_string(n++));
        for (const auto& rule : c.rules)
            sim_->plan_cookies(node_, rule);
        if (c.fault)
            sim_->inject(node_, *c.fault);
        for (const answer& a : c.answers) {
            const reply r = request_cookie();
            ASSERT_EQ(r.rc, 0);
            ASSERT_EQ(r.status, a.status);
            const auto entry = sim_->journal().back();
            EXPECT_EQ(entry.kind, sim::command_kind::cookie_request);
            ASSERT_TRUE(entry.frame);
            if (a.status != 0) {
                EXPECT_EQ(r.data[5], 0xAA) << "a failed request returned data";
                continue;
            }
            EXPECT_EQ(r.resid, 65535 - 11);
            EXPECT_EQ(
                bytes(r.data.begin() + 5, r.data.begin() + 11),
                (bytes{byte_of(a.cookie, 8), byte_of(a.cookie, 0), byte_of(a.sequence, 24),
                       byte_of(a.sequence, 16), byte_of(a.sequence, 8), byte_of(a.sequence, 0)}));
            EXPECT_EQ(entry.frame->cookie, a.cookie);
            EXPECT_EQ(entry.frame->sequence, a.sequence);
        }
    }
}

TEST_F(ArrayTunnel, EveryFrameCommandIsCheckedAgainstTheLinkItsCookieNames) {
    using exchange = std::function<void(ArrayTunnel&, host_link&)>;
    struct row {
        const char* name;
        sim::cookie_rule rule;
        exchange run;
        std::vector<violation> expected;
    };
    const violation ok = violation::none;
    const sim::cookie_rule stepping{true, 0x0100, 10, 0x100, -1};
    const row rows[] = {
        {"a correct exchange",
         stepping,
         [](ArrayTunnel& t, host_link& l) {
             t.send(l, 7, OPEN, "echo");
             EXPECT_TRUE(t.receive(l).empty());
             t.send(l, 7, 0, "abc");
             EXPECT_EQ(t.receive(l), (frame{7, 0, "abc"}));
             EXPECT_TRUE(t.receive(l).empty());
             t.send(l, 7, CLOSE);
             t.send(l, 0, 0);  // the host's keep-alive
         },
         {ok, ok, ok, ok, ok, ok, ok}},
        {"cookies it never granted; 0, none held, is no violation",
         stepping,
         [](ArrayTunnel& t, host_link& l) {
             t.raw_send(static_cast<std::uint16_t>(l.cookie + 1), l.send, 7, OPEN, "echo");
             t.raw_receive(0, l.receive);
             t.send(l, 7, OPEN, "echo");
         },
         {violation::wrong_cookie, ok, ok}},
        {"sends repeated and skipped",
         stepping,
         [](ArrayTunnel& t, host_link& l) {
             t.send(l, 7, OPEN, "echo");
             t.raw_send(l.cookie, l.send - 1, 7, 0, "x");
             l.send += 1;  // the host skips a number and goes on from there
             t.send(l, 7, 0, "y");
             t.send(l, 7, 0, "z");
         },
         {ok, violation::repeated_sequence, violation::skipped_sequence, ok}},
        {"receives repeated and skipped",
         stepping,
         [](ArrayTunnel& t, host_link& l) {
             t.send(l, 7, OPEN, "echo");
             t.send(l, 7, 0, "x");
             EXPECT_EQ(t.receive(l), (frame{7, 0, "x"}));
             l.receive -= 1;  // an advance the host lost
             t.receive(l);
             t.receive(l);
             l.receive += 1;  // one it made twice
             t.receive(l);
             t.receive(l);
         },
         {ok, ok, ok, violation::repeated_sequence, ok, violation::skipped_sequence, ok}},
        {"failed sends come again with their number",
         stepping,
         [](ArrayTunnel& t, host_link& l) {
             t.sim_->inject(t.node_, {sim::fault_kind::busy, sim::command_kind::frame_send, 3});
             for (int i = 0; i < 3; ++i)
                 EXPECT_EQ(t.send(l, 7, OPEN, "echo").status, 0x08);
             EXPECT_EQ(t.send(l, 7, OPEN, "echo").status, 0);
             // GOOD without data: the host counts the frame sent, and so does the array.
             t.sim_->inject(t.node_,
                            {sim::fault_kind::good_no_data, sim::command_kind::frame_send, 1});
             t.send(l, 7, 0, "lost");
             t.send(l, 7, 0, "kept");
             EXPECT_EQ(t.drain(l), (std::vector<frame>{{7, 0, "kept"}}));
         },
         {ok, ok, ok, ok, ok, ok, ok, ok}},
        {"late commands of an earlier link",
         stepping,
         [](ArrayTunnel& t, host_link& l) {
             t.send(l, 7, OPEN, "echo");
             t.send(l, 7, 0, "old");
             const host_link old = l;
             ASSERT_TRUE(t.grant(l));
             EXPECT_NE(l.cookie, old.cookie);
             // In flight across the grant: answered with nothing, not a violation.
             EXPECT_TRUE(t.raw_receive(old.cookie, old.receive).empty());
             t.raw_send(old.cookie, old.send, 7, 0, "late");
             t.raw_receive(old.cookie, old.receive + 1);
             // The new link has neither the old connection nor its waiting frame.
             EXPECT_EQ(t.drain(l), (std::vector<frame>{}));
             t.send(l, 7, 0, "gone");
             EXPECT_EQ(t.drain(l), (std::vector<frame>{{7, CLOSE, ""}}));
         },
         {ok, ok, ok, ok, violation::skipped_sequence, ok, ok, ok, ok}},
        {"sequences wrap",
         {true, 5, 0xFFFFFFFF, 0, -1},
         [](ArrayTunnel& t, host_link& l) {
             t.send(l, 7, OPEN, "echo");
             EXPECT_EQ(l.send, 0u);
             t.send(l, 7, 0, "a");
             t.raw_send(l.cookie, 0xFFFFFFFF, 7, 0, "b");
         },
         {ok, ok, violation::repeated_sequence}},
    };
    int n = 0;
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        use("v" + std::to_string(n++));
        sim_->plan_cookies(node_, c.rule);
        host_link link;
        ASSERT_TRUE(grant(link));
        c.run(*this, link);
        EXPECT_EQ(violations(), c.expected);
    }
    // The journal's text carries the frame fields.
    const auto sent = sim_->journal().front();
    ASSERT_EQ(sent.kind, sim::command_kind::cookie_request);
    const auto entries = sim_->journal();
    const auto open_frame = std::find_if(entries.begin(), entries.end(), [](const auto& e) {
        return e.kind == sim::command_kind::frame_send;
    });
    ASSERT_NE(open_frame, entries.end());
    EXPECT_NE(sim::format_entry(*open_frame)
                  .find(" cookie=0x0100 seq=0x0000000a conn=0x0007 flags=0x40 len=4 "
                        "violation=none"),
              std::string::npos)
        << sim::format_entry(*open_frame);
}

TEST_F(ArrayTunnel, LongDataIsSplitAndTheMoreFlagShowsWhatWaits) {
    sim_->set_tunnel(node_, {4, 0, {}});
    host_link link;
    ASSERT_TRUE(grant(link));
    send(link, 0x0102, OPEN, "echo");
    send(link, 0x0102, 0, "abcdefghij");
    send(link, 0x0102, 0, "kl");
    EXPECT_EQ(drain(link), (std::vector<frame>{{0x0102, MORE, "abcd"},
                                               {0x0102, MORE, "efgh"},
                                               {0x0102, MORE, "ij"},
                                               {0x0102, 0, "kl"}}));
    // The command's maximum length bounds the frame too; too small for a head is refused.
    send(link, 0x0102, 0, "mnop");
    reply refused;
    EXPECT_TRUE(raw_receive(link.cookie, link.receive, 4, &refused).empty());
    EXPECT_EQ(refused.status, 0x02);
    EXPECT_EQ(receive(link, 7), (frame{0x0102, MORE, "mn"}));
    EXPECT_EQ(receive(link), (frame{0x0102, 0, "op"}));
    const auto fields = frame_commands();
    ASSERT_FALSE(fields.empty());
    EXPECT_EQ(fields.back().flags, 0);
    EXPECT_EQ(fields.back().payload_length, 2);
    EXPECT_EQ(fields.back().connection_id, 0x0102);
    EXPECT_EQ(fields[fields.size() - 2].flags, MORE);
    EXPECT_EQ(violations(), std::vector<violation>(fields.size(), violation::none));
}

TEST_F(ArrayTunnel, PortNamesReachTheirServices) {
    struct row {
        const char* name;
        std::vector<frame> after_open;
        std::vector<frame> after_data;
    };
    const row rows[] = {
        {"echo", {}, {{0, 0, "ping"}}},
        {"hello", {{0, 0, "Hello there"}}, {}},
        {"void", {}, {}},
        {"no", {{0, CLOSE, ""}}, {{0, CLOSE, ""}}},
        {"unknown", {{0, CLOSE, ""}}, {{0, CLOSE, ""}}},
    };
    host_link link;
    ASSERT_TRUE(grant(link));
    std::uint16_t id = 0x1000;
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        ++id;
        auto with_id = [id](std::vector<frame> frames) {
            for (auto& f : frames)
                f.id = id;
            return frames;
        };
        send(link, id, OPEN, c.name);
        EXPECT_EQ(drain(link), with_id(c.after_open));
        send(link, id, 0, "ping");
        EXPECT_EQ(drain(link), with_id(c.after_data));
    }
    // Ids the array does not know: a close answers all but a close.
    send(link, 0x2000, 0, "data");
    send(link, 0x2001, CLOSE);
    EXPECT_EQ(drain(link), (std::vector<frame>{{0x2000, CLOSE, ""}}));
    // A close delivers its payload first; then the connection is gone.
    send(link, 0x2002, OPEN, "echo");
    send(link, 0x2002, CLOSE, "last");
    send(link, 0x2002, 0, "after");
    EXPECT_EQ(drain(link), (std::vector<frame>{{0x2002, MORE, "last"}, {0x2002, CLOSE, ""}}));
}

/// A loopback TCP server of the test.
class server {
  public:
    server() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd_, 8) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~server() { close(fd_); }
    std::uint16_t port() const { return port_; }
    int listener() const { return fd_; }

    /// The next connection, or -1 after 10 seconds.
    int accept_one() const {
        struct pollfd ready = {fd_, POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1)
            return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

    /// Up to `length` bytes, "" at the end of the stream, or "timeout" after 10 seconds.
    static std::string read_some(int fd, std::size_t length) {
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1)
            return "timeout";
        std::string text(length, '\0');
        const ssize_t got = read(fd, text.data(), length);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return text;
    }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

TEST_F(ArrayTunnel, RelayCarriesBytesBothWaysAndEndsWithEitherSide) {
    server srv;
    ASSERT_NE(srv.port(), 0);
    sim_->add_service("A", "db", {sim::service_kind::relay, "", "127.0.0.1", srv.port()});
    sim_->add_service("A", "gone", {sim::service_kind::relay, "", "127.0.0.1", 1});
    host_link link;
    ASSERT_TRUE(grant(link));

    // Frames until one arrives; the relay's bytes come when its server sends them.
    auto next_frame = [&] {
        frame f;
        rig::sandbox::eventually([&] { return !(f = receive(link)).empty(); });
        return f;
    };

    send(link, 0x3001, OPEN, "db");
    const int peer = srv.accept_one();
    ASSERT_GE(peer, 0);
    send(link, 0x3001, 0, "hello");
    EXPECT_EQ(server::read_some(peer, 64), "hello");
    ASSERT_EQ(write(peer, "world", 5), 5);
    EXPECT_EQ(next_frame(), (frame{0x3001, 0, "world"}));
    close(peer);
    EXPECT_EQ(next_frame(), (frame{0x3001, CLOSE, ""}));

    // The host's close: what it sent before still arrives, then the end of the stream.
    send(link, 0x3002, OPEN, "db");
    const int second = srv.accept_one();
    ASSERT_GE(second, 0);
    send(link, 0x3002, 0, "bye");
    send(link, 0x3002, CLOSE);
    std::string got;
    for (std::string part = "x"; !part.empty() && part != "timeout";
         part = server::read_some(second, 64)) {
        got += part == "x" ? "" : part;
    }
    EXPECT_EQ(got, "bye");
    close(second);

    send(link, 0x3003, OPEN, "gone");  // nothing listens there
    EXPECT_EQ(next_frame(), (frame{0x3003, CLOSE, ""}));
    EXPECT_TRUE(drain(link).empty());
    EXPECT_EQ(violations(), std::vector<violation>(frame_commands().size(), violation::none));
}

TEST_F(ArrayTunnel, KeepAlivesComeByCountAndByTimeButNotInSilence) {
    const auto start = std::chrono::steady_clock::now();
    std::atomic<int> now_ms{0};
    sim_->set_clock([&] { return start + std::chrono::milliseconds(now_ms.load()); });
    sim_->set_tunnel(node_, {65530, 3, std::chrono::milliseconds(5000)});
    host_link link;
    ASSERT_TRUE(grant(link));
    const frame keepalive{0, 0, "KEEPALIVE"};
    const frame none{};
    struct step {
        int at_ms;
        frame expected;
    };
    const step steps[] = {
        {0, none},         {0, none},         {0, keepalive},  // third receive
        {4999, none},      {5000, keepalive},                  // 5 s after the last
        {5000, keepalive},                                     // sixth receive
        {5000, none},
    };
    for (const step& s : steps) {
        now_ms = s.at_ms;
        EXPECT_EQ(receive(link), s.expected) << s.at_ms;
    }

    send(link, 9, OPEN, "echo");
    send(link, 9, 0, "held");
    sim_->set_silent(node_, true);
    now_ms = 60000;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(receive(link), none) << i;
    sim_->set_silent(node_, false);
    frame more_keepalive = keepalive;
    more_keepalive.flags = MORE;
    // One due by time, then one by count (the ninth receive).
    EXPECT_EQ(drain(link), (std::vector<frame>{{9, MORE, "held"}, more_keepalive, keepalive}));
    EXPECT_EQ(violations(), std::vector<violation>(frame_commands().size(), violation::none));
}

TEST_F(ArrayTunnel, ConfigurationLinesSetCookiesTunnelAndServices) {
    const std::string path = dir_ + "/array.conf";
    std::ofstream(path) << "enclosure sg5 array=C serial=000000SN0005\n"
                           "cookie sg5 refuse count=1\n"
                           "cookie sg5 grant cookie=0x77 sequence=5 step=2\n"
                           "tunnel sg5 frame_size=3 keepalive_every=100 silent=1\n"
                           "service C e echo\n"
                           "service C g greet Hi   there\n"
                           "fault sg5 busy on=frame_send count=1\n";
    std::string problem;
    ASSERT_TRUE(sim::load_config(path, *sim_, problem)) << problem;
    sim_->write_node(dir_, "sg5");
    fd_ = open((dir_ + "/sg5").c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
    fds_.push_back(fd_);

    host_link link;
    EXPECT_FALSE(grant(link));
    ASSERT_TRUE(grant(link));
    EXPECT_EQ(link.cookie, 0x77);
    EXPECT_EQ(link.send, 5u);
    ASSERT_TRUE(grant(link));
    EXPECT_EQ(link.cookie, 0x79);
    EXPECT_EQ(send(link, 4, OPEN, "e").status, 0x08);
    EXPECT_EQ(send(link, 4, OPEN, "e").status, 0);
    send(link, 4, 0, "xyzw");
    EXPECT_TRUE(receive(link).empty());
    sim_->set_silent("sg5", false);
    EXPECT_EQ(drain(link), (std::vector<frame>{{4, MORE, "xyz"}, {4, 0, "w"}}));
    send(link, 5, OPEN, "g");
    std::string greeting;
    for (const frame& f : drain(link))
        greeting += f.id == 5 ? f.payload : "";
    EXPECT_EQ(greeting, "Hi there");
}

TEST_F(ArrayTunnel, TwoHostThreadsAndRelaysLeaveTheLinksConsistent) {
    // The host's link under its own lock, as the tunnel keeps it: the receiving thread
    // snapshots it and drops its advance when a grant came meanwhile.
    std::mutex host;
    host_link link;
    std::uint64_t generation = 0;
    std::atomic<bool> done{false};

    server srv;
    ASSERT_NE(srv.port(), 0);
    sim_->add_service("A", "db", {sim::service_kind::relay, "", "127.0.0.1", srv.port()});
    sim_->set_tunnel(node_, {1000, 5, {}});
    std::thread serving([&] {
        const std::string blob(4000, 'r');
        while (!done) {
            struct pollfd ready = {srv.listener(), POLLIN, 0};
            if (poll(&ready, 1, 20) != 1)
                continue;
            const int peer = accept4(srv.listener(), nullptr, nullptr, SOCK_CLOEXEC);
            if (peer >= 0) {
                EXPECT_EQ(write(peer, blob.data(), blob.size()), 4000);
                close(peer);
            }
        }
    });
    std::atomic<int> payloads{0};
    std::atomic<int> receives{0};
    std::thread receiving([&] {
        while (!done) {
            host_link snapshot;
            std::uint64_t seen = 0;
            {
                std::lock_guard lock(host);
                snapshot = link;
                seen = generation;
            }
            if (snapshot.cookie == 0) {  // no link yet
                std::this_thread::yield();
                continue;
            }
            const frame f = raw_receive(snapshot.cookie, snapshot.receive);
            ++receives;
            if (!f.payload.empty())
                ++payloads;
            std::lock_guard lock(host);
            if (seen == generation && (!f.payload.empty() || (f.flags & (OPEN | CLOSE))))
                ++link.receive;
        }
    });
    for (int round = 0; round < 40; ++round) {
        {
            std::lock_guard lock(host);
            EXPECT_TRUE(grant(link));
            ++generation;
            send(link, 1, OPEN, "echo");
            send(link, 2, OPEN, "db");
            for (int i = 0; i < 5; ++i)
                send(link, 1, 0, std::string(300, 'e'));
        }
        // The receiving thread gets its turn; its commands also cross the next grant.
        const int before = receives;
        while (receives < before + 3)
            std::this_thread::yield();
    }
    done = true;
    receiving.join();
    serving.join();

    EXPECT_GT(payloads.load(), 0);
    int checked = 0;
    for (const auto& f : frame_commands()) {
        EXPECT_EQ(f.problem, violation::none)
            << "cookie " << f.cookie << " sequence " << f.sequence;
        ++checked;
    }
    EXPECT_GT(checked, 40 * 7);
}

}  // namespace
