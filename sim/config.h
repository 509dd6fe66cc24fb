// The simulator's configuration file: enclosures and faults, one per line. The format is
// described at the top of sim/demo.conf.
#pragma once

#include <string>

#include "sim/sim.h"

namespace sim {

/// Adds the enclosures and faults of the file at `path` to `sim`. False on the first error,
/// with `problem` naming the file, the line and what is wrong.
bool load_config(const std::string& path, simulator& sim, std::string& problem);

}  // namespace sim
