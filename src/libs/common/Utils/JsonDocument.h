#pragma once

#include <rapidjson/document.h>

#include "Utils/JsonAllocator.h"

namespace Common {

// JSON as the engine parses it: every byte through the memory manager.
using JsonPool = rapidjson::MemoryPoolAllocator<CJsonAllocator>;
using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, CJsonAllocator>;
using JsonValue = JsonDocument::ValueType;

}  // namespace Common
