#include "channel/sg_io.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cstring>

int issue_sg_io(int fd, const sg_request& r, unsigned char* status) {
    sg_io_hdr_t header;
    std::memset(&header, 0, sizeof header);
    header.interface_id = 'S';
    header.dxfer_direction = r.to_device ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    header.cmd_len = r.cmd_len;
    header.mx_sb_len = r.sense_length;
    header.dxfer_len = r.length;
    header.dxferp = r.data;
    header.cmdp = const_cast<unsigned char*>(r.cdb);
    header.sbp = r.sense;
    header.timeout = r.timeout_ms;
    const int result = ::ioctl(fd, SG_IO, &header);
    *status = header.status;
    return result;
}
