#include "sim/protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim::wire {

int send_all(int fd, struct iovec* iov, int count) {
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        struct msghdr message {};
        message.msg_iov = iov;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        auto left = static_cast<std::size_t>(sent);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

int read_all(int fd, void* buffer, std::size_t length) {
    auto* at = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t got = read(fd, at, length);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            return -1;
        at += got;
        length -= static_cast<std::size_t>(got);
    }
    return 0;
}

namespace {

// Copies the value of the line "<key> <value>\n" starting at `line` into `out`; false when
// the line has another key or the value does not fit.
bool take_value(const char* line, const char* end, const char* key, char* out, std::size_t size) {
    const std::size_t key_length = std::strlen(key);
    if (static_cast<std::size_t>(end - line) <= key_length ||
        std::memcmp(line, key, key_length) != 0 || line[key_length] != ' ') {
        return false;
    }
    const char* value = line + key_length + 1;
    const std::size_t value_length = static_cast<std::size_t>(end - value);
    if (value_length == 0 || value_length >= size)
        return false;
    std::memcpy(out, value, value_length);
    out[value_length] = '\0';
    return true;
}

}  // namespace

bool parse_node(const char* text, std::size_t length, node_info& out) {
    const std::size_t marker_length = sizeof(node_marker) - 1;
    if (length < marker_length || std::memcmp(text, node_marker, marker_length) != 0)
        return false;
    bool have_socket = false;
    bool have_enclosure = false;
    const char* at = text + marker_length;
    const char* const stop = text + length;
    while (at < stop) {
        const char* end = static_cast<const char*>(std::memchr(at, '\n', stop - at));
        if (end == nullptr)
            end = stop;
        if (take_value(at, end, "socket", out.socket_path, sizeof(out.socket_path))) {
            have_socket = true;
        } else if (take_value(at, end, "enclosure", out.enclosure, sizeof(out.enclosure))) {
            have_enclosure = true;
        }
        at = end + 1;
    }
    return have_socket && have_enclosure;
}

}  // namespace sim::wire
