#include "channel/scsi.h"

#include "channel/sg_io.h"
#include "ground/fatal.h"
#include "ground/log.h"
#include "ground/settings.h"

namespace {

constexpr unsigned char INQUIRY_OPCODE = 0x12;
constexpr unsigned char VENDOR_OPCODE = 0x7F;
constexpr unsigned char SENSE_LENGTH = 32;
constexpr unsigned TIMEOUT_MS = 30000;

}  // namespace

int generate_scsi_ioctl(int fd, int to_device, const unsigned char* cdb, void* data, int length,
                        int quiet) {
    // The sense buffer lives on the stack: no allocation per command, and two threads may
    // run commands at once.
    unsigned char sense[SENSE_LENGTH];
    sg_request request;
    request.to_device = to_device;
    request.cdb = cdb;
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
    request.data = data;
    request.length = static_cast<unsigned>(length);
    request.sense = sense;
    request.sense_length = SENSE_LENGTH;
    request.timeout_ms = TIMEOUT_MS;

    unsigned char status = 0;
    const int result = issue_sg_io(fd, request, &status);
    if (result != 0) {
        agent_log("In generate_scsi_ioctl: ioctl failed.\n");
        if (!quiet && status != 0 && debug_level) {
            agent_log("generate_scsi_ioctl scsi status: %d\n", static_cast<int>(status));
        }
    }
    return result | (static_cast<int>(status) << 16);
}
