#pragma once

#include <cstddef>

#include "Core/Types.h"
#include "Utils/InputErrors.h"

namespace TarnAnim {

class Mocap;

// Reads AnimSet documents (*.animset.json, see docs/formats.md) into mocaps.
//
// Every member is checked while a private mocap is built. A problem is
// recorded in the caller's CInputErrors with the source and the offending
// member ("walk.animset.json: Sequences[2].Frames[14]: expected 12 channels,
// found 11" is its text), and reading goes on where what follows does not
// depend on what failed: the other sequences, the other entries of the
// accumulation channels and of the transition's lists. A problem in the
// channels, their hierarchy or the text itself ends the reading. A document
// with any problem is rejected whole: the partial mocap is freed and no mocap
// is returned. Nothing here asserts: the caller decides how to report.
class AnimSetLoader
{
public:
    // Room of the error text: the first problem as one line, cut to fit.
    static constexpr uint32 kErrorTextCapacity = 512;

    // A new mocap (owned by the caller, free with TARN_DELETE), or null with
    // kErrors holding the problems (reset first either way).
    static Mocap* LoadFile(const char* pPath, Common::CInputErrors& kErrors);
    // The same from text in memory; pSourceName names it in messages.
    static Mocap* LoadText(const char* pText, size_t uiLength, const char* pSourceName, Common::CInputErrors& kErrors);
};

}  // namespace TarnAnim
