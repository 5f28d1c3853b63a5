#pragma once

#include <string>

#include "Scenario.h"
#include "Simulation.h"

namespace GaitSim {

// Writes the samples as CSV: one row per step and character (time, position,
// heading, current movement, each movement's control weight, events). False
// with a message when the file cannot be written.
bool WriteCsv(const SRun& kRun, const std::string& kPath, std::string& kError);

// Writes one SVG page: the top view of each path with heading marks and the
// requested directions, a timeline of the current movement per character,
// and the control weights of the first character over time.
bool WriteSvg(const SScenario& kScenario, const SRun& kRun, const std::string& kPath, std::string& kError);

}  // namespace GaitSim
