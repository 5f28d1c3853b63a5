#pragma once

#include <string>
#include <vector>

#include "Core/Types.h"

namespace TarnEngine {
class CEngine;
class PrefabContainer;
class PrefabInstance;
}  // namespace TarnEngine

namespace TarnHost {

// What the host checks once the engine has started, to say what it runs
// and, with --strict, to refuse to run with less than it was given.

// The component type that makes an instance a character.
constexpr const char* kCharacterComponent = "Gait";

// Why the plug-ins of kFolder did not all start, one text each: the folder
// does not exist or cannot be read, holds no module, a file named like a module is not one,
// fewer modules started than the folder holds. Empty when every module
// started (uiStarted of them).
std::vector<std::string> FindPluginProblems(const std::string& kFolder, uint32 uiStarted);

// The add-ins of a loaded prefab that gave no usable component data, one
// text each: "<file>: <member>: <problem>".
std::vector<std::string> FindAddInProblems(const TarnEngine::PrefabContainer& kPrefab);

// How many of kPlaced carry a working Gait component: one its builder built
// on the instance from data it could read. Instances of a prefab without
// one, or placed while no Gait plug-in runs, are not characters.
uint32 CountCharacters(const TarnEngine::CEngine& kEngine, const TarnEngine::PrefabContainer& kPrefab,
                       const std::vector<TarnEngine::PrefabInstance*>& kPlaced);

}  // namespace TarnHost
