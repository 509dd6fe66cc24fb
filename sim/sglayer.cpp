// Virtual SCSI generic layer, preloaded into the programs under test.
//
// SG_IO on a node file of the simulator is checked the way the kernel's sg driver checks
// it and then forwarded to the simulator; everything else goes to the real ioctl. Opening a
// node also connects to the simulator, and the commands on that descriptor use that one
// connection: a process with no descriptor left still reaches its device, as it does a real
// sg device. The layer ends up in every process of a sandbox (/bin/sh included), so it does
// no work at load time and allocates nothing; its state is the real entries' addresses and
// a fixed table of connections by descriptor.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "sim/protocol.h"

namespace {

using ioctl_function = int (*)(int, unsigned long, ...);
using open_function = int (*)(const char*, int, ...);
using openat_function = int (*)(int, const char*, int, ...);
using fortified_open_function = int (*)(const char*, int);
using fortified_openat_function = int (*)(int, const char*, int);
using close_function = int (*)(int);

// The C library's entry point that a caller reached, looked up once.
template <typename Function>
class real_entry {
  public:
    explicit constexpr real_entry(const char* name) : name_(name) {}
    Function get() {
        void* f = cache_.load(std::memory_order_acquire);
        if (f == nullptr) {
            f = dlsym(RTLD_NEXT, name_);
            cache_.store(f, std::memory_order_release);
        }
        return reinterpret_cast<Function>(f);
    }

