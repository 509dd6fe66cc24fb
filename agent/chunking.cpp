#include "agent/chunking.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/devices.h"
#include "channel/transfer.h"
#include "ground/limits.h"
#include "ground/log.h"

namespace {

// "DEVICE" and the decimal index; formatted by hand, as it is made for every section.
struct device_token {
    char text[24] = "DEVICE";
    std::size_t length = 6;
    explicit device_token(int index) {
        char digits[12];
        int n = 0;
        unsigned value = static_cast<unsigned>(index);
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0)
            text[length++] = digits[--n];
        text[length] = '\0';
    }
};

constexpr std::size_t CHUNK_CAPACITY = MAX_TRANSFER;  // text and NUL
constexpr std::size_t MAX_CHUNK_TEXT = CHUNK_CAPACITY - 1;
// A section holds at least its token, so a head longer than this leaves room for none.
constexpr std::size_t MAX_HEAD = MAX_CHUNK_TEXT - 7;

constexpr std::size_t NO_ROOM = static_cast<std::size_t>(-1);

// Writes the renumbered form of `length` bytes of `text` to `out`, which has `room` bytes.
// Returns the number of bytes written, or NO_ROOM when they would not fit.
std::size_t renumber_into(const char* text, std::size_t length, const char* old_token,
                          std::size_t old_length, const char* new_token, std::size_t new_length,
                          char* out, std::size_t room) {
    // Usual case: every line begins with the token and ends with a newline, and the new
    // token is as long as the old one; copy once and patch the tokens in place.
    if (new_length == old_length && length <= room) {
        std::memcpy(out, text, length);
        char* line = out;
        char* const out_end = out + length;
        while (line < out_end) {
            char* newline = static_cast<char*>(
                std::memchr(line, '\n', static_cast<std::size_t>(out_end - line)));
            if (newline == nullptr || newline == line ||
                static_cast<std::size_t>(newline - line) < old_length ||
                std::memcmp(line, old_token, old_length) != 0)
                break;
            std::memcpy(line, new_token, new_length);
            line = newline + 1;
        }
        if (line == out_end)
            return length;
    }

    const char* end = text + length;
    const char* line = text;
    std::size_t written = 0;
    while (line < end) {
        const void* found = std::memchr(line, '\n', static_cast<std::size_t>(end - line));
        const char* line_end = found != nullptr ? static_cast<const char*>(found) : end;
        const std::size_t line_length = static_cast<std::size_t>(line_end - line);
        // Empty lines (runs of newlines) never match, as splitting drops them.
        if (line_length > 0 && line_length >= old_length &&
            std::memcmp(line, old_token, old_length) == 0) {
            const std::size_t rest = line_length - old_length;
            const std::size_t needed = new_length + rest + 1;
            if (needed > room - written)
                return NO_ROOM;
            char* at = out + written;
            if (found != nullptr && new_length == old_length) {
                std::memcpy(at, line, line_length + 1);
                std::memcpy(at, new_token, new_length);
            } else {
                std::memcpy(at, new_token, new_length);
                std::memcpy(at + new_length, line + old_length, rest);
                at[new_length + rest] = '\n';
            }
            written += needed;
        }
        line = line_end + 1;
    }
    return written;
}

}  // namespace

std::size_t find_section(const char* start, int index, bool* last) {
    const device_token next(index + 1);
    const char* found = std::strstr(start, next.text);
    *last = found == nullptr;
    return found != nullptr ? static_cast<std::size_t>(found - start) : std::strlen(start);
}

void renumber_device_tokens(const char* text, const char* old_token, const char* new_token,
                            char** output) {
    const std::size_t length = std::strlen(text);
    const std::size_t old_length = std::strlen(old_token);
    const std::size_t new_length = std::strlen(new_token);
    // Every kept line keeps its length but for the token, and may gain a newline.
    std::size_t room = length + 1;
    if (new_length > old_length) {
        std::size_t lines = 1;
        for (const char* p = text; (p = std::strchr(p, '\n')) != nullptr; ++p)
            ++lines;
        room += lines * (new_length - old_length);
    }
    char* out = static_cast<char*>(std::malloc(room + 1));
    if (out == nullptr) {
        *output = nullptr;
        return;
    }
    const std::size_t written =
        renumber_into(text, length, old_token, old_length, new_token, new_length, out, room);
    out[written] = '\0';
    *output = out;
}

