// Enclosure discovery and the device list.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// One listed enclosure device. Owns its descriptor and its saved array view; moved, never
/// copied. A moved-from record holds -1 and no view.
struct enclosure_device {
    std::string name;    ///< directory entry name, e.g. "sg3"
    std::string path;    ///< scan directory + "//" + name
    std::string serial;  ///< at most 4 characters
    int fd = -1;
    char* array_view = nullptr;  ///< heap buffer from receive_hostinfo (malloc), or null

    enclosure_device() = default;
    ~enclosure_device();
    enclosure_device(const enclosure_device&) = delete;
    enclosure_device& operator=(const enclosure_device&) = delete;
    enclosure_device(enclosure_device&& other) noexcept;
    enclosure_device& operator=(enclosure_device&& other) noexcept;

    /// Releases the saved view, if any.
    void release_view();
};

/// The daemon's one ordered sequence of device records.
class device_sequence {
  public:
    void clear() { records_.clear(); }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    enclosure_device& operator[](std::size_t i) { return records_[i]; }
    const enclosure_device& operator[](std::size_t i) const { return records_[i]; }

  private:
    friend int build_device_list(const char* directory, device_sequence& list);
    std::vector<enclosure_device> records_;
};

extern device_sequence device_list;

/// What discovery reads from standard INQUIRY data.
struct inquiry_identity {
    bool encserv = false;      ///< the enclosure-services bit
    std::string vendor;        ///< bytes 8 to 15, ending early at a NUL
    bool has_serial = false;   ///< the data is long enough to hold the serial field
    std::string serial_field;  ///< bytes 36 to 47, ending at a NUL
    std::string serial;        ///< its last 4 characters, or all of it when shorter
};

/// Decodes `length` bytes of INQUIRY data; bytes past them read as zero, as in the cleared
/// buffer of a probe.
inquiry_identity decode_inquiry(const unsigned char* data, std::size_t length);

/// Probes one node with INQUIRY. 0 when it answered with the array's vendor, -1 otherwise.
/// `serial` is written only when the data holds a serial field; `encserv` receives the
/// enclosure-services bit (false for another vendor).
int inquire_enclosure(const char* path, std::string& serial, bool& encserv);

/// Appends the enclosure devices found in `directory` to `list`. 0 when the directory was
/// read, -1 when it cannot be opened (list untouched).
int build_device_list(const char* directory, device_sequence& list);

/// Opens every listed device with O_RDWR|O_NONBLOCK and stores the result in its fd.
void open_listed_devices();
