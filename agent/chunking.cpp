#include "agent/chunking.h"

#include <cstdint>
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

// "DEVICE" and the decimal index. Made for every section, so it counts up in place.
struct device_token {
    static constexpr std::size_t WIDTH = 16;  // "DEVICE" and ten digits
    char text[WIDTH + 8] = "DEVICE";
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

    /// The token of the next index.
    void count_up() {
        std::size_t i = length;
        while (i-- > 6) {
            if (text[i] != '9') {
                ++text[i];
                return;
            }
            text[i] = '0';
        }
        // All nines: one digit more, led by a 1.
        text[6] = '1';
        text[length++] = '0';
        text[length] = '\0';
    }
};

// Tests whether a text begins with one token. Held in registers for a whole section: the
// first `length` of sixteen bytes are compared in two words under a mask, not by a call.
class token_test {
  public:
    explicit token_test(const device_token& token) : length_(token.length), text_(token.text) {
        static constexpr unsigned char ones[2 * device_token::WIDTH] = {
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        std::memcpy(want_, token.text, device_token::WIDTH);
        std::memcpy(mask_, ones + device_token::WIDTH - length_, device_token::WIDTH);
    }

    /// Whether `text`, with `available` characters before its line's end, begins with it.
    bool begins(const char* text, std::size_t available) const {
        if (available >= device_token::WIDTH) {
            std::uint64_t seen[2];
            std::memcpy(seen, text, device_token::WIDTH);
            return (((seen[0] ^ want_[0]) & mask_[0]) | ((seen[1] ^ want_[1]) & mask_[1])) == 0;
        }
        return available >= length_ && std::memcmp(text, text_, length_) == 0;
    }

  private:
    std::uint64_t want_[2];
    std::uint64_t mask_[2];
    std::size_t length_;
    const char* text_;
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
            std::memcpy(at, new_token, new_length);
            std::memcpy(at + new_length, line + old_length, rest);
            at[new_length + rest] = '\n';
            written += needed;
        }
        line = line_end + 1;
    }
    return written;
}

// One section as the chunking found and copied it.
struct section_copy {
    std::size_t length = 0;         // as found in the view
    std::size_t written = NO_ROOM;  // bytes in the chunk; NO_ROOM when they did not fit
    bool last = false;
};

// Where the section that goes on at `from` ends: at the first `next` token, or at the NUL.
section_copy find_end(const char* start, const char* from, const device_token& next) {
    section_copy section;
    const char* found = std::strstr(from, next.text);
    section.last = found == nullptr;
    section.length = static_cast<std::size_t>(found != nullptr ? found - start
                                                               : from + std::strlen(from) - start);
    return section;
}

// First occurrence of the token in [from, end), or null; `end` is a newline or the NUL.
// Most lines hold no 'D' past their own token, so that test comes first and inline.
inline const char* token_in_line(const char* from, const char* end, const token_test& token) {
    const void* d = std::memchr(from, 'D', static_cast<std::size_t>(end - from));
    while (d != nullptr) {
        const char* at = static_cast<const char*>(d);
        if (token.begins(at, static_cast<std::size_t>(end - at)))
            return at;
        ++at;
        d = std::memchr(at, 'D', static_cast<std::size_t>(end - at));
    }
    return nullptr;
}

// Copies the section at `start` unchanged into `out` while looking for the `next` token
// that ends it. Past `room` only the end is still looked for.
section_copy copy_verbatim(const char* start, const device_token& next, char* out,
                           std::size_t room) {
    const char* copied = start;
    const char* at = start;
    for (;;) {
        at = ::strchrnul(at, 'D');
        if (*at == '\0' || std::strncmp(at, next.text, next.length) == 0)
            break;
        ++at;
        // Copy what lies behind while it is still in the cache.
        if (at - copied >= 4096) {
            const std::size_t span = static_cast<std::size_t>(at - copied);
            if (span > room - static_cast<std::size_t>(copied - start))
                return find_end(start, at, next);
            std::memcpy(out + (copied - start), copied, span);
            copied = at;
        }
    }
    section_copy section;
    section.length = static_cast<std::size_t>(at - start);
    section.last = *at == '\0';
    if (section.length <= room) {
        std::memcpy(out + (copied - start), copied, static_cast<std::size_t>(at - copied));
        section.written = section.length;
    }
    return section;
}

