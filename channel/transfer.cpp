#include "channel/transfer.h"

#include <cstdlib>
#include <cstring>

#include "channel/cdb.h"
#include "channel/scsi.h"
#include "ground/limits.h"
#include "ground/log.h"

int send_hostinfo(int fd, const char* data, int length) {
    agent_log("In send_hostinfo: Entering.\n");
    if (fd < 0)
        return -2;

    int result = -1;
    cdb_block cdb = build_hostinfo_cdb(length, 1);
    if (cdb) {
        result = generate_scsi_ioctl(fd, 1, cdb.get(), const_cast<char*>(data), length, 1);
    }
    cdb.reset();
    agent_log("In send_hostinfo: Exiting.\n");
    return result;
}

int receive_hostinfo(int fd, char** buffer, int* length) {
    agent_log("In receive_hostinfo: Entering.\n");
    if (length)
        *length = 0;

    int result = -1;
    // malloc, not new: the caller and the device record release the view with free.
    char* block = static_cast<char*>(std::malloc(MAX_TRANSFER));
    cdb_block cdb;
    if (block) {
        // An array that sends nothing leaves an empty text, and a short answer never
        // shows what the heap held before.
        std::memset(block, 0, MAX_TRANSFER);
        cdb = build_hostinfo_cdb(MAX_TRANSFER, 0);
        if (cdb)
            result = generate_scsi_ioctl(fd, 0, cdb.get(), block, MAX_TRANSFER, 1);
    }

    if (result != 0) {
        *buffer = nullptr;
        cdb.reset();
        std::free(block);
        agent_log("In receive_hostinfo: Exiting with failure.\n");
        return result;
    }

    agent_log("In receive_hostinfo: Exiting with success.\n");
    cdb.reset();
    *buffer = block;
    if (length)
        *length = MAX_TRANSFER;
    return 0;
}
