// tolva-sgprobe: small static helper of the real-driver guest.
//
//   tolva-sgprobe refuse DEV          SG_IO headers the driver must reject, one field wrong
//                                     at a time, then a command block too long for it sent
//                                     the daemon's way (generate_scsi_ioctl)
//   tolva-sgprobe cmd DEV in|out CDB LENGTH [FILE]
//                                     one command (CDB in hex); prints every output field
//   tolva-sgprobe send DEV FILE       the file's text and a NUL as one host-view send, the
//                                     daemon's way (send_hostinfo)
//   tolva-sgprobe adopt PROGRAM [ARG...]
//                                     runs PROGRAM and reaps it and every process it leaves
//                                     behind (a daemon), printing how each one ended
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "channel/scsi.h"
#include "channel/transfer.h"

namespace {

const char* errno_name(int e) {
    switch (e) {
        case 0:
            return "0";
        case ENOSYS:
            return "ENOSYS";
        case EMSGSIZE:
            return "EMSGSIZE";
        case EINVAL:
            return "EINVAL";
        case EFAULT:
            return "EFAULT";
        case EIO:
            return "EIO";
        case ENODEV:
            return "ENODEV";
        case ENXIO:
            return "ENXIO";
        case EBUSY:
            return "EBUSY";
        default:
            return "other";
    }
}

std::string hex(const unsigned char* bytes, std::size_t length) {
    std::string text;
    char two[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

int open_device(const char* path) {
    const int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        std::fprintf(stderr, "tolva-sgprobe: cannot open %s: %s\n", path, std::strerror(errno));
    return fd;
}

int refuse(int fd) {
    unsigned char inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    unsigned char data[36];
    unsigned char sense[32];
    sg_iovec_t one{data, sizeof data};
    struct variant {
        const char* name;
        void (*change)(sg_io_hdr_t&, sg_iovec_t*);
    };
    static const variant variants[] = {
        {"interface_id=Q", [](sg_io_hdr_t& h, sg_iovec_t*) { h.interface_id = 'Q'; }},
        {"cmd_len=5", [](sg_io_hdr_t& h, sg_iovec_t*) { h.cmd_len = 5; }},
        {"cmd_len=253", [](sg_io_hdr_t& h, sg_iovec_t*) { h.cmd_len = 253; }},
        {"cmd_len=40", [](sg_io_hdr_t& h, sg_iovec_t*) { h.cmd_len = 40; }},
        {"cmdp=null", [](sg_io_hdr_t& h, sg_iovec_t*) { h.cmdp = nullptr; }},
        {"dxfer_direction=-7", [](sg_io_hdr_t& h, sg_iovec_t*) { h.dxfer_direction = -7; }},
        {"dxferp=null", [](sg_io_hdr_t& h, sg_iovec_t*) { h.dxferp = nullptr; }},
        {"iovec_count=1",
         [](sg_io_hdr_t& h, sg_iovec_t* v) {
             h.iovec_count = 1;
             h.dxferp = v;
         }},
    };
    for (const variant& v : variants) {
        sg_io_hdr_t h;
        std::memset(&h, 0, sizeof h);
        h.interface_id = 'S';
        h.dxfer_direction = SG_DXFER_FROM_DEV;
        h.cmd_len = sizeof inquiry;
        h.mx_sb_len = sizeof sense;
        h.dxfer_len = sizeof data;
        h.dxferp = data;
        h.cmdp = inquiry;
        h.sbp = sense;
        h.timeout = 30000;
        v.change(h, &one);
        errno = 0;
        const int result = ioctl(fd, SG_IO, &h);
        std::printf("%s result=%d errno=%s\n", v.name, result,
                    result < 0 ? errno_name(errno) : "0");
    }
    // Additional length 30: the daemon derives a command length of 38 from it.
    unsigned char vendor[40] = {0x7F, 0, 0, 36, 0, 0, 0, 30, 0xF8, 3};
    const int result = generate_scsi_ioctl(fd, 0, vendor, data, sizeof data, 1);
    std::printf("generate_scsi_ioctl cmd_len=38 result=%d\n", result);
    return 0;
}

bool parse_hex(const std::string& text, std::vector<unsigned char>& out) {
    if (text.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1)
            return false;
        out.push_back(static_cast<unsigned char>(value));
    }
    return !out.empty() && out.size() <= 255;
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int command(int fd, const std::string& way, const std::string& cdb_text, unsigned length,
            const char* file) {
    std::vector<unsigned char> cdb;
    if ((way != "in" && way != "out") || !parse_hex(cdb_text, cdb)) {
        std::fprintf(stderr, "tolva-sgprobe: bad command\n");
        return 2;
    }
    std::vector<unsigned char> data(length, 0);
    if (file != nullptr) {
        const std::string bytes = read_file(file);
        std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), length), data.begin());
    }
    unsigned char sense[32] = {};
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = way == "in" ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    h.cmd_len = static_cast<unsigned char>(cdb.size());
    h.mx_sb_len = sizeof sense;
    h.dxfer_len = length;
    h.dxferp = data.data();
    h.cmdp = cdb.data();
    h.sbp = sense;
    h.timeout = 30000;
    errno = 0;
    const int result = ioctl(fd, SG_IO, &h);
    const int error = errno;
    const int moved = static_cast<int>(length) - h.resid;
    std::printf(
        "result=%d errno=%s status=0x%02x masked=0x%02x host=0x%02x driver=0x%02x "
        "sb_len_wr=%u resid=%d sense=%s",
        result, result < 0 ? errno_name(error) : "0", h.status, h.masked_status, h.host_status,
        h.driver_status, h.sb_len_wr, h.resid, hex(sense, h.sb_len_wr).c_str());
    if (way == "in" && moved >= 0 && static_cast<unsigned>(moved) <= length)
        std::printf(" data=%s", hex(data.data(), static_cast<std::size_t>(moved)).c_str());
    std::printf("\n");
    return 0;
}