  private:
    const char* name_;
    std::atomic<void*> cache_{nullptr};
};

real_entry<close_function> real_close{"close"};

// Closes a descriptor of the layer's own, past the close interposed below.
void drop(int fd) {
    if (const close_function f = real_close.get())
        f(fd);
}

int pass_through(real_entry<ioctl_function>& real, int fd, unsigned long request, void* argument,
                 int saved_errno) {
    const ioctl_function f = real.get();
    if (f == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    errno = saved_errno;
    return f(fd, request, argument);
}

std::uint64_t text_digest(const char* text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (; *text != '\0'; ++text) {
        hash ^= static_cast<unsigned char>(*text);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// Which node file a descriptor stands on, and which simulator that file named.
struct node_identity {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t socket_path = 0;  // digest
};

// Reads the node description behind fd; false when fd is not one of our nodes.
bool read_node(int fd, sim::wire::node_info& node, node_identity& id) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char text[512];
    const ssize_t got = pread(fd, text, sizeof(text), 0);
    if (got <= 0 || !sim::wire::parse_node(text, static_cast<std::size_t>(got), node))
        return false;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.socket_path = text_digest(node.socket_path);
    return true;
}

// A connection to the node's simulator, or -1. `socket_error` tells a socket that could not
// be made (no descriptor left) from a simulator that does not answer (0).
int dial(const sim::wire::node_info& node, int& socket_error) {
    socket_error = 0;
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        socket_error = errno;
        return -1;
    }
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    static_assert(sizeof(address.sun_path) == sizeof(node.socket_path));
    std::memcpy(address.sun_path, node.socket_path, sizeof(address.sun_path));
    int rc;
    do {
        rc = connect(sock, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        drop(sock);
        return -1;
    }
    return sock;
}

// Connections by node descriptor. A slot's word holds a generation, which every interposed
// open and close of the descriptor advances, and a state: none, busy (a thread holds the
// slot and its fields) or the socket + 1. A command puts its socket back only under the
// generation it took it in, so a close or open racing with it (a fault of the program, but
// possible) never ends up with another file's connection. A descriptor beyond the table
// connects for each command.
constexpr int table_size = 4096;
constexpr std::uint32_t state_none = 0;
constexpr std::uint32_t state_busy = 0xFFFFFFFFu;

struct slot {
    std::atomic<std::uint64_t> word{0};
    // What the connection was made for, checked on every use: a forked child must not
    // share its parent's stream, and a descriptor closed or replaced where the layer does
    // not see it (close_range, dup2, a socket closed by a program that closes everything)
    // must not send to a connection of another file.
    std::atomic<pid_t> pid{0};
    std::atomic<std::uint64_t> node_dev{0};
    std::atomic<std::uint64_t> node_ino{0};
    std::atomic<std::uint64_t> socket_path{0};
    std::atomic<std::uint64_t> socket_dev{0};
    std::atomic<std::uint64_t> socket_ino{0};
};

constinit slot table[table_size];

constexpr std::uint64_t pack(std::uint32_t generation, std::uint32_t state) {
    return (std::uint64_t{generation} << 32) | state;
}
constexpr std::uint32_t generation_of(std::uint64_t word) {
    return static_cast<std::uint32_t>(word >> 32);
}
constexpr std::uint32_t state_of(std::uint64_t word) {
    return static_cast<std::uint32_t>(word);
}

struct claim {
    std::uint32_t generation;
    std::uint32_t state;  // what the slot held; busy: another thread holds it
};

// Takes the slot for a command, unless another thread holds it.
claim take(slot& s) {
    std::uint64_t word = s.word.load(std::memory_order_acquire);
    for (;;) {
        if (state_of(word) == state_busy)
            return {generation_of(word), state_busy};
        if (s.word.compare_exchange_weak(word, pack(generation_of(word), state_busy),
                                         std::memory_order_acquire)) {
            return {generation_of(word), state_of(word)};
        }
    }
}

// Takes the slot for an open or close of its descriptor, in a new generation.
claim seize(slot& s) {
    std::uint64_t word = s.word.load(std::memory_order_acquire);
    while (!s.word.compare_exchange_weak(word, pack(generation_of(word) + 1, state_busy),
                                         std::memory_order_acquire)) {
    }
    return {generation_of(word) + 1, state_of(word)};
}

// False when an open or close took the slot meanwhile.
bool put_back(slot& s, std::uint32_t generation, std::uint32_t state) {
    std::uint64_t expected = pack(generation, state_busy);
    return s.word.compare_exchange_strong(expected, pack(generation, state),
                                          std::memory_order_release, std::memory_order_relaxed);
}

bool same_socket(const slot& s, int sock) {
    struct stat st {};
    return fstat(sock, &st) == 0 && S_ISSOCK(st.st_mode) &&
           st.st_dev == s.socket_dev.load(std::memory_order_relaxed) &&
           st.st_ino == s.socket_ino.load(std::memory_order_relaxed);
}

// Closes the socket a held slot recorded, if its number still is that socket (in a forked
// child: the child's copy, which the parent keeps).
void dispose(const slot& s, std::uint32_t state) {
    if (state == state_none || state == state_busy)
        return;
    const int sock = static_cast<int>(state - 1);
    if (same_socket(s, sock))
        drop(sock);
}

void record(slot& s, int sock, const node_identity& id) {
    struct stat st {};
    fstat(sock, &st);
    s.pid.store(getpid(), std::memory_order_relaxed);
    s.node_dev.store(id.dev, std::memory_order_relaxed);
    s.node_ino.store(id.ino, std::memory_order_relaxed);
    s.socket_path.store(id.socket_path, std::memory_order_relaxed);
    s.socket_dev.store(st.st_dev, std::memory_order_relaxed);
    s.socket_ino.store(st.st_ino, std::memory_order_relaxed);
}

// Whether a held slot's socket may carry a command for this node: made by this process for
// this node file, still that socket, and idle (one the simulator closed reads as ready).
bool usable(const slot& s, int sock, const node_identity& id) {
    if (s.pid.load(std::memory_order_relaxed) != getpid() ||
        s.node_dev.load(std::memory_order_relaxed) != id.dev ||
        s.node_ino.load(std::memory_order_relaxed) != id.ino ||
        s.socket_path.load(std::memory_order_relaxed) != id.socket_path || !same_socket(s, sock)) {
        return false;
    }
    struct pollfd ready = {sock, POLLIN, 0};
    return poll(&ready, 1, 0) == 0;
}

// The connection one command goes over.
struct connection {
    int fd = -1;
    slot* home = nullptr;  // where it goes back to; none: closed after the command
    std::uint32_t generation = 0;
};

connection acquire(int fd, const sim::wire::node_info& node, const node_identity& id) {
    connection c;
    int socket_error;
    if (fd >= 0 && fd < table_size) {
        slot& s = table[fd];
        const claim taken = take(s);
        // Another thread's command on this descriptor: this one goes over a connection of its
        // own rather than interleave with it.
        if (taken.state != state_busy) {
            c.home = &s;
            c.generation = taken.generation;
            if (taken.state != state_none) {
                const int sock = static_cast<int>(taken.state - 1);
                if (usable(s, sock, id)) {
                    c.fd = sock;
                    return c;
                }
                dispose(s, taken.state);
            }
            // A node descriptor the layer has no connection for (dup'd, inherited, opened
            // while the simulator was away, or whose connection broke) gets one now and
            // keeps it until it is closed.
            c.fd = dial(node, socket_error);
            if (c.fd >= 0)
                record(s, c.fd, id);
            return c;
        }
    }
    c.fd = dial(node, socket_error);
    return c;
}

// `reusable`: the stream is at a request boundary, so the next command may use it.
void release(const connection& c, bool reusable) {
    if (c.home != nullptr) {
        if (c.fd >= 0 && reusable && put_back(*c.home, c.generation, c.fd + 1))
            return;
        put_back(*c.home, c.generation, state_none);
    }
    if (c.fd >= 0)
        drop(c.fd);
}

// The checks of the sg driver, in its order; 0 or the errno it gives.
int check_header(const sg_io_hdr_t* h) {
    if (h == nullptr)
        return EFAULT;
    if (h->interface_id != 'S')
        return ENOSYS;
    if (h->cmd_len < 6 || h->cmd_len > 252)
        return EMSGSIZE;
    if (h->cmdp == nullptr)
        return EFAULT;
    if (h->cmd_len > sim::wire::max_cdb)
        return EINVAL;
    switch (h->dxfer_direction) {
        case SG_DXFER_NONE:
        case SG_DXFER_TO_DEV:
        case SG_DXFER_FROM_DEV:
        case SG_DXFER_TO_FROM_DEV:
            break;
        default:
            return EINVAL;
    }
    if (h->iovec_count != 0)
        return EINVAL;
    if (h->dxfer_direction != SG_DXFER_NONE && h->dxfer_len > 0 && h->dxferp == nullptr) {
        return EFAULT;
    }
    return 0;
}

long now_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Sends the request over `sock` and reads the answer; 0 with the header filled, or an errno
// value. `reusable` stays true while the stream is left at a request boundary.
int exchange(int sock, const sim::wire::node_info& node, sg_io_hdr_t* h, bool& reusable) {
    reusable = false;
    const bool data_out = h->dxfer_direction == SG_DXFER_TO_DEV && h->dxfer_len > 0;
    const bool data_in =
        (h->dxfer_direction == SG_DXFER_FROM_DEV || h->dxfer_direction == SG_DXFER_TO_FROM_DEV) &&
        h->dxfer_len > 0;

    sim::wire::request_header request;
    request.interface_id = h->interface_id;
    request.dxfer_direction = h->dxfer_direction;
    request.cmd_len = h->cmd_len;
    request.mx_sb_len = h->mx_sb_len;
    request.dxfer_len = h->dxfer_len;
    request.timeout = h->timeout;
    request.flags = h->flags;
    request.iovec_count = h->iovec_count;
    request.enclosure_len = static_cast<std::uint32_t>(std::strlen(node.enclosure));
    request.data_out_len = data_out ? h->dxfer_len : 0;
    struct iovec parts[4] = {
        {&request, sizeof(request)},
        {const_cast<char*>(node.enclosure), request.enclosure_len},
        {h->cmdp, h->cmd_len},
        {h->dxferp, request.data_out_len},
    };
    if (sim::wire::send_all(sock, parts, 4) != 0)
        return EIO;

    sim::wire::response_header response;
    if (sim::wire::read_all(sock, &response, sizeof(response)) != 0)
        return EIO;
    if (response.magic != sim::wire::response_magic || response.sense_len > sim::wire::max_sense ||
        response.data_in_len > (data_in ? h->dxfer_len : 0)) {
        return EIO;
    }
    unsigned char sense[sim::wire::max_sense];
    if (sim::wire::read_all(sock, sense, response.sense_len) != 0)
        return EIO;
    if (response.data_in_len > 0 &&
        sim::wire::read_all(sock, h->dxferp, response.data_in_len) != 0) {
        return EIO;
    }
    reusable = true;
    if (response.ioctl_result != 0)
        return response.error != 0 ? response.error : EIO;

    unsigned sense_written = response.sense_len < h->mx_sb_len ? response.sense_len : h->mx_sb_len;
    if (h->sbp == nullptr)
        sense_written = 0;
    if (sense_written > 0)
        std::memcpy(h->sbp, sense, sense_written);
    h->status = response.status;
    h->masked_status = response.masked_status;
    h->msg_status = 0;
    h->sb_len_wr = static_cast<unsigned char>(sense_written);
    h->host_status = response.host_status;
    h->driver_status = response.driver_status;
    h->resid = response.resid;
    h->info = (response.status != 0 || response.host_status != 0 || response.driver_status != 0)
                  ? SG_INFO_CHECK
                  : SG_INFO_OK;
    return 0;
}

int emulate_sg_io(int fd, const sim::wire::node_info& node, const node_identity& id, sg_io_hdr_t* h,
                  int saved_errno) {
    if (const int refused = check_header(h); refused != 0) {
        errno = refused;
        return -1;
    }
    if (h->dxfer_direction == SG_DXFER_TO_DEV && h->dxfer_len > sim::wire::max_data) {
        errno = EIO;
        return -1;
    }
    const long started = now_ms();
    const connection c = acquire(fd, node, id);
    bool reusable = false;
    const int failed = c.fd >= 0 ? exchange(c.fd, node, h, reusable) : EIO;
    release(c, reusable);
    if (failed != 0) {
        errno = failed;
        return -1;
    }
    h->duration = static_cast<unsigned>(now_ms() - started);
    errno = saved_errno;
    return 0;
}

int intercept(real_entry<ioctl_function>& real, int fd, unsigned long request, void* argument) {
    const int saved_errno = errno;
    if (request == SG_IO) {
        sim::wire::node_info node;
        node_identity id;
        if (read_node(fd, node, id)) {
            return emulate_sg_io(fd, node, id, static_cast<sg_io_hdr_t*>(argument), saved_errno);
        }
    }
    return pass_through(real, fd, request, argument, saved_errno);
}

// Connects an opened node descriptor to its simulator, and forgets what the slot recorded
// for a descriptor of that number that was closed where the layer does not see it.
int opened(int fd) {
    if (fd < 0 || fd >= table_size)
        return fd;
    const int saved_errno = errno;
    sim::wire::node_info node;
    node_identity id;
    const bool is_node = read_node(fd, node, id);
    slot& s = table[fd];
    const claim held = seize(s);
    dispose(s, held.state);
    int sock = -1;
    if (is_node) {
        int socket_error = 0;
        sock = dial(node, socket_error);
        if (socket_error != 0) {
            // No descriptor left for the connection: the open fails as an open fails without a
            // descriptor, which programs handle, rather than hand out a node whose every command
            // fails at once.
            put_back(s, held.generation, state_none);
            drop(fd);
            errno = socket_error;
            return -1;
        }
        // With no simulator serving, the node still opens, as the node of a device that is gone
        // does; its commands connect when they come (and fail while nothing serves).
        if (sock >= 0)
            record(s, sock, id);
    }
    if (!put_back(s, held.generation,
                  sock >= 0 ? static_cast<std::uint32_t>(sock) + 1 : state_none) &&
        sock >= 0) {
        drop(sock);
    }
    errno = saved_errno;
    return fd;
}

void closing(int fd) {
    if (fd < 0 || fd >= table_size)
        return;
    slot& s = table[fd];
    if (state_of(s.word.load(std::memory_order_acquire)) == state_none)
        return;
    const int saved_errno = errno;
    const claim held = seize(s);
    dispose(s, held.state);
    put_back(s, held.generation, state_none);
    errno = saved_errno;
}

template <typename Function>
Function real_or_enosys(real_entry<Function>& real) {
    const Function f = real.get();
    if (f == nullptr)
        errno = ENOSYS;
    return f;
}

real_entry<ioctl_function> real_ioctl{"ioctl"};
#if __TIMESIZE == 32
real_entry<ioctl_function> real_ioctl_time64{"__ioctl_time64"};
#endif
real_entry<open_function> real_open{"open"};
real_entry<open_function> real_open64{"open64"};
real_entry<openat_function> real_openat{"openat"};
real_entry<openat_function> real_openat64{"openat64"};
real_entry<fortified_open_function> real_open_2{"__open_2"};
real_entry<fortified_open_function> real_open64_2{"__open64_2"};
real_entry<fortified_openat_function> real_openat_2{"__openat_2"};
real_entry<fortified_openat_function> real_openat64_2{"__openat64_2"};

int open_with(real_entry<open_function>& real, const char* path, int flags, mode_t mode) {
    const open_function f = real_or_enosys(real);
    return f != nullptr ? opened(f(path, flags, mode)) : -1;
}

int openat_with(real_entry<openat_function>& real, int dir, const char* path, int flags,
                mode_t mode) {
    const openat_function f = real_or_enosys(real);
    return f != nullptr ? opened(f(dir, path, flags, mode)) : -1;
}

}  // namespace

// Defined under their symbol names: the C library's headers rename some of these (ioctl with
// 64-bit time, open with 64-bit file offsets), and every name a program may have been linked
// against must be ours. 32-bit programs built with 64-bit offsets call the *64 entries, the
// others the plain ones; with _FORTIFY_SOURCE the opens without a mode go to the __*_2 ones.
extern "C" __attribute__((visibility("default"))) int layer_ioctl(int, unsigned long,
                                                                  ...) __asm__("ioctl");

extern "C" int layer_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    return intercept(real_ioctl, fd, request, argument);
}

#if __TIMESIZE == 32
// 32-bit programs built with 64-bit time call this entry instead of ioctl; it converts the
// time values of some requests, so what is not ours goes on to the same entry.
extern "C" __attribute__((visibility("default"))) int layer_ioctl_time64(
    int, unsigned long, ...) __asm__("__ioctl_time64");

extern "C" int layer_ioctl_time64(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    return intercept(real_ioctl_time64, fd, request, argument);
}
#endif

extern "C" {
__attribute__((visibility("default"))) int layer_open(const char*, int, ...) __asm__("open");
__attribute__((visibility("default"))) int layer_open64(const char*, int, ...) __asm__("open64");
__attribute__((visibility("default"))) int layer_openat(int, const char*, int,
                                                        ...) __asm__("openat");
__attribute__((visibility("default"))) int layer_openat64(int, const char*, int,
                                                          ...) __asm__("openat64");
__attribute__((visibility("default"))) int layer_open_2(const char*, int) __asm__("__open_2");
__attribute__((visibility("default"))) int layer_open64_2(const char*, int) __asm__("__open64_2");
__attribute__((visibility("default"))) int layer_openat_2(int, const char*,
                                                          int) __asm__("__openat_2");
__attribute__((visibility("default"))) int layer_openat64_2(int, const char*,
                                                            int) __asm__("__openat64_2");
__attribute__((visibility("default"))) int layer_close(int) __asm__("close");
}

extern "C" int layer_open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    // There is a mode only when the flags say so.
    const mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_with(real_open, path, flags, mode);
}