// Copies the section at `start`, whose token is `own`, into `out`, keeping only its lines
// that begin with `own` and putting `place` in its stead, while looking for the `next`
// token that ends it. `out` has room for WIDTH bytes past `room`. Once the copy passes
// `room`, or the section read so far does and `fit_as_found` asks for that, only the end
// is still looked for.
section_copy copy_renumbered(const char* start, const device_token& own, const device_token& place,
                             const device_token& next, char* out, std::size_t room,
                             bool fit_as_found) {
    // Everything the loop needs is in locals, which stores into `out` cannot change.
    const token_test own_test(own);
    const token_test next_test(next);
    const std::size_t own_length = own.length;
    const std::size_t place_length = place.length;
    std::uint64_t place_words[2];
    std::memcpy(place_words, place.text, device_token::WIDTH);
    // How far the section may reach, as found, before it cannot fit.
    const std::size_t reach = fit_as_found ? room : static_cast<std::size_t>(-1);

    std::size_t written = 0;
    const char* line = start;
    for (;;) {
        const char* line_end = ::strchrnul(line, '\n');
        const std::size_t line_length = static_cast<std::size_t>(line_end - line);
        const char* end = line_end;  // of the line, or of the section when it ends in it
        const char* found = nullptr;
        if (own_test.begins(line, line_length)) {
            // No token begins inside the line's own token, nor where that token stands.
            const char* rest = line + own_length;
            found = token_in_line(rest, line_end, next_test);
            if (found != nullptr)
                end = found;
            const std::size_t rest_length = static_cast<std::size_t>(end - rest);
            const std::size_t needed = place_length + rest_length + 1;
            if (static_cast<std::size_t>(end - start) > reach || needed > room - written)
                return find_end(start, line, next);
            // All sixteen bytes in one store; the line then overwrites those past the token.
            char* at = out + written;
            std::memcpy(at, place_words, device_token::WIDTH);
            std::memcpy(at + place_length, rest, rest_length);
            at[place_length + rest_length] = '\n';
            written += needed;
        } else {
            found = token_in_line(line, line_end, next_test);
            if (found != nullptr)
                end = found;
            if (static_cast<std::size_t>(end - start) > reach)
                return find_end(start, line, next);
        }
        if (found != nullptr || *line_end == '\0') {
            section_copy section;
            section.length = static_cast<std::size_t>(end - start);
            section.last = found == nullptr;
            section.written = written;
            return section;
        }
        line = line_end + 1;
    }
}

}  // namespace

std::size_t find_section(const char* start, int index, bool* last) {
    const section_copy section = find_end(start, start, device_token(index + 1));
    *last = section.last;
    return section.length;
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

    // One buffer for every chunk: the largest chunk text and its NUL, and room for the
    // fixed-size store of a token at its end.
    std::vector<char> chunk(CHUNK_CAPACITY + device_token::WIDTH);
    std::size_t chunk_length = 0;
    int sections_in_chunk = 0;
    device_token place(0);  // the token of the next section's place in the chunk
    const auto restart = [&] {
        std::memcpy(chunk.data(), head.data(), head_length);
        chunk_length = head_length;
        sections_in_chunk = 0;
        place = device_token(0);
    };
    const auto send_chunk = [&](chunk_flush at) {
        chunk[chunk_length] = '\0';
        flush(at, chunk.data(), chunk_length);
        restart();
    };
    // Copies the section into the chunk as its next one, renumbered when its index differs
    // from its place. Behind other sections it is wanted only when it fits as found.
    const auto copy_into_chunk = [&](const char* start, int index, const device_token& own,
                                     const device_token& next) {
        char* at = chunk.data() + chunk_length;
        const std::size_t room = MAX_CHUNK_TEXT - chunk_length;
        if (index == sections_in_chunk)
            return copy_verbatim(start, next, at, room);
        return copy_renumbered(start, own, place, next, at, room, sections_in_chunk > 0);
    };

    restart();
    bool complete = true;
    const char* start = first;
    device_token own(0);
    device_token next(1);
    for (int index = 0;; ++index) {
        const std::size_t room = MAX_CHUNK_TEXT - chunk_length;
        section_copy section = copy_into_chunk(start, index, own, next);
        // The chunk is full when the section as found does not fit, or when its copy does
        // not (renumbering may add a newline); then it goes again into a fresh chunk.
        if (sections_in_chunk > 0 && (section.length > room || section.written == NO_ROOM)) {
            send_chunk(section.last ? chunk_flush::before_last : chunk_flush::before_section);
            section = copy_into_chunk(start, index, own, next);
        }
        if (section.written == NO_ROOM) {
            // Never cut and never sent past the transfer limit: the section is left out.
            complete = false;
            agent_log(
                "Section DEVICE%d of the host view is too long for one transfer (%d "
                "characters); left out.\n",
                index, static_cast<long>(section.length));
        } else {
            chunk_length += section.written;
            ++sections_in_chunk;
            place.count_up();
        }

        if (section.last) {
            if (sections_in_chunk > 0)
                send_chunk(chunk_flush::last);
            break;
        }
        start += section.length;
        own = next;
        next.count_up();
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
