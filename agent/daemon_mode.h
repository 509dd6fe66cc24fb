// Daemon mode: detaching, the pid file, SIGTERM and the endless cycle.
#pragma once

/// Daemon mode; never returns.
[[noreturn]] void run_daemon_mode(bool foreground);

/// Detaches from the terminal and writes the pid file; returns only in the daemon process.
void daemonize();

/// The SIGTERM handler.
extern "C" void handle_sigterm(int signal_number);