int chunk_hostinfo(const char* view, const chunk_sink& flush) {
    const char* first = std::strstr(view, "DEVICE0");
    if (first == nullptr)
        return -1;

    const std::size_t head_length = static_cast<std::size_t>(first - view);
    if (head_length > MAX_HEAD) {
        agent_log(
            "The head of the host view is too long for one transfer (%d characters); "
            "nothing sent.\n",
            static_cast<long>(head_length));
        return 1;
    }
    const std::string head(view, head_length);

    // One buffer for every chunk: the largest chunk text and its NUL.
    std::vector<char> chunk(CHUNK_CAPACITY);
    std::size_t chunk_length = 0;
    int sections_in_chunk = 0;
    const auto restart = [&] {
        std::memcpy(chunk.data(), head.data(), head_length);
        chunk_length = head_length;
        sections_in_chunk = 0;
    };
    const auto send_chunk = [&](chunk_flush at) {
        chunk[chunk_length] = '\0';
        flush(at, chunk.data(), chunk_length);
        restart();
    };
    const auto fits = [&](std::size_t length) {
        return chunk_length + length + 1 <= CHUNK_CAPACITY;
    };

    restart();
    bool complete = true;
    const char* start = first;
    for (int index = 0;; ++index) {
        bool last = false;
        const std::size_t found_length = find_section(start, index, &last);
        const chunk_flush full_at = last ? chunk_flush::before_last : chunk_flush::before_section;

        if (!fits(found_length) && sections_in_chunk > 0)
            send_chunk(full_at);

        // Copies the section into the chunk, renumbered when its index differs from its
        // place; false when it would pass the limit (renumbering may add a newline).
        const auto append = [&]() -> bool {
            char* at = chunk.data() + chunk_length;
            const std::size_t room = MAX_CHUNK_TEXT - chunk_length;
            std::size_t length = found_length;
            if (index == sections_in_chunk) {
                if (length > room)
                    return false;
                std::memcpy(at, start, length);
            } else {
                const device_token from(index);
                const device_token to(sections_in_chunk);
                length = renumber_into(start, found_length, from.text, from.length, to.text,
                                       to.length, at, room);
                if (length == NO_ROOM)
                    return false;
            }
            chunk_length += length;
            ++sections_in_chunk;
            return true;
        };
        bool appended = append();
        if (!appended && sections_in_chunk > 0) {
            send_chunk(full_at);
            appended = append();
        }
        if (!appended) {
            // Never cut and never sent past the transfer limit: the section is left out.
            complete = false;
            agent_log(
                "Section DEVICE%d of the host view is too long for one transfer (%d "
                "characters); left out.\n",
                index, static_cast<long>(found_length));
        }

        if (last) {
            if (sections_in_chunk > 0)
                send_chunk(chunk_flush::last);
            break;
        }
        start += found_length;
    }
    return complete ? 0 : 1;
}

int send_hostinfo_chunked(const char* view) {
    bool failed = false;
    bool refused = false;
    const int built =
        chunk_hostinfo(view, [&](chunk_flush at, const char* chunk, std::size_t length) {
            static const char* const sending[] = {"0A Sending the host info to the VanTor %s.\n",
                                                  "1A Sending the host info to the VanTor %s.\n",
                                                  "1B Sending the host info to the VanTor %s.\n"};
            static const char* const failure[] = {
                "0A Failed to send the host information to the VanTor %s .\n",
                "1A Failed to send the host information to the VanTor %s .\n",
                "1B Failed to send the host information to the VanTor %s .\n"};
            const int tag = static_cast<int>(at);
            for (std::size_t i = 0; i < device_list.size(); ++i) {
                const enclosure_device& device = device_list[i];
                agent_log(sending[tag], device.serial.c_str());
                const int result = send_hostinfo(device.fd, chunk, static_cast<int>(length) + 1);
                // A status other than GOOD: the array did not take the chunk either.
                if (result == -1 || result > 0)
                    agent_log(failure[tag], device.serial.c_str());
                failed = failed || result == -1;
                refused = refused || result > 0;
            }
        });
    if (built < 0) {
        agent_log("The Token buffer is invalid. \n");
        return CHUNKED_FAILED;
    }
    // A section left out was logged by the chunking; no device can take it, so a rebuild
    // of the device list would not help.
    if (failed)
        return CHUNKED_FAILED;
    return refused ? CHUNKED_REFUSED : CHUNKED_SENT;
}

void send_hostinfo_chunked_once(const char* view) {
    const int built =
        chunk_hostinfo(view, [](chunk_flush at, const char* chunk, std::size_t length) {
            static const char* const failure[] = {
                "0xA Failed to send the host information to the VanTor %s .\n",
                "0xB Failed to send the host information to the VanTor %s .\n",
                "0xC Failed to send  host information to the VanTor %s .\n"};
            for (std::size_t i = 0; i < device_list.size(); ++i) {
                const enclosure_device& device = device_list[i];
                // Negative (failed, no descriptor) or a refusing status: the chunk is not there.
                if (send_hostinfo(device.fd, chunk, static_cast<int>(length) + 1) != 0) {
                    agent_log(failure[static_cast<int>(at)], device.serial.c_str());
                }
            }
        });
    if (built < 0)
        agent_log("Error: Search string Not Found.\n");
}
