// An in-process stand-in for the sg driver. While active it records every ioctl and answers
// it from a script; while inactive every ioctl goes to the real one. Single-threaded tests
// only.
#pragma once

#include <scsi/sg.h>

#include <deque>
#include <functional>
#include <vector>

namespace fake {

struct answer {
    int result = 0;                      ///< what the ioctl call returns
    unsigned char status = 0;            ///< SCSI status byte handed back
    std::vector<unsigned char> data_in;  ///< copied to the data buffer, at most dxfer_len
};

struct call {
    int fd = 0;
    unsigned long request = 0;
    sg_io_hdr_t header{};  ///< as the caller filled it
    std::vector<unsigned char> cdb;
    std::vector<unsigned char> data_out;  ///< the data buffer's bytes on a transfer to the device
};

struct driver {
    bool active = false;
    std::vector<call> calls;
    std::deque<answer> script;  ///< answers to the next calls, in order
    answer otherwise;           ///< the answer once the script is used up
    /// Runs once, inside the next call, after that call took its answer: a test changes
    /// state there while a command is in flight (it may issue commands itself).
    std::function<void()> during;
};

extern driver sg;

/// Resets the driver and makes it active.
void activate();

}  // namespace fake
