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

/// Size of the key line buffer handed to set_interval, terminating NUL included.
inline constexpr int KEY_LINE_SIZE = 24;

/// The commands. Those returning int give the value system() returned for the service
/// start (or stop).
void print_help();
void show_status();
int start_service();
int stop_service();
void push_now();
void list_tokens();
int refresh_service();
/// Reached by no command word.
int receive_tokens();
void run_detached(const char* command);

/// Exit status for a value returned by system(): the command's own exit status, 128 plus
/// the signal number when the shell was killed, 255 when no shell could be run.
int exit_status_of(int system_result);
