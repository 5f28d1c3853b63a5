#pragma once

#include "Utils/JsonDocument.h"
#include "Utils/ManagedJsonDocument.h"

namespace TarnEngine {

// The engine's JSON types (Common::JsonDocument), by the names plug-ins
// know them by.
using PluginJsonPool = Common::JsonPool;
using PluginJsonDocument = Common::JsonDocument;
using PluginJsonValue = Common::JsonValue;
using Common::CManagedJsonDocument;

}  // namespace TarnEngine
