// tolvad -p in the sandbox against simulated enclosures; the journal shows every transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace {

const char PUSHING[] = "Pushing the current host view to the Vantor[s].";

std::string token(int index) {
    return "DEVICE" + std::to_string(index);
}

// A section of exactly `length` characters made of lines that begin with its token.
std::string section(int index, std::size_t length) {
    const std::string tok = token(index) + " ";
    const std::size_t lines = std::max<std::size_t>(1, length / 100);
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        const std::size_t size = i == 0 ? length - (lines - 1) * 100 : 100;
        out += tok + std::string(size - tok.size() - 1, 'a' + static_cast<char>(i % 26)) + "\n";
    }
    return out;
}

// The same section under another index (its lines all begin with the token).
std::string renumbered(int from, int to, std::size_t length) {
    std::string text = section(from, length);
    const std::string old_token = token(from), new_token = token(to);
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out += new_token + text.substr(start + old_token.size(), end - start - old_token.size()) +
               "\n";
        start = end + 1;
    }
    return out;
}

struct transfer {
    std::uint64_t sequence;
    std::string enclosure;
    int ioctl_result;
    std::string data;
};

std::vector<transfer> sends(rig::sandbox& sb) {
    std::vector<transfer> out;
    for (const sim::journal_entry& e : sb.array().journal()) {
        if (e.kind != sim::command_kind::hostinfo_send)
            continue;
        out.push_back({e.sequence, e.enclosure, e.ioctl_result,
                       std::string(e.data_out.begin(), e.data_out.end())});
    }
    std::sort(out.begin(), out.end(),
              [](const transfer& a, const transfer& b) { return a.sequence < b.sequence; });
    return out;
}

std::size_t count(const std::vector<std::string>& messages, const std::string& message) {
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
}

class PushOnce : public ::testing::Test {
  protected:
    // Two enclosures of two arrays, serial texts "1111" and "2222".
    void add_two_arrays() {
        sb_.add_enclosure("sg1", "alpha", "SERIAL001111");
        sb_.add_enclosure("sg2", "beta", "SERIAL002222");
    }
    rig::run_result push(std::vector<std::string> options = {"-p"},
                         const std::map<std::string, std::string>& env = {}) {
        options.insert(options.begin(), "/usr/sbin/tolvad");
        return sb_.run(options, env);
    }
    std::string serial_of(const std::string& node) const { return node == "sg1" ? "1111" : "2222"; }

    rig::sandbox sb_;
};

TEST_F(PushOnce, ViewThatFitsGoesWholeToEveryEnclosure) {
    add_two_arrays();
    sb_.array().inject("sg2", {sim::fault_kind::ioctl_error, sim::command_kind::hostinfo_send});
    const std::string view = "H\n" + section(0, 65534 - 2);
    sb_.set_script_output(view);

    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;

    const std::vector<transfer> t = sends(sb_);
    ASSERT_EQ(t.size(), 2u);
    for (const transfer& x : t)
        EXPECT_EQ(x.data, view + std::string(1, '\0')) << x.enclosure;
    const auto messages = sb_.log_messages();
    EXPECT_EQ(count(messages, PUSHING), 2u);
    EXPECT_EQ(count(messages, "Failed to send the host information to the VanTor 2222 ."), 1u);
    EXPECT_EQ(count(messages, "Failed to send the host information to the VanTor 1111 ."), 0u);
}

TEST_F(PushOnce, FourSectionsGoInTwoChunksEachToEveryEnclosureFirst) {
    add_two_arrays();
    const std::string head = std::string(99, 'h') + "\n";
    std::string view = head;
    for (int i = 0; i < 4; ++i)
        view += section(i, 30000);
    sb_.set_script_output(view);

    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;

    const std::string first = head + section(0, 30000) + section(1, 30000) + '\0';
    const std::string second =
        head + renumbered(2, 0, 30000) + renumbered(3, 1, 30000) + std::string(1, '\0');
    const std::vector<transfer> t = sends(sb_);
    ASSERT_EQ(t.size(), 4u);
    // Device list order is directory order: whichever enclosure came first keeps its place.
    EXPECT_NE(t[0].enclosure, t[1].enclosure);
    EXPECT_EQ(t[2].enclosure, t[0].enclosure);
    EXPECT_EQ(t[3].enclosure, t[1].enclosure);
    EXPECT_EQ(t[0].data, first);
    EXPECT_EQ(t[1].data, first);
    EXPECT_EQ(t[2].data, second);
    EXPECT_EQ(t[3].data, second);
    EXPECT_EQ(count(sb_.log_messages(), PUSHING), 0u);
    EXPECT_EQ(sb_.array().stored_view("alpha").value_or(std::vector<std::uint8_t>{}).size(),
              second.size());
}

