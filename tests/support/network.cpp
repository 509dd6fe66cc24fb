#include "tests/support/network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rig {

bool own_network(std::string& problem) {
    if (unshare(CLONE_NEWNET) != 0) {
        problem = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        problem = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    struct ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up)
        problem = std::string("bringing lo up: ") + std::strerror(errno);
    close(fd);
    return up;
}

}  // namespace rig
