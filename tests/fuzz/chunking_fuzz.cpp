// Chunking and renumbering of a host view, against a plain model of their rules.
//
// Input: the view's text, in which the byte 0xFF and a count n stand for n * 64 more copies
// of the text since the previous such pair, so that short inputs make views of many chunks.
// The view ends at the first NUL.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "agent/chunking.h"
#include "ground/limits.h"
#include "ground/log.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::size_t MAX_VIEW = 256 << 10;
constexpr std::size_t MAX_TEXT = MAX_TRANSFER - 1;

std::string expand(const std::uint8_t* data, std::size_t size) {
    std::string view;
    std::size_t segment = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != 0xFF || i + 1 == size) {
            view.push_back(static_cast<char>(data[i]));
            continue;
        }
        // Copies of the segment, made by doubling what is already there.
        const std::size_t length = view.size() - segment;
        const std::size_t wanted = std::min<std::size_t>(
            64u * data[++i] * length, MAX_VIEW - std::min(MAX_VIEW, view.size()));
        const std::size_t old_size = view.size();
        view.resize(old_size + wanted);
        for (std::size_t done = 0; done < wanted;) {
            const std::size_t step = std::min(old_size + done - segment, wanted - done);
            std::memcpy(view.data() + old_size + done, view.data() + segment, step);
            done += step;
        }
        segment = view.size();
    }
    view.resize(std::strlen(view.c_str()));
    return view;
}

std::string token(int index) {
    return "DEVICE" + std::to_string(index);
}

// Keeps the lines that begin with the old token, with the new one in its place, each ending
// in a newline; empty lines vanish.
std::string model_renumber(const std::string& text, const std::string& from,
                           const std::string& to) {
    std::string out;
    std::size_t line = 0;
    while (line < text.size()) {
        std::size_t end = text.find('\n', line);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(line, from.size(), from) == 0 && end - line >= from.size()) {
            out.append(to);
            out.append(text, line + from.size(), end - line - from.size());
            out.push_back('\n');
        }
        line = end + 1;
    }
    return out;
}

struct flushed {
    chunk_flush at;
    std::string text;
    bool operator==(const flushed&) const = default;
};

// The chunking as the rules state it, written for clarity, not speed.
int model_chunk(const std::string& view, std::vector<flushed>& chunks) {
    const std::size_t first = view.find("DEVICE0");
    if (first == std::string::npos)
        return -1;
    const std::string head = view.substr(0, first);
    if (head.size() + 7 > MAX_TEXT)
        return 1;

    std::string chunk = head;
    int placed = 0;
    bool complete = true;
    std::size_t start = first;
    for (int index = 0;; ++index) {
        const std::size_t next = view.find(token(index + 1), start);
        const bool last = next == std::string::npos;
        const std::string section = view.substr(start, (last ? view.size() : next) - start);
        const chunk_flush full = last ? chunk_flush::before_last : chunk_flush::before_section;
        const auto flush = [&] {
            chunks.push_back({full, chunk});
            chunk = head;
            placed = 0;
        };
        const auto as_placed = [&] {
            return index == placed ? section : model_renumber(section, token(index), token(placed));
        };

        if (placed > 0 && chunk.size() + section.size() > MAX_TEXT)
            flush();
        std::string piece = as_placed();
        if (placed > 0 && chunk.size() + piece.size() > MAX_TEXT) {
            flush();
            piece = as_placed();
        }
        if (chunk.size() + piece.size() > MAX_TEXT) {
            complete = false;
        } else {
            chunk += piece;
            ++placed;
        }
        if (last) {
            if (placed > 0)
                chunks.push_back({chunk_flush::last, chunk});
            return complete ? 0 : 1;
        }
        start = next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string no_log = fuzz::scratch_folder() + "/no-log";
    log_directory = no_log.c_str();

    const std::string view = expand(data, size);
    const std::size_t first = view.find("DEVICE0");
    const std::string head = view.substr(0, first == std::string::npos ? 0 : first);

    std::vector<flushed> chunks;
    const int result =
        chunk_hostinfo(view.c_str(), [&](chunk_flush at, const char* text, std::size_t length) {
            FUZZ_REQUIRE(length + 1 <= static_cast<std::size_t>(MAX_TRANSFER));
            FUZZ_REQUIRE(std::strlen(text) == length);
            const std::string chunk(text, length);
            FUZZ_REQUIRE(chunk.compare(0, head.size(), head) == 0);
            FUZZ_REQUIRE(chunk.compare(head.size(), 7, "DEVICE0") == 0);
            chunks.push_back({at, chunk});
        });

    std::vector<flushed> expected;
    FUZZ_REQUIRE(result == model_chunk(view, expected));
    FUZZ_REQUIRE(chunks == expected);

    // The renumbering that the daemon exposes follows the same rule, also to a longer token.
    const std::string text = view.substr(0, 4096);
    const std::pair<int, int> renumberings[] = {{0, 0}, {1, 0}, {3, 12}, {12, 3}};
    for (const auto& [from, to] : renumberings) {
        char* out = nullptr;
        renumber_device_tokens(text.c_str(), token(from).c_str(), token(to).c_str(), &out);
        FUZZ_REQUIRE(out != nullptr);
        FUZZ_REQUIRE(out == model_renumber(text, token(from), token(to)));
        std::free(out);
    }
    return 0;
}
