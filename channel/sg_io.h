// The one place where a SCSI generic request is filled and issued.
#pragma once

/// What a caller asks of the driver; every other field of the request stays zero.
struct sg_request {
    int to_device = 0;  ///< non-zero: data flows to the device
    const unsigned char* cdb = nullptr;
    unsigned char cmd_len = 0;
    void* data = nullptr;
    unsigned length = 0;
    unsigned char* sense = nullptr;
    unsigned char sense_length = 0;
    unsigned timeout_ms = 0;
};

/// Clears a request, fills it from `request` and issues SG_IO on `fd`. Returns the ioctl
/// result; `*status` receives the SCSI status byte the device returned (0 when none).
int issue_sg_io(int fd, const sg_request& request, unsigned char* status);
