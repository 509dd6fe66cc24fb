#include "agent/devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "channel/sg_io.h"
#include "ground/log.h"
#include "ground/settings.h"

device_sequence device_list;

namespace {

constexpr const char* ARRAY_VENDOR = "Trevasko";
constexpr int INQUIRY_LENGTH = 255;
constexpr unsigned char SENSE_LENGTH = 32;
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

inquiry_identity decode_inquiry(const unsigned char* data, std::size_t length) {
    unsigned char bytes[INQUIRY_LENGTH] = {};
    std::memcpy(bytes, data, length < sizeof bytes ? length : sizeof bytes);

    inquiry_identity identity;
    identity.encserv = (bytes[6] & 0x40) != 0;
    const char* vendor = reinterpret_cast<const char*>(bytes + 8);
    identity.vendor.assign(vendor, ::strnlen(vendor, 8));
    // The data length is the additional length plus 5.
    identity.has_serial = bytes[4] + 5 > SERIAL_OFFSET;
    if (identity.has_serial) {
        const char* field = reinterpret_cast<const char*>(bytes + SERIAL_OFFSET);
        identity.serial_field.assign(field, ::strnlen(field, SERIAL_FIELD_LENGTH));
        const std::size_t size = identity.serial_field.size();
        identity.serial = size > SERIAL_KEPT ? identity.serial_field.substr(size - SERIAL_KEPT)
                                             : identity.serial_field;
    }
    return identity;
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
    sg_request request;
    request.to_device = 0;
    request.cdb = cdb;
    request.cmd_len = sizeof cdb;
    request.data = data;
    request.length = INQUIRY_LENGTH;
    request.sense = sense;
    request.sense_length = SENSE_LENGTH;
    request.timeout_ms = INQUIRY_TIMEOUT_MS;

    unsigned char status = 0;
    if (issue_sg_io(fd, request, &status) < 0) {
        ::close(fd);
        if (debug_level)
            agent_log("IOCTL failed on the device %s. \n", path);
        return -1;
    }

    const inquiry_identity identity = decode_inquiry(data, sizeof data);
    encserv = identity.encserv;
    if (identity.vendor != ARRAY_VENDOR) {
        encserv = false;
        ::close(fd);
        agent_log("Vendor identification for device %s is %s\n", path, identity.vendor.c_str());
        return -1;
    }

    if (identity.has_serial) {
        serial = identity.serial;
        if (debug_level)
            agent_log("Serial Number of the device %s is : %s.\n", path,
                      identity.serial_field.c_str());
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

void open_listed_devices() {
    for (std::size_t i = 0; i < device_list.size(); ++i) {
        enclosure_device& device = device_list[i];
        // A descriptor still held would otherwise leak when it is replaced.
        if (device.fd >= 0)
            ::close(device.fd);
        device.fd = ::open(device.path.c_str(), O_RDWR | O_NONBLOCK);
    }
}
