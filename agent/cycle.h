// The refresh/push cycle.
#pragma once

/// One refresh/push cycle. 1 when it ended without failure (or did nothing), 0 when the
/// device list was empty or a transfer failed.
int run_refresh_cycle();

/// Waits whole seconds. Every wait of the cycle and of daemon mode goes through it, so that
/// tests can replace it.
using wait_function = void (*)(int seconds);
extern wait_function cycle_wait;

/// Number of waits the cycles have made so far; lets daemon mode tell a cycle that did
/// nothing from one that waited.
unsigned long cycle_waits_made();

/// Makes the block that receive_hostinfo handed over (`length` bytes) the text that the
/// cycle compares: its byte at `length - 1` becomes a NUL. False, and the block untouched,
/// when there is no block or the length is outside 1 to MAX_TRANSFER.
bool terminate_array_view(char* block, int length);