int adopt(char** argv) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("tolva-sgprobe: prctl");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("tolva-sgprobe: fork");
        return 1;
    }
    if (child == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, 0)) > 0 || errno == EINTR;) {
        if (pid <= 0)
            continue;
        if (WIFEXITED(status))
            std::printf("%s pid=%d exit=%d\n", pid == child ? "started" : "adopted", pid,
                        WEXITSTATUS(status));
        else
            std::printf("%s pid=%d signal=%d\n", pid == child ? "started" : "adopted", pid,
                        WTERMSIG(status));
        std::fflush(stdout);
    }
    return 0;
}

void usage() {
    std::fprintf(stderr,
                 "usage: tolva-sgprobe refuse DEV | cmd DEV in|out CDB LENGTH [FILE] | "
                 "send DEV FILE | adopt PROGRAM [ARG...]\n");
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "adopt" && argc > 2)
        return adopt(argv + 2);
    if (argc < 3 || (what == "refuse" && argc != 3) || (what == "send" && argc != 4) ||
        (what == "cmd" && argc != 6 && argc != 7)) {
        usage();
        return 2;
    }
    const int fd = open_device(argv[2]);
    if (fd < 0)
        return 1;
    int status = 2;
    if (what == "refuse") {
        status = refuse(fd);
    } else if (what == "cmd") {
        status = command(fd, argv[3], argv[4], static_cast<unsigned>(std::stoul(argv[5])),
                         argc == 7 ? argv[6] : nullptr);
    } else if (what == "send") {
        const std::string text = read_file(argv[3]);
        std::printf("send_hostinfo result=%d\n",
                    send_hostinfo(fd, text.c_str(), static_cast<int>(text.size()) + 1));
    } else {
        usage();
    }
    close(fd);
    return status;
}
