#include "Utils/idfromstring.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "System/Posix/PosixFileSystem.h"
#include "Utils/assertion.h"

namespace {

// MurmurHash2 constants: the multiplier and the shift of the block mix.
constexpr uint32 kMurmurMultiplier = 0x5bd1e995u;
constexpr int kMurmurShift = 24;

// Files are hashed through a stack buffer of this size. It is a multiple of
// the 4-byte block, so only the last chunk of a file can leave a tail.
constexpr size_t kFileChunkSize = 16 * 1024;
static_assert(kFileChunkSize % 4 == 0, "file chunks must hold whole blocks");

// Reads a 4-byte block as a little-endian word. memcpy keeps unaligned input
// well defined; compilers turn it into a single load.
inline uint32 LoadBlock(const uint8* pBytes)
{
    uint32 uiBlock;
    memcpy(&uiBlock, pBytes, sizeof(uiBlock));
    if constexpr (std::endian::native == std::endian::big)
        uiBlock = __builtin_bswap32(uiBlock);
    return uiBlock;
}

// Folds uiBlockCount whole 4-byte blocks into the running state.
inline uint32 MixBlocks(uint32 uiHash, const uint8* pBytes, size_t uiBlockCount)
{
    for (size_t i = 0; i < uiBlockCount; ++i, pBytes += 4)
    {
        uint32 uiBlock = LoadBlock(pBytes);
        uiBlock *= kMurmurMultiplier;
        uiBlock ^= uiBlock >> kMurmurShift;
        uiBlock *= kMurmurMultiplier;
        uiHash *= kMurmurMultiplier;
        uiHash ^= uiBlock;
    }
    return uiHash;
}

// Folds the last 0 to 3 bytes in and applies the final avalanche.
inline uint32 Finish(uint32 uiHash, const uint8* pTail, size_t uiTailLength)
{
    switch (uiTailLength)
    {
        case 3:
            uiHash ^= static_cast<uint32>(pTail[2]) << 16;
            [[fallthrough]];
        case 2:
            uiHash ^= static_cast<uint32>(pTail[1]) << 8;
            [[fallthrough]];
        case 1:
            uiHash ^= static_cast<uint32>(pTail[0]);
            uiHash *= kMurmurMultiplier;
            break;
        default:
            break;
    }
    uiHash ^= uiHash >> 13;
    uiHash *= kMurmurMultiplier;
    uiHash ^= uiHash >> 15;
    return uiHash;
}

// Reads exactly uiLength bytes unless the file ends first or fails.
bool ReadFully(int iFd, uint8* pOut, size_t uiLength)
{
    while (uiLength > 0)
    {
        const ssize_t iRead = read(iFd, pOut, uiLength);
        if (iRead < 0 && errno == EINTR)
            continue;
        if (iRead <= 0)
            return false;
        pOut += iRead;
        uiLength -= static_cast<size_t>(iRead);
    }
    return true;
}

// Hashes an open file of the given size; kInvalidIndex when it cannot be read
// to the end or holds more bytes than its size said.
uint32 HashOpenFile(int iFd, uint64 ui64Size)
{
    alignas(8) uint8 acChunk[kFileChunkSize];
    // The state starts from the length, as for an in-memory buffer, which is
    // why the size is taken before reading.
    uint32 uiHash = 0u ^ static_cast<uint32>(ui64Size);
    uint64 ui64Remaining = ui64Size;
    size_t uiLastLength = 0;
    while (ui64Remaining > 0)
    {
        const size_t uiWant = static_cast<size_t>(std::min<uint64>(ui64Remaining, kFileChunkSize));
        if (!ReadFully(iFd, acChunk, uiWant))
            return kInvalidIndex;
        ui64Remaining -= uiWant;
        uiHash = MixBlocks(uiHash, acChunk, uiWant / 4);
        uiLastLength = uiWant;
    }
    // A file that grew after its size was taken was not hashed whole.
    uint8 uiExtra;
    ssize_t iExtra;
    do
        iExtra = read(iFd, &uiExtra, 1);
    while (iExtra < 0 && errno == EINTR);
    if (iExtra != 0)
        return kInvalidIndex;
    const size_t uiTail = uiLastLength % 4;
    return Finish(uiHash, acChunk + (uiLastLength - uiTail), uiTail);
}

}  // namespace

uint32 MurmurHash2(const void* pData, size_t uiLength, uint32 uiSeed)
{
    const uint8* pBytes = static_cast<const uint8*>(pData);
    // Lengths beyond 32 bits enter the state truncated, as in the reference.
    const uint32 uiHash = MixBlocks(uiSeed ^ static_cast<uint32>(uiLength), pBytes, uiLength / 4);
    const size_t uiTail = uiLength % 4;
    return Finish(uiHash, pBytes + (uiLength - uiTail), uiTail);
}

uint32 GenerateUIntIdFromString(const char* text, const char* text2, uint32 seed)
{
    if (!text)
        return 0;
    uint32 uiId = MurmurHash2(text, strlen(text), seed);
    if (text2)
        uiId = MurmurHash2(text2, strlen(text2), uiId);
    return uiId;
}

uint32 GenerateUIntIdFromUInt64(uint64 value, uint32 seed)
{
    uint8 acBytes[8];
    for (uint32 i = 0; i < 8; ++i)
        acBytes[i] = static_cast<uint8>(value >> (8 * i));
    return MurmurHash2(acBytes, sizeof(acBytes), seed);
}

uint32 GenerateUIntIdFromFile(const char* path)
{
    if (!TARN_ASSERT(path, "No file path given"))
        return kInvalidIndex;
    // Only regular files have a size known before reading; directories,
    // pipes and devices are not identified, and not opened either (opening a
    // pipe waits for a writer).
    char acProblem[128];
    uint64 ui64Size = 0;
    const int iFd = Common::Posix::OpenRegularFile(path, acProblem, sizeof(acProblem), &ui64Size);
    if (iFd < 0)
        return kInvalidIndex;
    const uint32 uiId = HashOpenFile(iFd, ui64Size);
    close(iFd);
    return uiId;
}
