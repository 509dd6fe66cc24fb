// SCSI generic command execution.
#pragma once

/// Runs one command block on an open sg descriptor. Result: the ioctl result ORed with the
/// SCSI status shifted left by 16: 0, -1 (ioctl failed) or positive (status other than GOOD).
int generate_scsi_ioctl(int fd, int to_device, const unsigned char* cdb, void* data, int length,
                        int quiet);
