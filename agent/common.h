// Shared by every source file of the daemon.
#pragma once

#include <cstddef>

/// Fixed paths of the daemon.
inline constexpr const char* SCAN_DIRECTORY = "//dev";
inline constexpr const char* CONFIG_PATH = "/etc/qelvo/caldrix/tolvad.conf";
inline constexpr const char* PID_FILE = "/var/run/tolvad.pid";

/// The host-information script. Fixed in the daemon; tests point it elsewhere.
extern const char* hostinfo_script;

/// Compares `array` read forwards against `string` read backwards (see agent/common.cpp).
/// `string` must not be empty and `count` must be at least 1.
bool matches_reversed(const char* array, std::size_t count, const char* string);
