#pragma once

#include <string>
#include <vector>

#include "Core/Types.h"
#include "Math/Quaternion.h"

namespace GaitSim {

// One timed call of a scenario's timeline.
struct SScenarioCall
{
    enum class EKind
    {
        Activate,
        SetSpeed,
        SetRotation,
        Reset,
        ReloadFromJson,
    };
    double dAt = 0.0;  // seconds from the start
    EKind eKind = EKind::Reset;
    int iCharacter = -1;                                        // -1: every character
    bool bActive = false;                                       // Activate
    float fSpeed = 0.0f;                                        // SetSpeed
    Math::Quaternion kRotation = Math::Quaternion::Identity();  // SetRotation
    double dHeadingDeg = 0.0;                                   // SetRotation, for the plots
    std::string kDocument;                                      // ReloadFromJson: the gait document as text
};

// A scenario file: a prefab, how many characters of it, how long and at
// which step to run, and the timeline of component calls, sorted by time.
struct SScenario
{
    std::string kName;
    std::string kPrefab = "demo/biped.prefab.json";
    uint32 uiCharacters = 1;
    float fSpacing = 2.0f;   // metres between the characters, along Y
    double dDuration = 8.0;  // seconds
    uint32 uiStepMs = 16;
    uint32 uiSeed = 1;
    std::vector<SScenarioCall> kCalls;
};

// Reads a scenario file. False with a message naming the file and the member
// ("<file>: Timeline[2].Call: unknown call \"Jump\"") when it is refused.
bool LoadScenario(const std::string& kPath, SScenario& kOut, std::string& kError);

// The name of a call kind as written in scenario files.
const char* GetCallName(SScenarioCall::EKind eKind);

}  // namespace GaitSim
