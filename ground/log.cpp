#include "ground/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

const char* log_directory = "/var/log/qelvo/caldrix";

namespace {

constexpr const char* LOG_FILE_NAME = "tolvad.log";
constexpr off_t ROTATE_ABOVE = 0x4FFFFF;
constexpr int COPIES = 4;

// Leaf lock: nothing called under it writes to the log.
std::mutex log_mutex;

// The lock between processes (the daemon and a `tolvad -p` beside it): a flock on the log
// directory itself, so that no extra file lies in it. Taken after log_mutex.
class directory_lock {
  public:
    explicit directory_lock(const char* directory)
        : fd_(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        // A file system without flock still gets its lines, unguarded as before.
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~directory_lock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    directory_lock(const directory_lock&) = delete;
    directory_lock& operator=(const directory_lock&) = delete;

    bool opened() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Writes all of `length` bytes; false on any error.
bool write_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies from the current offsets to the end of `in`; true when it got there.
bool copy_contents(int in, int out) {
    bool kernel_copy = true;
    char buffer[65536];
    for (;;) {
        if (kernel_copy) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n == 0)
                return true;
            if (n > 0)
                continue;
            if (errno == EINTR)
                continue;
            // Not offered between these files: go on with plain reads and writes.
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return false;
            kernel_copy = false;
        }
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!write_all(out, buffer, static_cast<std::size_t>(n)))
            return false;
    }
}

// Formats one conversion with the C type it needs, so no varargs call ever sees a
// mismatched argument.
void append_conversion(std::string& out, const std::string& directive, char conversion,
                       const log_arg& arg) {
    char buffer[128];
    const std::string fmt = directive + conversion;
    int n = -1;
    switch (conversion) {
        case 's': {
            if (arg.is_text()) {
                const char* text = arg.text() ? arg.text() : "(null)";
                const int length = std::snprintf(nullptr, 0, fmt.c_str(), text);
                if (length < 0)
                    return;
                std::string expanded(static_cast<std::size_t>(length) + 1, '\0');
                std::snprintf(expanded.data(), expanded.size(), fmt.c_str(), text);
                expanded.resize(static_cast<std::size_t>(length));
                out += expanded;
                return;
            }
            // An integer where text was expected: show the number rather than read memory.
            n = std::snprintf(buffer, sizeof buffer, (directive + "lld").c_str(),
                              static_cast<long long>(arg.value()));
            break;
        }
        case 'd':
        case 'i':
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), static_cast<int>(arg.value()));
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(),
                              static_cast<unsigned>(arg.value()));
            break;
        case 'c':
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), static_cast<int>(arg.value()));
            break;
        default:
            // Conversions the daemon never uses (%n above all) are written as they stand.
            out += fmt;
            return;
    }
    if (n > 0)
        out.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

std::string expand(const char* format, const log_arg (&args)[3]) {
    std::string out;
    int next = 0;
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string directive = "%";
        while (*p && std::strchr("-+ #0", *p))
            directive += *p++;
        // Widths and precisions stay within two digits so a number fits its fixed buffer.
        const auto take_digits = [&] {
            int count = 0;
            while (*p >= '0' && *p <= '9') {
                directive += *p++;
                ++count;
            }
            return count;
        };
        bool too_wide = take_digits() > 2;
        if (*p == '.') {
            directive += *p++;
            too_wide = take_digits() > 2 || too_wide;
        }
        while (*p && std::strchr("hlLqjzt", *p))
            ++p;
        if (!*p || too_wide) {
            out.append(start, static_cast<std::size_t>(p - start));
            continue;
        }
        const log_arg none;
        append_conversion(out, directive, *p, next < 3 ? args[next] : none);
        ++next;
        ++p;
    }
    return out;
}

bool exists_not_empty(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && st.st_size != 0;
}

// Runs the rotation; true when the live log may start empty. A copy whose lines could not
// be saved one step older is never removed or overwritten, so a failure holds back every
// younger step, down to the live log.
bool rotate(const std::string& live) {
    std::string copy[COPIES];
    for (int i = 0; i < COPIES; ++i)
        copy[i] = live + "." + std::to_string(i);

    bool older_free = true;  // copy 3 is the oldest and may always be dropped
    for (int k = COPIES - 2; k >= 0; --k) {
        if (!exists_not_empty(copy[k])) {
            older_free = true;
            continue;
        }
        bool saved = false;
        if (older_free) {
            ::unlink(copy[k + 1].c_str());
            saved = copy_file(copy[k].c_str(), copy[k + 1].c_str(), 0) == 0;
            if (saved && k == 0)
                ::unlink(copy[0].c_str());
        }
        older_free = saved;
    }
    if (!older_free)
        return false;
    return copy_file(live.c_str(), copy[0].c_str(), 0) == 0;
}

}  // namespace

time_t (*log_clock)() = [] { return ::time(nullptr); };

std::string format_log_message(const char* format, log_arg a, log_arg b, log_arg c) {
    const log_arg args[3] = {a, b, c};
    return expand(format, args);
}

void current_time(time_t* now) {
    *now = log_clock();
}

void time_text(time_t t, char* text) {
    if (::ctime_r(&t, text) == nullptr) {
        text[0] = '\0';
        return;
    }
    for (std::size_t i = std::strlen(text); i-- > 1;) {
        if (text[i] == '\n')
            text[i] = '\0';
    }
}

void agent_log(const char* format, log_arg a, log_arg b, log_arg c) {
    std::lock_guard<std::mutex> hold(log_mutex);
    // Without its directory the line is lost, as the open below would fail anyway.
    const directory_lock other_processes(log_directory);
    if (!other_processes.opened())
        return;

    time_t now;
    current_time(&now);
    char stamp[32] = {};
    time_text(now, stamp);
    const char* shown = std::strlen(stamp) >= 4 ? stamp + 4 : stamp;

    const std::string live = std::string(log_directory) + "/" + LOG_FILE_NAME;

    FILE* stream = nullptr;
    struct stat st;
    if (::stat(live.c_str(), &st) == 0 && st.st_size > ROTATE_ABOVE) {
        stream = std::fopen(live.c_str(), rotate(live) ? "w" : "a");
    } else {
        stream = std::fopen(live.c_str(), "a");
    }
    ::chmod(live.c_str(), 0777);
    if (!stream)
        return;

    if (a.is_zero() && b.is_zero() && c.is_zero()) {
        std::fprintf(stream, "%15s %s\n", shown, format);
    } else {
        const log_arg args[3] = {a, b, c};
        std::fprintf(stream, "%15s %s\n", shown, expand(format, args).c_str());
    }
    std::fflush(stream);
    std::fclose(stream);
}

int copy_file(const char* source, const char* destination, mode_t mode) {
    const int in = ::open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return 1;
    struct stat st;
    if (::fstat(in, &st) != 0 || st.st_size <= 0) {
        ::close(in);
        return 1;
    }
    const int out =
        ::open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode ? mode : 0744);
    if (out < 0) {
        ::close(in);
        return 1;
    }
    // Reads and writes, not a mapping: a source that shrinks under us ends the copy early
    // instead of faulting, and a full file system is a failed write.
    bool ok = copy_contents(in, out);
    ::close(in);
    if (::close(out) != 0)
        ok = false;
    if (!ok) {
        // A half-written copy would be shifted over the real ones by the next rotation.
        ::unlink(destination);
        return 1;
    }
    return 0;
}
