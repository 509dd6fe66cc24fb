// Process-wide settings shared by every part of the daemon.
#pragma once

/// Debug switch; set once at start-up from TOLVAD_DEBUG, never cleared.
extern int debug_level;
