#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/chunking.h"
#include "ground/limits.h"
#include "ground/log.h"
#include "tests/support/scratch_log.h"

namespace {

std::string token(int index) {
    return "DEVICE" + std::to_string(index);
}

// A section of exactly `length` characters whose lines all begin with its token, so that
// renumbering only swaps the token. Lines end with a newline unless `final_newline` is off.
std::string section(int index, std::size_t length, bool final_newline = true) {
    const std::string tok = token(index) + " ";
    const std::size_t lines = std::max<std::size_t>(1, length / 80);
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        const std::size_t size = i == 0 ? length - (lines - 1) * 80 : 80;
        out += tok + std::string(size - tok.size() - 1, 'x') + "\n";
    }
    if (!final_newline)
        out.back() = 'y';
    return out;
}

std::string renumbered(const std::string& text, int from, int to) {
    char* out = nullptr;
    renumber_device_tokens(text.c_str(), token(from).c_str(), token(to).c_str(), &out);
    std::string result = out != nullptr ? out : "<null>";
    std::free(out);
    return result;
}

struct flushed {
    chunk_flush at;
    std::string text;
};

struct chunked {
    int result;
    std::vector<flushed> chunks;
};

chunked chunk(const std::string& view) {
    chunked out;
    const std::string before = view;
    out.result = chunk_hostinfo(view.c_str(), [&](chunk_flush at, const char* text, std::size_t n) {
        EXPECT_EQ(std::strlen(text), n) << "chunk must be NUL-terminated at its length";
        EXPECT_LE(n + 1, static_cast<std::size_t>(MAX_TRANSFER));
        out.chunks.push_back({at, std::string(text, n)});
    });
    EXPECT_EQ(view, before);
    return out;
}

std::size_t section_length(const char* text, int index, bool* last) {
    return find_section(text, index, last);
}

TEST(FindSection, TokensAnywhereAndAsPrefixOfLongerNumbers) {
    struct row {
        const char* text;
        int index;
        std::size_t length;
        bool last;
    };
    const row rows[] = {
        {"DEVICE0 a\nDEVICE1 b\n", 0, 10, false},         {"DEVICE1 b\n", 1, 10, true},
        {"DEVICE0 a DEVICE1 b\n", 0, 10, false},           // token mid-line
        {"DEVICE0 a\nDEVICE12 b\n", 0, 10, false},         // DEVICE1 begins DEVICE12
        {"DEVICE0 a\nxDEVICE1\n", 0, 11, false},           // inside a word
        {"DEVICE1 a\nDEVICE3 b\nDEVICE4\n", 1, 28, true},  // missing index: runs to the end
        {"DEVICE9 a\nDEVICE10 b\n", 9, 10, false},        {"DEVICE0", 0, 7, true},
    };
    for (const row& r : rows) {
        bool last = !r.last;
        EXPECT_EQ(section_length(r.text, r.index, &last), r.length) << r.text;
        EXPECT_EQ(last, r.last) << r.text;
    }
}

TEST(RenumberDeviceTokens, KeepsOnlyLinesOfTheOldToken) {
    struct row {
        const char* text;
        int from;
        int to;
        const char* expected;
    };
    const row rows[] = {
        {"DEVICE3 a\nDEVICE3 b\n", 3, 0, "DEVICE0 a\nDEVICE0 b\n"},
        {"DEVICE3 a\n  size 4\nDEVICE3 b", 3, 1, "DEVICE1 a\nDEVICE1 b\n"},  // gains a newline
        {"\n\nDEVICE2 a\n\n\nDEVICE2 b\n\n", 2, 0, "DEVICE0 a\nDEVICE0 b\n"},
        {"DEVICE1 a\nDEVICE12 b\n", 1, 0, "DEVICE0 a\nDEVICE02 b\n"},  // plain prefix match
        {"DEVICE1 a\nDEVICE3 b\n", 1, 0, "DEVICE0 a\n"},
        {"DEVICE1 a x DEVICE1 b\n", 1, 0, "DEVICE0 a x DEVICE1 b\n"},  // only at line start
        {"DEVICE1\nDEVI\n", 1, 0, "DEVICE0\n"},
        {"", 1, 0, ""},
        {"\n\n", 1, 0, ""},
        {"DEVICE1 a", 1, 10, "DEVICE10 a\n"},  // a longer token still fits the output
        {"DEVICE12 a\nDEVICE12", 12, 3, "DEVICE3 a\nDEVICE3\n"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(renumbered(r.text, r.from, r.to), r.expected) << r.text;
    }
}

TEST(RenumberDeviceTokens, LeavesItsInputAlone) {
    char text[] = "DEVICE4 a\n\nDEVICE4 b\n";
    const std::string before = text;
    char* out = nullptr;
    renumber_device_tokens(text, "DEVICE4", "DEVICE0", &out);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "DEVICE0 a\nDEVICE0 b\n");
    EXPECT_EQ(before, text);
    std::free(out);
}