TEST_F(PushOnce, OneCharacterOverTheLimitFlushesTwiceAndSurvivesAFailedEnclosure) {
    add_two_arrays();
    sb_.array().inject("sg2", {sim::fault_kind::ioctl_error, sim::command_kind::hostinfo_send});
    const std::string head = "H\n";
    const std::string view = head + section(0, 40000) + section(1, 65535 - 40002);
    ASSERT_EQ(view.size(), 65535u);
    sb_.set_script_output(view);

    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;

    const std::vector<transfer> t = sends(sb_);
    ASSERT_EQ(t.size(), 4u);
    std::vector<std::string> delivered;
    for (const transfer& x : t) {
        if (x.enclosure == "sg1") {
            EXPECT_EQ(x.ioctl_result, 0);
            delivered.push_back(x.data);
        } else {
            EXPECT_EQ(x.ioctl_result, -1);
        }
    }
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0], head + section(0, 40000) + '\0');
    EXPECT_EQ(delivered[1], head + renumbered(1, 0, 65535 - 40002) + '\0');

    const auto messages = sb_.log_messages();
    const auto b = std::find(messages.begin(), messages.end(),
                             "0xB Failed to send the host information to the VanTor 2222 .");
    const auto c = std::find(messages.begin(), messages.end(),
                             "0xC Failed to send  host information to the VanTor 2222 .");
    EXPECT_TRUE(b != messages.end() && c != messages.end() && b < c) << sb_.log();
    EXPECT_EQ(sb_.log().find("VanTor 1111"), std::string::npos) << sb_.log();
}

TEST_F(PushOnce, EnclosureThatFailedToOpenIsReported) {
    add_two_arrays();
    // The probe succeeds, then the node disappears before the daemon opens it for good.
    sb_.array().inject("sg2", {sim::fault_kind::vanish, sim::command_kind::inquiry, 1});
    sb_.set_script_output("H\nDEVICE0 disk\n");

    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::vector<transfer> t = sends(sb_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].enclosure, "sg1");
    const auto messages = sb_.log_messages();
    EXPECT_EQ(count(messages, PUSHING), 2u);
    EXPECT_EQ(count(messages, "Invalid file descriptor for VanTor 2222."), 1u) << sb_.log();
}

TEST_F(PushOnce, ChunkedSendCountsAMissingDescriptorAsFailure) {
    add_two_arrays();
    sb_.array().inject("sg1", {sim::fault_kind::vanish, sim::command_kind::inquiry, 1});
    sb_.set_script_output("H\n" + section(0, 70000) + section(1, 100));

    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const auto messages = sb_.log_messages();
    // DEVICE0 alone is too long for one transfer: left out, DEVICE1 still goes as DEVICE0.
    EXPECT_EQ(count(messages,
                    "Section DEVICE0 of the host view is too long for one transfer "
                    "(70000 characters); left out."),
              1u)
        << sb_.log();
    EXPECT_EQ(count(messages, "0xC Failed to send  host information to the VanTor 1111 ."), 1u);
    const std::vector<transfer> t = sends(sb_);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].data, "H\n" + renumbered(1, 0, 100) + '\0');
}

TEST_F(PushOnce, LongViewWithoutFirstTokenSendsNothing) {
    add_two_arrays();
    sb_.set_script_output(std::string(70000, 'x'));
    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(sends(sb_).empty());
    EXPECT_EQ(count(sb_.log_messages(), "Error: Search string Not Found."), 1u) << sb_.log();
}

TEST_F(PushOnce, NoEnclosureEndsWithStatusOne) {
    sb_.set_script_output("H\nDEVICE0 disk\n");
    const rig::run_result r = push();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "Could not find any QELVO enclosure device.\n");
    EXPECT_EQ(count(sb_.log_messages(), "Could not find any QELVO enclosure device."), 1u);
}

TEST_F(PushOnce, NoHostViewEndsWithStatusOneAndTheDebugLineOnlyInDebug) {
    add_two_arrays();
    sb_.set_script_output("");
    const char message[] = "Error in collecting the host information.";
    for (const bool debug : {false, true}) {
        const rig::run_result r =
            push({"-p"}, debug ? std::map<std::string, std::string>{{"TOLVAD_DEBUG", "yes"}}
                               : std::map<std::string, std::string>{});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(count(sb_.log_messages(), message), debug ? 1u : 0u) << sb_.log();
    }
    EXPECT_TRUE(sends(sb_).empty());
}

TEST_F(PushOnce, ForegroundOptionChangesNothing) {
    add_two_arrays();
    const std::string view = "H\nDEVICE0 disk\nDEVICE1 disk\n";
    sb_.set_script_output(view);
    for (const auto& options :
         {std::vector<std::string>{"-p", "-f"}, std::vector<std::string>{"-fp"}}) {
        sb_.array().clear_journal();
        const rig::run_result r = push(options);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        const std::vector<transfer> t = sends(sb_);
        ASSERT_EQ(t.size(), 2u);
        for (const transfer& x : t)
            EXPECT_EQ(x.data, view + std::string(1, '\0'));
    }
    EXPECT_FALSE(sb_.exists("/var/run/tolvad.pid"));
}

}  // namespace
