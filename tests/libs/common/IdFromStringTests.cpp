#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "TempFolder.h"
#include "Utils/idfromstring.h"

// Known answers: the hash-suite verification value (key i = {0, 1, ...,
// i-1}, read from an odd address, hashed with seed 256 - i; the 256 results
// laid out little-endian and hashed with seed 0) and published vectors. Then
// the forms built on the hash.
TEST(IdFromString, MurmurHash2MatchesKnownAnswersAndTheFormsFollowIt)
{
    uint8 acKey[257];
    uint8 acResults[256 * 4];
    for (uint32 i = 0; i < 256; ++i)
    {
        acKey[i + 1] = static_cast<uint8>(i);
        const uint32 uiHash = MurmurHash2(acKey + 1, i, 256 - i);
        for (uint32 b = 0; b < 4; ++b)
            acResults[i * 4 + b] = static_cast<uint8>(uiHash >> (8 * b));
    }
    EXPECT_EQ(MurmurHash2(acResults, sizeof(acResults), 0), 0x27864C1Eu);
    const uint8 acVector[] = {0x21, 0x65, 0x59, 0x4e, 0xd8, 0x12, 0xf9, 0x05, 0x80, 0xe9, 0x1e, 0xed, 0xe4, 0x56, 0xbb};
    EXPECT_EQ(MurmurHash2(acVector, sizeof(acVector), 0x71b4954du), 0x8b50903bu);
    EXPECT_EQ(MurmurHash2(acVector, sizeof(acVector), 0x9747b28cu), 0x485dcabau);
    EXPECT_EQ(MurmurHash2(nullptr, 0, 0x71b4954du), 0xfe776c70u);
    const char* pLorem = "Lorem ipsum dolor sit amet, consectetur adipisicing elit";
    EXPECT_EQ(GenerateUIntIdFromString(pLorem, nullptr, 0x9747b28cu), 0xb3bf597eu);
    EXPECT_EQ(GenerateUIntIdFromString(""), 0u);
    EXPECT_EQ(GenerateUIntIdFromString(nullptr), 0u);
    EXPECT_EQ(GenerateUIntIdFromString(nullptr, "Gait", 7), 0u);
    // A second text is hashed seeded with the first one's identifier.
    const uint32 uiFirst = GenerateUIntIdFromString("GaitComponentRpc", nullptr, 5);
    EXPECT_EQ(GenerateUIntIdFromString("GaitComponentRpc", "SetSpeed", 5),
              GenerateUIntIdFromString("SetSpeed", nullptr, uiFirst));
    // A value's bytes are hashed least significant first.
    const uint8 acBytes[8] = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
    EXPECT_EQ(GenerateUIntIdFromUInt64(0x0123456789ABCDEFull, 42), MurmurHash2(acBytes, 8, 42));
}

// Sizes around the usual chunk sizes, and a large one that is not a multiple
// of 4, so that the chunk boundaries and the tail are all crossed.
TEST(IdFromFile, EqualsHashOfTheSameBytesAndUnreadableFilesAreInvalid)
{
    CommonTests::STempFolder kFolder;
    for (size_t uiSize : {0, 1, 3, 4, 7, 4095, 4096, 4097, 16383, 16384, 16387, 65535, 65536, 65537, 200003})
    {
        SCOPED_TRACE(uiSize);
        std::string kBytes(uiSize, '\0');
        for (size_t i = 0; i < uiSize; ++i)
            kBytes[i] = static_cast<char>((i * 131u) ^ (i >> 8));
        const std::string kPath = kFolder.kPath + "/f" + std::to_string(uiSize);
        ASSERT_TRUE(CommonTests::WriteFile(kPath, kBytes));
        EXPECT_EQ(GenerateUIntIdFromFile(kPath.c_str()), MurmurHash2(kBytes.data(), kBytes.size(), 0));
    }
    // Missing files, folders and pipes are in FileText's cases; root ignores
    // permissions.
    const std::string kLocked = kFolder.kPath + "/f1";
    ASSERT_EQ(chmod(kLocked.c_str(), 0), 0);
    if (geteuid() != 0)
    {
        EXPECT_EQ(GenerateUIntIdFromFile(kLocked.c_str()), kInvalidIndex);
    }
}
