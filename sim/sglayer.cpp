// Virtual SCSI generic layer, preloaded into the programs under test.
//
// SG_IO on a node file of the simulator is checked the way the kernel's sg driver checks
// it and then forwarded to the simulator; everything else goes to the real ioctl. The
// layer ends up in every process of a sandbox (/bin/sh included), so it does no work at
// load time, allocates nothing and keeps no state but the real ioctl's addresses.
#include <dlfcn.h>
#include <fcntl.h>
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
#include <cstring>

#include "sim/protocol.h"

namespace {

using ioctl_function = int (*)(int, unsigned long, ...);

// The C library's entry point that a caller reached, looked up once.
class real_entry {
  public:
    explicit constexpr real_entry(const char* name) : name_(name) {}
    ioctl_function get() {
        ioctl_function f = cache_.load(std::memory_order_acquire);
        if (f == nullptr) {
            f = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, name_));
            cache_.store(f, std::memory_order_release);
        }
        return f;
    }

  private:
    const char* name_;
    std::atomic<ioctl_function> cache_{nullptr};
};

int pass_through(real_entry& real, int fd, unsigned long request, void* argument, int saved_errno) {
    ioctl_function f = real.get();
    if (f == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    errno = saved_errno;
    return f(fd, request, argument);
}

// Reads the node description behind fd; false when fd is not one of our nodes.
bool read_node(int fd, sim::wire::node_info& node) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char text[512];
    const ssize_t got = pread(fd, text, sizeof(text), 0);
    if (got <= 0)
        return false;
    return sim::wire::parse_node(text, static_cast<std::size_t>(got), node);
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

// Closes the connection whatever path leaves the exchange.
struct socket_guard {
    int fd;
    ~socket_guard() {
        if (fd >= 0)
            close(fd);
    }
};

// Forwards the request; 0 with the header filled, or an errno value.
int exchange(const sim::wire::node_info& node, sg_io_hdr_t* h) {
    socket_guard sock{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0)
        return EIO;
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    static_assert(sizeof(address.sun_path) == sizeof(node.socket_path));
    std::memcpy(address.sun_path, node.socket_path, sizeof(address.sun_path));
    int rc;
    do {
        rc = connect(sock.fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return EIO;

    const bool data_out = h->dxfer_direction == SG_DXFER_TO_DEV && h->dxfer_len > 0;
    const bool data_in =
        (h->dxfer_direction == SG_DXFER_FROM_DEV || h->dxfer_direction == SG_DXFER_TO_FROM_DEV) &&
        h->dxfer_len > 0;
    if (data_out && h->dxfer_len > sim::wire::max_data)
        return EIO;

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
    if (sim::wire::send_all(sock.fd, parts, 4) != 0)
        return EIO;

    sim::wire::response_header response;
    if (sim::wire::read_all(sock.fd, &response, sizeof(response)) != 0)
        return EIO;
    if (response.magic != sim::wire::response_magic || response.sense_len > sim::wire::max_sense ||
        response.data_in_len > (data_in ? h->dxfer_len : 0)) {
        return EIO;
    }
    unsigned char sense[sim::wire::max_sense];
    if (sim::wire::read_all(sock.fd, sense, response.sense_len) != 0)
        return EIO;
    if (response.data_in_len > 0 &&
        sim::wire::read_all(sock.fd, h->dxferp, response.data_in_len) != 0) {
        return EIO;
    }
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

int emulate_sg_io(const sim::wire::node_info& node, sg_io_hdr_t* h, int saved_errno) {
    if (const int refused = check_header(h); refused != 0) {
        errno = refused;
        return -1;
    }
    const long started = now_ms();
    if (const int failed = exchange(node, h); failed != 0) {
        errno = failed;
        return -1;
    }
    h->duration = static_cast<unsigned>(now_ms() - started);
    errno = saved_errno;
    return 0;
}

int intercept(real_entry& real, int fd, unsigned long request, void* argument) {
    const int saved_errno = errno;
    if (request == SG_IO) {
        sim::wire::node_info node;
        if (read_node(fd, node)) {
            return emulate_sg_io(node, static_cast<sg_io_hdr_t*>(argument), saved_errno);
        }
    }
    return pass_through(real, fd, request, argument, saved_errno);
}

real_entry real_ioctl{"ioctl"};
#if __TIMESIZE == 32
real_entry real_ioctl_time64{"__ioctl_time64"};
#endif

}  // namespace

// Defined under their symbol names: with 64-bit time the C library's header renames ioctl.
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
