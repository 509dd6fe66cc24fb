#include "agent/devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "agent/common.h"
#include "agent/log.h"

device_sequence device_list;

namespace {

constexpr const char* ARRAY_VENDOR = "Trevasko";
constexpr int INQUIRY_LENGTH = 255;
constexpr int SENSE_LENGTH = 32;
constexpr unsigned INQUIRY_TIMEOUT_MS = 30000;
constexpr int SERIAL_OFFSET = 36;
constexpr int SERIAL_FIELD_LENGTH = 12;
constexpr std::size_t SERIAL_KEPT = 4;

}  // namespace

enclosure_device::~enclosure_device() {
    if (fd >= 0)
        ::close(fd);
    release_view();
}

enclosure_device::enclosure_device(enclosure_device&& other) noexcept
    : name(std::move(other.name)),
      path(std::move(other.path)),
      serial(std::move(other.serial)),
      fd(std::exchange(other.fd, -1)),
      array_view(std::exchange(other.array_view, nullptr)) {}

enclosure_device& enclosure_device::operator=(enclosure_device&& other) noexcept {
    if (this == &other)
        return *this;
    if (fd >= 0)
        ::close(fd);
    release_view();
    name = std::move(other.name);
    path = std::move(other.path);
    serial = std::move(other.serial);
    fd = std::exchange(other.fd, -1);
    array_view = std::exchange(other.array_view, nullptr);
    return *this;
}

void enclosure_device::release_view() {
    std::free(array_view);
    array_view = nullptr;
}

int inquire_enclosure(const char* path, std::string& serial, bool& encserv) {
    if (!path)
        return -1;
    const int fd = ::open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        if (debug_level)
            agent_log("Cannot open the device %s. \n", path);
        return -1;
    }

    static const unsigned char cdb[6] = {0x12, 0x00, 0x00, 0x00, 0xFF, 0x00};
    unsigned char data[INQUIRY_LENGTH] = {};
    unsigned char sense[SENSE_LENGTH] = {};
    sg_io_hdr_t request;
    std::memset(&request, 0, sizeof request);
    request.interface_id = 'S';
    request.dxfer_direction = SG_DXFER_FROM_DEV;
    request.cmd_len = sizeof cdb;
    request.mx_sb_len = SENSE_LENGTH;
    request.dxfer_len = INQUIRY_LENGTH;
    request.dxferp = data;
    request.cmdp = const_cast<unsigned char*>(cdb);
    request.sbp = sense;
    request.timeout = INQUIRY_TIMEOUT_MS;

    if (::ioctl(fd, SG_IO, &request) < 0) {
        ::close(fd);
        if (debug_level)
            agent_log("IOCTL failed on the device %s. \n", path);
        return -1;
    }

    const int data_length = data[4] + 5;
    encserv = (data[6] & 0x40) != 0;

    const char* vendor_bytes = reinterpret_cast<const char*>(data + 8);
    const std::string vendor(vendor_bytes, ::strnlen(vendor_bytes, 8));
    if (vendor != ARRAY_VENDOR) {
        encserv = false;
        ::close(fd);
        agent_log("Vendor identification for device %s is %s\n", path, vendor.c_str());
        return -1;
    }

    if (data_length > SERIAL_OFFSET) {
        const char* field = reinterpret_cast<const char*>(data + SERIAL_OFFSET);
        const std::string whole(field, ::strnlen(field, SERIAL_FIELD_LENGTH));
        serial = whole.size() > SERIAL_KEPT ? whole.substr(whole.size() - SERIAL_KEPT) : whole;
        if (debug_level)
            agent_log("Serial Number of the device %s is : %s.\n", path, whole.c_str());
    }

    ::close(fd);
    return 0;
}

int build_device_list(const char* directory, device_sequence& list) {
    DIR* dir = ::opendir(directory);
    if (!dir)
        return -1;

    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "sg", 2) != 0)
            continue;

        enclosure_device record;
        record.name = entry->d_name;
        record.path = std::string(directory) + "//" + entry->d_name;

        // Each entry starts from an empty serial, so a device without a serial field never
        // inherits the one probed before it.
        std::string serial;
        bool encserv = false;
        if (inquire_enclosure(record.path.c_str(), serial, encserv) != 0 || !encserv)
            continue;

        bool duplicate = false;
        for (const enclosure_device& listed : list.records_) {
            if (listed.serial == serial) {
                duplicate = true;
                break;
            }
        }
        if (duplicate)
            continue;

        record.serial = std::move(serial);
        list.records_.push_back(std::move(record));
    }
    ::closedir(dir);
    return 0;
}
