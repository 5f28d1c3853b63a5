#pragma once

#include "Core/Types.h"

// SFMT19937: the SIMD-oriented Fast Mersenne Twister with period 2^19937 - 1,
// parameter set "SFMT-19937:122-18-1-11-1:dfffffef-ddfecb7f-bffaffff-bffffff6".
//
// The state is 156 words of 128 bits, kept as 624 32-bit words (four per
// 128-bit word, least significant first), so the output is the same on every
// host. This is a plain portable implementation of the recursion; it needs
// no vector instructions.

namespace Math {

class CSfmt19937
{
public:
    static constexpr uint32 StateWords128 = 156;
    static constexpr uint32 StateWords32 = StateWords128 * 4;
    static constexpr const char* IdText = "SFMT-19937:122-18-1-11-1:dfffffef-ddfecb7f-bffaffff-bffffff6";

    // Not seeded: the first request reports it and seeds with 0.
    CSfmt19937() = default;
    explicit CSfmt19937(uint32 uiSeed) { Seed(uiSeed); }

    // Fills the state from a 32-bit seed and certifies the period; the next
    // request regenerates the whole state.
    void Seed(uint32 uiSeed);
    bool IsSeeded() const { return m_bInitialized; }

    // The next 32-bit value.
    uint32 NextUInt32();

    // A value in [iMin, iMax], both included: iMin + next % (iMax - iMin + 1),
    // computed in unsigned arithmetic so no range overflows. When iMax < iMin
    // the call is reported and returns iMin without drawing.
    int32 RandomRange(int32 iMin, int32 iMax);

private:
    void EnsureSeeded();
    void GenerateAll();
    void CertifyPeriod();

    uint32 m_auiState[StateWords32] = {};
    uint32 m_uiIndex = StateWords32;
    bool m_bInitialized = false;
};

// The process-wide generator. The free functions below lock it, so threads
// may share them; the reference itself is not locked and is meant for code
// that owns the generator's thread (start-up, tests).
CSfmt19937& GetRandomGenerator();

void SeedRandom(uint32 uiSeed);
uint32 Random32();
int32 RandomRange(int32 iMin, int32 iMax);

}  // namespace Math
