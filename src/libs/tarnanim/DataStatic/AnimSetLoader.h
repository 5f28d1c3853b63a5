#pragma once

#include <cstddef>

#include "Core/Types.h"

namespace TarnAnim {

class Mocap;

// The message of a rejected AnimSet: "<source>: <member path>: <problem>",
// for example "walk.animset.json: Sequences[2].Frames[14]: expected 12
// channels, found 11".
struct LoadError
{
    static constexpr uint32 Capacity = 512;
    char m_acText[Capacity] = {};
};

// Reads AnimSet documents (*.animset.json, see docs/formats.md) into mocaps.
//
// Every member is checked while a private mocap is built; at the first
// problem the document is rejected whole with a message naming the source
// and the offending member, the partial mocap is freed, and no mocap is
// returned. Nothing here asserts: the caller decides how to report.
class AnimSetLoader
{
public:
    // A new mocap (owned by the caller, free with TARN_DELETE), or null with
    // kError filled.
    static Mocap* LoadFile(const char* pPath, LoadError& kError);
    // The same from text in memory; pSourceName names it in messages.
    static Mocap* LoadText(const char* pText, size_t uiLength, const char* pSourceName, LoadError& kError);
};

}  // namespace TarnAnim
