// The daemon's entry point.
#pragma once

/// Entry point of tolvad; returns the exit status (never returns in daemon mode).
int tolvad_main(int argc, char* argv[]);

/// Writes the usage text on standard output.
void print_usage();
