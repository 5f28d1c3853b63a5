#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "Utils/idfromstring.h"

namespace {

std::vector<uint8> FromHex(const char* pHex)
{
    std::vector<uint8> kBytes;
    for (; pHex[0] && pHex[1]; pHex += 2)
        kBytes.push_back(static_cast<uint8>(std::stoul(std::string(pHex, 2), nullptr, 16)));
    return kBytes;
}

// Published vectors: inputs of 16 bytes down to 0, each with the hashes for
// two seeds.
struct SSeedVector
{
    const char* pHex;
    uint32 uiWith71b4954d;
    uint32 uiWith9747b28c;
};

constexpr SSeedVector kSeedVectors[] = {
    {"ed53c4a53b1bbdc2527dc3ef535fae3b", 0xd92e493e, 0x96814fb3},
    {"2165594ed812f90580e91eede456bb", 0x8b50903b, 0x485dcaba},
    {"2b02b1d03dce313d97c4910df717", 0xc3372a7b, 0x331dc4ae},
    {"8ea79a02e8b96ada92ade92d21", 0x48f07e9e, 0xc6a7bf2f},
    {"a96dea7706ce1b8548274cfe", 0x8a5e4a6e, 0xcdf35de0},
    {"ec93a01260eec80ac59062", 0x57916df4, 0xd9dec7cc},
    {"556d9366146ddf005899", 0xa346171f, 0x63a7318a},
    {"3c72201fd25919dba1", 0x1e319c86, 0xd0d3c2de},
    {"23a8b18755f78a4b", 0x9e1a03cd, 0x90923aef},
    {"e2421c2dc1e43e", 0x9f973e6c, 0xaf35c1e2},
    {"66a6b55a74d9", 0x2d8c77f5, 0x735377b2},
    {"e876a89076", 0xabed8751, 0x366c98f3},
    {"eb253f87", 0x296708b6, 0x9c48ee29},
    {"37a0a9", 0x24f8078b, 0x0b615790},
    {"5b5d", 0x111b1553, 0xb4308ac1},
    {"7e", 0xa7da1996, 0xec98125a},
    {"", 0xfe776c70, 0x106e08d9},
};

TEST(IdFromString, MurmurHash2MatchesPublishedVectors)
{
    for (const SSeedVector& kVector : kSeedVectors)
    {
        const std::vector<uint8> kInput = FromHex(kVector.pHex);
        // Read from an odd address too: blocks must not rely on alignment.
        std::vector<uint8> kShifted(kInput.size() + 1);
        std::copy(kInput.begin(), kInput.end(), kShifted.begin() + 1);
        SCOPED_TRACE(kVector.pHex);
        EXPECT_EQ(MurmurHash2(kInput.data(), kInput.size(), 0x71b4954du), kVector.uiWith71b4954d);
        EXPECT_EQ(MurmurHash2(kShifted.data() + 1, kInput.size(), 0x9747b28cu), kVector.uiWith9747b28c);
    }
    const char* pLorem = "Lorem ipsum dolor sit amet, consectetur adipisicing elit";
    EXPECT_EQ(GenerateUIntIdFromString(pLorem, nullptr, 0x9747b28cu), 0xb3bf597eu);
    EXPECT_EQ(GenerateUIntIdFromString(""), 0u);
    EXPECT_EQ(MurmurHash2(nullptr, 0, 0), 0u);
}

// The hash-suite verification value: key i = {0, 1, ..., i-1} hashed with
// seed 256 - i, the 256 results laid out little-endian and hashed with seed 0.
TEST(IdFromString, MurmurHash2VerificationValue)
{
    uint8 acKey[256];
    uint8 acResults[256 * 4];
    for (uint32 i = 0; i < 256; ++i)
    {
        acKey[i] = static_cast<uint8>(i);
        const uint32 uiHash = MurmurHash2(acKey, i, 256 - i);
        for (uint32 b = 0; b < 4; ++b)
            acResults[i * 4 + b] = static_cast<uint8>(uiHash >> (8 * b));
    }
    EXPECT_EQ(MurmurHash2(acResults, sizeof(acResults), 0), 0x27864C1Eu);
}

TEST(IdFromString, StringAndValueForms)
{
    EXPECT_EQ(GenerateUIntIdFromString(nullptr), 0u);
    EXPECT_EQ(GenerateUIntIdFromString(nullptr, "Gait", 7), 0u);

    const uint32 uiFirst = GenerateUIntIdFromString("GaitComponentRpc", nullptr, 5);
    EXPECT_EQ(uiFirst, MurmurHash2("GaitComponentRpc", 16, 5));
    EXPECT_EQ(GenerateUIntIdFromString("GaitComponentRpc", "SetSpeed", 5),
              GenerateUIntIdFromString("SetSpeed", nullptr, uiFirst));
    EXPECT_NE(GenerateUIntIdFromString("GaitComponentRpc", "SetSpeed"),
              GenerateUIntIdFromString("GaitComponentRpcSetSpeed"));

    const uint8 acBytes[8] = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
    EXPECT_EQ(GenerateUIntIdFromUInt64(0x0123456789ABCDEFull, 42), MurmurHash2(acBytes, 8, 42));
    EXPECT_NE(GenerateUIntIdFromUInt64(1), GenerateUIntIdFromUInt64(1ull << 32));
}

class IdFromFile : public testing::Test
{
protected:
    void SetUp() override
    {
        char acTemplate[] = "/tmp/idfromfile_XXXXXX";
        ASSERT_NE(mkdtemp(acTemplate), nullptr);
        m_kDirectory = acTemplate;
    }
    void TearDown() override
    {
        for (const std::string& kPath : m_kFiles)
            unlink(kPath.c_str());
        rmdir(m_kDirectory.c_str());
    }
    std::string Write(const std::vector<uint8>& kBytes)
    {
        std::string kPath = m_kDirectory + "/f" + std::to_string(m_kFiles.size());
        FILE* pFile = fopen(kPath.c_str(), "wb");
        EXPECT_NE(pFile, nullptr);
        if (pFile)
        {
            // fwrite takes no null buffer, which an empty vector may give.
            const size_t uiWritten = kBytes.empty() ? 0 : fwrite(kBytes.data(), 1, kBytes.size(), pFile);
            EXPECT_EQ(uiWritten, kBytes.size());
            fclose(pFile);
        }
        m_kFiles.push_back(kPath);
        return kPath;
    }
    std::string m_kDirectory;
    std::vector<std::string> m_kFiles;
};

TEST_F(IdFromFile, EqualsHashOfTheSameBytes)
{
    // Sizes around the usual chunk sizes, and a large one that is not a
    // multiple of 4, so the chunk boundaries and the tail are all crossed.
    const size_t auiSizes[] = {0, 1, 3, 4, 7, 4095, 4096, 4097, 16383, 16384, 16387, 65535, 65536, 65537, 200003};
    for (size_t uiSize : auiSizes)
    {
        std::vector<uint8> kBytes(uiSize);
        for (size_t i = 0; i < uiSize; ++i)
            kBytes[i] = static_cast<uint8>((i * 131u) ^ (i >> 8));
        const std::string kPath = Write(kBytes);
        SCOPED_TRACE(uiSize);
        EXPECT_EQ(GenerateUIntIdFromFile(kPath.c_str()), MurmurHash2(kBytes.data(), kBytes.size(), 0));
    }
}

TEST_F(IdFromFile, UnreadableFilesAreInvalid)
{
    EXPECT_EQ(GenerateUIntIdFromFile((m_kDirectory + "/missing").c_str()), kInvalidIndex);
    EXPECT_EQ(GenerateUIntIdFromFile(m_kDirectory.c_str()), kInvalidIndex);
    const std::string kPath = Write({1, 2, 3});
    ASSERT_EQ(chmod(kPath.c_str(), 0), 0);
    // Root ignores permissions; the check only means something otherwise.
    if (geteuid() != 0)
    {
        EXPECT_EQ(GenerateUIntIdFromFile(kPath.c_str()), kInvalidIndex);
    }
}

}  // namespace
