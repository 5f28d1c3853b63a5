#pragma once

#include <string>

#include "Scenario.h"
#include "Simulation.h"

namespace GaitSim {

// Writes the samples as CSV: one row per step and character (time, position,
// heading, requested heading and speed, current movement, each movement's
// control weight, events). docs/gait-sim.md describes every column. False
// with a message when the file cannot be written.
bool WriteCsv(const SRun& kRun, const std::string& kPath, std::string& kError);

// Writes one SVG page, as tall as its content: the paths seen from above
// (metres, origin, start and end of each path, heading marks, requested
// rotations) with the legend of characters and marks; the actual and the
// requested heading over time; the current movement of each character over
// time with the legend of movements; and the control weights over time, one
// panel per character for the first few (the CSV holds them all). False
// with a message when the file cannot be written.
bool WriteSvg(const SScenario& kScenario, const SRun& kRun, const std::string& kPath, std::string& kError);

}  // namespace GaitSim