extern "C" int layer_open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_with(real_open64, path, flags, mode);
}

extern "C" int layer_openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openat_with(real_openat, dir, path, flags, mode);
}

extern "C" int layer_openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return openat_with(real_openat64, dir, path, flags, mode);
}

// The fortified entries check their flags themselves (a mode-needing open aborts there).
extern "C" int layer_open_2(const char* path, int flags) {
    const fortified_open_function f = real_or_enosys(real_open_2);
    return f != nullptr ? opened(f(path, flags)) : -1;
}

extern "C" int layer_open64_2(const char* path, int flags) {
    const fortified_open_function f = real_or_enosys(real_open64_2);
    return f != nullptr ? opened(f(path, flags)) : -1;
}

extern "C" int layer_openat_2(int dir, const char* path, int flags) {
    const fortified_openat_function f = real_or_enosys(real_openat_2);
    return f != nullptr ? opened(f(dir, path, flags)) : -1;
}

extern "C" int layer_openat64_2(int dir, const char* path, int flags) {
    const fortified_openat_function f = real_or_enosys(real_openat64_2);
    return f != nullptr ? opened(f(dir, path, flags)) : -1;
}

extern "C" int layer_close(int fd) {
    closing(fd);
    const close_function f = real_or_enosys(real_close);
    return f != nullptr ? f(fd) : -1;
}
