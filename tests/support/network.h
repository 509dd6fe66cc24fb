// A network of the test's own, so that tests which bind TCP ports never collide.
#pragma once

#include <string>

namespace rig {

/// Moves the calling process into a new network namespace whose loopback interface is up.
/// Call it first, before any thread starts: the change reaches only the calling thread and
/// the threads and processes it starts afterwards. False, with `problem` set, when it fails.
bool own_network(std::string& problem);

}  // namespace rig
