// The access-device chooser: finds an sg node of the array's vendor that answers as an
// enclosure services device, and opens it twice. Nothing in tolvad calls it.
#pragma once

/// Vendor identification of the array's devices, compared byte for byte.
extern const char access_vendor[];

/// Searches `where`: a glob pattern when it contains '*', else a directory. 1 when an access
/// device was found: fds[0] is the descriptor the INQUIRY went through and fds[1] a second
/// one on the same path, both blocking O_RDWR and the caller's. Else 0 with fds[0] -1.
int choose_access_device(const char* where, int fds[2]);

/// Tries every entry of the directory in the order it yields them ("." and ".." included);
/// a path longer than 1023 characters is passed over. Result as choose_access_device.
int find_access_device_in_dir(const char* directory, int fds[2]);

/// Tries the matches of the pattern in glob's sorted order. Result as choose_access_device.
int find_access_device_by_glob(const char* pattern, int fds[2]);

/// An open O_RDWR descriptor on `path` when it is an access device (logged), else -1 with
/// nothing left open.
int is_access_device(const char* path);

/// Sends a standard INQUIRY. 1 with `vendor` (8 bytes and a NUL) and `type` written, the type
/// 0x0D also for a direct-access device that reports enclosure services; else 0 with both
/// untouched.
int inquire_device_type(int fd, char vendor[9], unsigned char* type);

/// glob's error callback: an unreadable directory does not end the expansion.
int ignore_glob_error(const char* path, int error);
