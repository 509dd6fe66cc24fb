// The daemon's two run modes and its entry point.
#pragma once

/// Entry point of tolvad; returns the exit status (never returns in daemon mode).
int tolvad_main(int argc, char* argv[]);

/// Writes the usage text on standard output.
void print_usage();

/// Push-once mode; returns the exit status.
int run_push_once();

/// Daemon mode; never returns.
[[noreturn]] void run_daemon_mode(bool foreground);

/// Detaches from the terminal and writes the pid file; returns only in the daemon process.
void daemonize();

/// The SIGTERM handler.
extern "C" void handle_sigterm(int signal_number);
