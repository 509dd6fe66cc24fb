// Push-once mode.
#pragma once

/// Pushes the host view once to every listed device; returns the exit status.
int run_push_once();