TEST(ChunkHostinfo, ViewWithoutFirstTokenIsNotChunked) {
    for (const char* view : {"", "head only\n", "DEVICE1 a\nDEVICE2 b\n", "DEVICE 0\n"}) {
        const chunked c = chunk(view);
        EXPECT_EQ(c.result, -1) << view;
        EXPECT_TRUE(c.chunks.empty()) << view;
    }
}

TEST(ChunkHostinfo, SmallViewIsOneLastChunkWithItsOwnIndexes) {
    for (const std::string& view :
         {std::string("head\nDEVICE0 a\nDEVICE1 b\nother\nDEVICE2 c"), std::string("DEVICE0 a\n"),
          std::string("h DEVICE0 a DEVICE1 b DEVICE3")}) {
        const chunked c = chunk(view);
        EXPECT_EQ(c.result, 0);
        ASSERT_EQ(c.chunks.size(), 1u) << view;
        EXPECT_EQ(c.chunks[0].at, chunk_flush::last);
        EXPECT_EQ(c.chunks[0].text, view);
    }
}

TEST(ChunkHostinfo, FourSectionsOfThirtyThousand) {
    const std::string head(99, 'h');
    const std::string view =
        head + "\n" + section(0, 30000) + section(1, 30000) + section(2, 30000) + section(3, 30000);
    const chunked c = chunk(view);
    EXPECT_EQ(c.result, 0);
    ASSERT_EQ(c.chunks.size(), 2u);
    EXPECT_EQ(c.chunks[0].at, chunk_flush::before_section);
    EXPECT_EQ(c.chunks[0].text, head + "\n" + section(0, 30000) + section(1, 30000));
    EXPECT_EQ(c.chunks[1].at, chunk_flush::last);
    EXPECT_EQ(c.chunks[1].text, head + "\n" + renumbered(section(2, 30000), 2, 0) +
                                    renumbered(section(3, 30000), 3, 1));
    EXPECT_EQ(c.chunks[1].text.substr(100, 8), "DEVICE0 ");
    EXPECT_EQ(c.chunks[1].text.substr(30100, 8), "DEVICE1 ");
}

TEST(ChunkHostinfo, LastSectionThatDoesNotFitFlushesTwice) {
    const std::string view = "H\n" + section(0, 40000) + section(1, 30000);
    const chunked c = chunk(view);
    EXPECT_EQ(c.result, 0);
    ASSERT_EQ(c.chunks.size(), 2u);
    EXPECT_EQ(c.chunks[0].at, chunk_flush::before_last);
    EXPECT_EQ(c.chunks[0].text, "H\n" + section(0, 40000));
    EXPECT_EQ(c.chunks[1].at, chunk_flush::last);
    EXPECT_EQ(c.chunks[1].text, "H\n" + renumbered(section(1, 30000), 1, 0));
}

TEST(ChunkHostinfo, ChunkFullToTheLastCharacter) {
    // 65,534 characters fit one chunk; one more character moves the last section on.
    const std::string fits = "H\n" + section(0, 30000) + section(1, 65534 - 30002);
    chunked c = chunk(fits);
    ASSERT_EQ(c.chunks.size(), 1u);
    EXPECT_EQ(c.chunks[0].text.size(), 65534u);

    const std::string over = "H\n" + section(0, 30000) + section(1, 65535 - 30002);
    c = chunk(over);
    ASSERT_EQ(c.chunks.size(), 2u);
    EXPECT_EQ(c.chunks[0].at, chunk_flush::before_last);
    EXPECT_EQ(c.chunks[0].text.size(), 30002u);
}

