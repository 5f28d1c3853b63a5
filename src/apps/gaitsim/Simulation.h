#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Data/GaitType.h"
#include "Scenario.h"

namespace GaitSim {

// What one character looked like after one step.
struct SSample
{
    double dTime = 0.0;
    uint32 uiCharacter = 0;
    float afPosition[3] = {0.0f, 0.0f, 0.0f};
    double dHeadingDeg = 0.0;
    // What the Gait component holds as requested after the step: the
    // rotation as a heading about Z, and the speed (after its limits).
    double dRequestedHeadingDeg = 0.0;
    float fRequestedSpeed = 0.0f;
    uint32 uiMovement = GaitPlugin::EAnimMovement::Idle;
    // Effective weight of each movement's control (0 without one).
    float afWeights[GaitPlugin::EAnimMovement::NB_TYPE] = {};
    // What happened in this step: calls made, movement changes ("Walk").
    std::string kEvents;
};

// A scenario call as it was made: at the start of the step at dTime, on one
// character (a call for every character is listed once per character).
struct SMadeCall
{
    double dTime = 0.0;
    uint32 uiCharacter = 0;
    size_t uiCall = 0;  // index in SScenario::kCalls
};

// The samples of a run, in step order, characters in order within a step;
// and the calls made, in the order they were made.
struct SRun
{
    std::vector<SSample> kSamples;
    std::vector<SMadeCall> kCalls;
    uint32 uiCharacters = 0;
    double dDuration = 0.0;
};

// Runs a scenario on an engine made for it (in this process, no network),
// with the Gait builder registered statically. Progress is called about
// once per simulated second with the fraction done. False with a message
// when the prefab cannot be loaded or placed, or the engine cannot start.
bool RunScenario(const SScenario& kScenario, const std::string& kDataRoot, SRun& kRun, std::string& kError,
                 const std::function<void(double)>& kProgress);

}  // namespace GaitSim
