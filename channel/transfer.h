// Host-view transfer to and from the array.
#pragma once

/// Sends `length` bytes of `data` with one host-view send. -2 for a negative descriptor,
/// otherwise the result of generate_scsi_ioctl.
int send_hostinfo(int fd, const char* data, int length);

/// Reads the array's copy into a new 65,535-byte heap block (release with free).
/// 0 on success; otherwise the non-zero command result, *buffer null and *length 0.
int receive_hostinfo(int fd, char** buffer, int* length);
