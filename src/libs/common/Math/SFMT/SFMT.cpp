#include "Math/SFMT/SFMT.h"

#include <mutex>

#include "Utils/assertion.h"

namespace Math {

namespace {

// Parameters of the 19937 set.
constexpr uint32 kPos1 = 122;       // offset of the second input word
constexpr uint32 kShiftLeft1 = 18;  // per 32-bit word
constexpr uint32 kShiftLeft2 = 1;   // bytes, over the whole 128-bit word
constexpr uint32 kShiftRight1 = 11;
constexpr uint32 kShiftRight2 = 1;
constexpr uint32 kMask[4] = {0xdfffffefu, 0xddfecb7fu, 0xbffaffffu, 0xbffffff6u};
constexpr uint32 kParity[4] = {0x00000001u, 0x00000000u, 0x00000000u, 0x13c9e684u};

constexpr uint32 kWords = CSfmt19937::StateWords128;

// One 128-bit word as four 32-bit lanes, lane 0 least significant.
struct SWord128
{
    uint32 u[4];
};

inline uint64 High64(const uint32* pIn)
{
    return (static_cast<uint64>(pIn[3]) << 32) | pIn[2];
}
inline uint64 Low64(const uint32* pIn)
{
    return (static_cast<uint64>(pIn[1]) << 32) | pIn[0];
}

inline SWord128 Split(uint64 ui64High, uint64 ui64Low)
{
    return {{static_cast<uint32>(ui64Low), static_cast<uint32>(ui64Low >> 32), static_cast<uint32>(ui64High),
             static_cast<uint32>(ui64High >> 32)}};
}

// 128-bit shifts by whole bytes (1 to 7 here).
inline SWord128 ShiftRight128(const uint32* pIn, uint32 uiBytes)
{
    const uint64 ui64High = High64(pIn);
    const uint64 ui64Low = Low64(pIn);
    const uint32 uiBits = uiBytes * 8;
    return Split(ui64High >> uiBits, (ui64Low >> uiBits) | (ui64High << (64 - uiBits)));
}

inline SWord128 ShiftLeft128(const uint32* pIn, uint32 uiBytes)
{
    const uint64 ui64High = High64(pIn);
    const uint64 ui64Low = Low64(pIn);
    const uint32 uiBits = uiBytes * 8;
    return Split((ui64High << uiBits) | (ui64Low >> (64 - uiBits)), ui64Low << uiBits);
}

// r = a ^ (a << SL2 bytes) ^ ((b >> SR1) & MSK) ^ (c >> SR2 bytes) ^ (d << SL1),
// with r allowed to be a. Both shifted words are taken before r is written.
inline void Recursion(uint32* pR, const uint32* pA, const uint32* pB, const uint32* pC, const uint32* pD)
{
    const SWord128 kX = ShiftLeft128(pA, kShiftLeft2);
    const SWord128 kY = ShiftRight128(pC, kShiftRight2);
    for (uint32 i = 0; i < 4; ++i)
        pR[i] = pA[i] ^ kX.u[i] ^ ((pB[i] >> kShiftRight1) & kMask[i]) ^ kY.u[i] ^ (pD[i] << kShiftLeft1);
}

}  // namespace

void CSfmt19937::Seed(uint32 uiSeed)
{
    m_auiState[0] = uiSeed;
    for (uint32 i = 1; i < StateWords32; ++i)
        m_auiState[i] = 1812433253u * (m_auiState[i - 1] ^ (m_auiState[i - 1] >> 30)) + i;
    m_uiIndex = StateWords32;
    CertifyPeriod();
    m_bInitialized = true;
}

// The period is 2^19937 - 1 only when the state's first 128 bits have odd
// inner product with the parity vector; otherwise one bit is flipped to make
// it so.
void CSfmt19937::CertifyPeriod()
{
    uint32 uiInner = 0;
    for (uint32 i = 0; i < 4; ++i)
        uiInner ^= m_auiState[i] & kParity[i];
    for (uint32 uiShift = 16; uiShift > 0; uiShift >>= 1)
        uiInner ^= uiInner >> uiShift;
    if (uiInner & 1u)
        return;
    for (uint32 i = 0; i < 4; ++i)
    {
        for (uint32 uiBit = 1; uiBit != 0; uiBit <<= 1)
        {
            if (uiBit & kParity[i])
            {
                m_auiState[i] ^= uiBit;
                return;
            }
        }
    }
}

void CSfmt19937::GenerateAll()
{
    uint32* pState = m_auiState;
    const uint32* pR1 = pState + 4 * (kWords - 2);
    const uint32* pR2 = pState + 4 * (kWords - 1);
    uint32 i = 0;
    for (; i < kWords - kPos1; ++i)
    {
        Recursion(pState + 4 * i, pState + 4 * i, pState + 4 * (i + kPos1), pR1, pR2);
        pR1 = pR2;
        pR2 = pState + 4 * i;
    }
    for (; i < kWords; ++i)
    {
        Recursion(pState + 4 * i, pState + 4 * i, pState + 4 * (i + kPos1 - kWords), pR1, pR2);
        pR1 = pR2;
        pR2 = pState + 4 * i;
    }
}

void CSfmt19937::EnsureSeeded()
{
    // Used before seeding: report, then seed with 0 so the caller still gets
    // a valid and repeatable sequence.
    if (!TARN_ASSERT_TEXT(m_bInitialized, "initialized",
                          "Random generator used before being seeded, seeding it with 0"))
        Seed(0);
}

uint32 CSfmt19937::NextUInt32()
{
    if (!m_bInitialized) [[unlikely]]
        EnsureSeeded();
    if (m_uiIndex >= StateWords32)
    {
        GenerateAll();
        m_uiIndex = 0;
    }
    return m_auiState[m_uiIndex++];
}

int32 CSfmt19937::RandomRange(int32 iMin, int32 iMax)
{
    if (!TARN_ASSERT(iMin <= iMax, "Empty range [%d, %d]", iMin, iMax))
        return iMin;
    // The span minus one fits in 32 bits for every pair of int32 values.
    const uint32 uiSpanMinusOne = static_cast<uint32>(iMax) - static_cast<uint32>(iMin);
    const uint32 uiNext = NextUInt32();
    const uint32 uiOffset = (uiSpanMinusOne == 0xFFFFFFFFu) ? uiNext : uiNext % (uiSpanMinusOne + 1);
    return static_cast<int32>(static_cast<uint32>(iMin) + uiOffset);
}

namespace {

std::mutex& GeneratorLock()
{
    static std::mutex s_kLock;
    return s_kLock;
}

}  // namespace

CSfmt19937& GetRandomGenerator()
{
    static CSfmt19937 s_kGenerator;
    return s_kGenerator;
}

void SeedRandom(uint32 uiSeed)
{
    std::lock_guard<std::mutex> kGuard(GeneratorLock());
    GetRandomGenerator().Seed(uiSeed);
}

uint32 Random32()
{
    std::lock_guard<std::mutex> kGuard(GeneratorLock());
    return GetRandomGenerator().NextUInt32();
}

int32 RandomRange(int32 iMin, int32 iMax)
{
    std::lock_guard<std::mutex> kGuard(GeneratorLock());
    return GetRandomGenerator().RandomRange(iMin, iMax);
}

}  // namespace Math
