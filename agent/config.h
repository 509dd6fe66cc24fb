// Interval configuration reader.
#pragma once

/// Value of `key` in the configuration file; 1 when the file cannot be opened, 0 when no
/// value is found.
int read_config_value(const char* key);

/// Path of the configuration file. Fixed in the daemon; tests point it elsewhere.
extern const char* config_path;
