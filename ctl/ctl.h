// Tolvactl, the control utility.
#pragma once

/// Entry point of Tolvactl; returns the exit status.
int tolvactl_main(int argc, char* argv[]);

/// Replaces the value of the key named in `key_line` (a 24-byte buffer) with `value` in the
/// configuration file. 0 once the file was opened, 1 otherwise.
int set_interval(char* key_line, const char* value);

/// Path of the configuration file and of its temporary copy. Fixed in the utility; tests
/// point them elsewhere.
extern const char* ctl_config_path;
extern const char* ctl_config_tmp_path;
