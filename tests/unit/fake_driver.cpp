#include "tests/unit/fake_driver.h"

#include <dlfcn.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <utility>

namespace fake {

driver sg;

void activate() {
    sg = driver{};
    sg.active = true;
}

}  // namespace fake

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    fake::driver& d = fake::sg;
    if (!d.active) {
        using real_ioctl = int (*)(int, unsigned long, ...);
        static auto real = reinterpret_cast<real_ioctl>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, argument);
    }
    auto* header = static_cast<sg_io_hdr_t*>(argument);
    fake::call seen;
    seen.fd = fd;
    seen.request = request;
    seen.header = *header;
    if (header->cmdp != nullptr)
        seen.cdb.assign(header->cmdp, header->cmdp + header->cmd_len);
    if (header->dxfer_direction == SG_DXFER_TO_DEV && header->dxferp != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(header->dxferp);
        seen.data_out.assign(bytes, bytes + header->dxfer_len);
    }
    d.calls.push_back(std::move(seen));

    fake::answer reply = d.otherwise;
    if (!d.script.empty()) {
        reply = std::move(d.script.front());
        d.script.pop_front();
    }
    if (d.during) {
        auto hook = std::move(d.during);
        d.during = nullptr;
        hook();
    }
    if (header->dxfer_direction == SG_DXFER_FROM_DEV && header->dxferp != nullptr &&
        !reply.data_in.empty()) {
        std::memcpy(header->dxferp, reply.data_in.data(),
                    std::min<std::size_t>(reply.data_in.size(), header->dxfer_len));
    }
    header->status = reply.status;
    return reply.result;
}
