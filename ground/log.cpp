#include "ground/log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    const int in = ::open(source, O_RDONLY);
    if (in < 0)
        return 1;
    struct stat st;
    if (::fstat(in, &st) != 0 || st.st_size <= 0) {
        ::close(in);
        return 1;
    }
    const off_t length = st.st_size;
    const int out = ::open(destination, O_RDWR | O_CREAT | O_TRUNC, mode ? mode : 0744);
    if (out < 0) {
        ::close(in);
        return 1;
    }
    int result = 1;
    const char zero = 0;
    // Without reserved blocks a store into the mapping on a full file system raises SIGBUS.
    if (::lseek(out, length - 1, SEEK_SET) == length - 1 && ::write(out, &zero, 1) == 1 &&
        ::posix_fallocate(out, 0, length) == 0) {
        const auto size = static_cast<std::size_t>(length);
        void* from = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, in, 0);
        if (from != MAP_FAILED) {
            void* to = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, out, 0);
            if (to != MAP_FAILED) {
                std::memcpy(to, from, size);
                ::munmap(to, size);
                result = 0;
            }
            ::munmap(from, size);
        }
    }
    ::close(in);
    ::close(out);
    return result;
}