TEST(ChunkHostinfo, RenumberedSectionFullToTheLastCharacter) {
    // Second chunk: the renumbered DEVICE1, then DEVICE2 whose found length fills the chunk
    // exactly. With a final newline it stays; without one, renumbering adds a character, so
    // it must go into a chunk of its own.
    const std::string head = "H\n";
    const std::string first = section(0, 65000);
    const std::string second = section(1, 40000);
    const std::size_t room = 65534 - head.size() - second.size();
    for (const bool final_newline : {true, false}) {
        const std::string last = section(2, room, final_newline);
        const chunked c = chunk(head + first + second + last);
        EXPECT_EQ(c.result, 0);
        if (final_newline) {
            ASSERT_EQ(c.chunks.size(), 2u);
            EXPECT_EQ(c.chunks[1].at, chunk_flush::last);
            EXPECT_EQ(c.chunks[1].text.size(), 65534u);
            EXPECT_EQ(c.chunks[1].text, head + renumbered(second, 1, 0) + renumbered(last, 2, 1));
        } else {
            ASSERT_EQ(c.chunks.size(), 3u);
            EXPECT_EQ(c.chunks[1].at, chunk_flush::before_last);
            EXPECT_EQ(c.chunks[1].text, head + renumbered(second, 1, 0));
            EXPECT_EQ(c.chunks[2].at, chunk_flush::last);
            EXPECT_EQ(c.chunks[2].text, head + renumbered(last, 2, 0));
        }
    }
}

TEST(ChunkHostinfo, RenumberedSectionsKeepOnlyTheirTokenLines) {
    // The second chunk keeps only lines that begin with each section's own token.
    const std::string view = "DEVICE0 " + std::string(65500, 'a') + "\n" +
                             "DEVICE1 one\n  detail\n\nDEVICE1 two DEVICE3\nDEVICE3 dropped\n";
    const chunked c = chunk(view);
    ASSERT_EQ(c.chunks.size(), 2u);
    EXPECT_EQ(c.chunks[1].text, "DEVICE0 one\nDEVICE0 two DEVICE3\n");
}

class ChunkLog : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
    std::string log() const { return scratch_.text(); }

  private:
    rig::scratch_log scratch_;
};

TEST_F(ChunkLog, SectionTooLongForOneTransferIsLeftOut) {
    const std::string view = "H\n" + section(0, 1000) + section(1, 70000) + section(2, 500);
    const chunked c = chunk(view);
    EXPECT_EQ(c.result, 1);
    ASSERT_EQ(c.chunks.size(), 2u);
    EXPECT_EQ(c.chunks[0].at, chunk_flush::before_section);
    EXPECT_EQ(c.chunks[0].text, "H\n" + section(0, 1000));
    EXPECT_EQ(c.chunks[1].at, chunk_flush::last);
    EXPECT_EQ(c.chunks[1].text, "H\n" + renumbered(section(2, 500), 2, 0));
    EXPECT_NE(log().find("Section DEVICE1 of the host view is too long for one transfer "
                         "(70000 characters); left out.\n"),
              std::string::npos)
        << log();
}

TEST_F(ChunkLog, OversizedFirstOrLastSectionSendsNoHeadOnlyChunk) {
    chunked c = chunk("H\n" + section(0, 70000) + section(1, 100));
    EXPECT_EQ(c.result, 1);
    ASSERT_EQ(c.chunks.size(), 1u);
    EXPECT_EQ(c.chunks[0].at, chunk_flush::last);
    EXPECT_EQ(c.chunks[0].text, "H\n" + renumbered(section(1, 100), 1, 0));

    c = chunk("H\n" + section(0, 100) + section(1, 70000));
    EXPECT_EQ(c.result, 1);
    ASSERT_EQ(c.chunks.size(), 1u);
    EXPECT_EQ(c.chunks[0].at, chunk_flush::before_last);
    EXPECT_EQ(c.chunks[0].text, "H\n" + section(0, 100));
}

TEST_F(ChunkLog, HeadTooLongSendsNothing) {
    const chunked c = chunk(std::string(65530, 'h') + section(0, 10));
    EXPECT_EQ(c.result, 1);
    EXPECT_TRUE(c.chunks.empty());
    EXPECT_NE(log().find("head of the host view is too long"), std::string::npos) << log();
}

}  // namespace
