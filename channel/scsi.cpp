#include "channel/scsi.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "agent/common.h"
#include "agent/log.h"

namespace {

constexpr unsigned char INQUIRY_OPCODE = 0x12;
constexpr unsigned char VENDOR_OPCODE = 0x7F;
constexpr int SENSE_LENGTH = 32;
constexpr unsigned TIMEOUT_MS = 30000;

}  // namespace

int generate_scsi_ioctl(int fd, int to_device, const unsigned char* cdb, void* data, int length,
                        int quiet) {
    // Request and sense buffer live on the stack: no allocation per command, and two
    // threads may run commands at once.
    sg_io_hdr_t request;
    std::memset(&request, 0, sizeof request);
    unsigned char sense[SENSE_LENGTH];

    request.interface_id = 'S';
    request.cmdp = const_cast<unsigned char*>(cdb);
    switch (cdb[0]) {
        case INQUIRY_OPCODE:
            request.cmd_len = 6;
            break;
        case VENDOR_OPCODE:
            request.cmd_len = static_cast<unsigned char>(cdb[7] + 8);
            break;
        default:
            agent_log("Unrecognized SCSI command 0x%02x\n", static_cast<int>(cdb[0]));
            fatal_stop("Failing");
    }

    request.dxferp = data;
    request.dxfer_len = static_cast<unsigned>(length);
    request.timeout = TIMEOUT_MS;
    request.sbp = sense;
    request.mx_sb_len = SENSE_LENGTH;
    request.dxfer_direction = to_device ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;

    const int result = ioctl(fd, SG_IO, &request);
    if (result != 0) {
        agent_log("In generate_scsi_ioctl: ioctl failed.\n");
        if (!quiet && request.status != 0 && debug_level) {
            agent_log("generate_scsi_ioctl scsi status: %d\n", static_cast<int>(request.status));
        }
    }
    return result | (static_cast<int>(request.status) << 16);
}

void fatal_stop(const char* message) {
    std::printf("%s\n", message);
    // Standard output may be a pipe or file in tests; the text must be out before the signal.
    std::fflush(stdout);
    kill(0, SIGABRT);
    for (;;)
        sleep(1);
}
