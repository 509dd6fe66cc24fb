#include "channel/chooser.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "channel/cdb.h"
#include "channel/scsi.h"
#include "ground/log.h"

const char access_vendor[] = "Trevasko";

namespace {

constexpr int INQUIRY_LENGTH = 255;
constexpr unsigned char ENCLOSURE_SERVICES_DEVICE = 0x0D;
constexpr unsigned char DIRECT_ACCESS_DEVICE = 0x00;
constexpr std::size_t PATH_BUFFER = 1024;

struct directory_closer {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

struct glob_matches {
    glob_t value{};
    ~glob_matches() { ::globfree(&value); }
};

// Takes the candidate when it is an access device that opens a second time; on any failure
// nothing of it stays open.
bool take_candidate(const char* path, int fds[2]) {
    fds[0] = is_access_device(path);
    if (fds[0] == -1)
        return false;
    fds[1] = ::open(path, O_RDWR);
    if (fds[1] >= 0)
        return true;
    ::close(fds[0]);
    fds[0] = -1;
    return false;
}

}  // namespace

int choose_access_device(const char* where, int fds[2]) {
    if (std::strchr(where, '*') != nullptr)
        return find_access_device_by_glob(where, fds);
    return find_access_device_in_dir(where, fds);
}

int find_access_device_in_dir(const char* directory, int fds[2]) {
    fds[0] = -1;
    std::unique_ptr<DIR, directory_closer> entries(::opendir(directory));
    if (!entries)
        return 0;
    while (const dirent* entry = ::readdir(entries.get())) {
        char path[PATH_BUFFER];
        const int needed = std::snprintf(path, sizeof path, "%s/%s", directory, entry->d_name);
        // A cut path could name another device.
        if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof path)
            continue;
        if (take_candidate(path, fds))
            break;
    }
    return fds[0] != -1 ? 1 : 0;
}

int find_access_device_by_glob(const char* pattern, int fds[2]) {
    fds[0] = -1;
    glob_matches matches;
    if (::glob(pattern, 0, ignore_glob_error, &matches.value) != 0)
        return 0;
    for (std::size_t i = 0; i < matches.value.gl_pathc; ++i) {
        if (take_candidate(matches.value.gl_pathv[i], fds))
            break;
    }
    return fds[0] != -1 ? 1 : 0;
}

int is_access_device(const char* path) {
    const int fd = ::open(path, O_RDWR);
    if (fd < 0)
        return -1;
    char vendor[9];
    unsigned char type = 0;
    if (!inquire_device_type(fd, vendor, &type) || std::strncmp(vendor, access_vendor, 9) != 0 ||
        type != ENCLOSURE_SERVICES_DEVICE) {
        ::close(fd);
        return -1;
    }
    agent_log("Choosing %s for VanTor access.\n", path);
    return fd;
}

int inquire_device_type(int fd, char vendor[9], unsigned char* type) {
    // Zeroed: bytes the device does not send read as 0, never as old memory.
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[INQUIRY_LENGTH]());
    if (!data)
        return 0;
    cdb_block cdb = build_inquiry_cdb(INQUIRY_LENGTH);
    if (!cdb)
        return 0;
    if (generate_scsi_ioctl(fd, 0, cdb.get(), data.get(), INQUIRY_LENGTH, 1) != 0)
        return 0;
    std::memcpy(vendor, data.get() + 8, 8);
    vendor[8] = '\0';
    unsigned char reckoned = data[0] & 0x1F;
    if (reckoned == DIRECT_ACCESS_DEVICE && (data[6] & 0x40) != 0)
        reckoned = ENCLOSURE_SERVICES_DEVICE;
    *type = reckoned;
    return 1;
}

int ignore_glob_error(const char*, int) {
    return 0;
}
