// Host-view collection through the host-information script.
#pragma once

/// Runs the host-information script and returns its whole output as a NUL-terminated heap
/// text (release with free), or null when nothing could be collected.
char* determine_hostinfo(const char* script);
