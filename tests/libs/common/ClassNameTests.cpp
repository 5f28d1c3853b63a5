#include <cstring>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "Utils/ClassName.h"
#include "Utils/idfromstring.h"
#include "support/ReportCapture.h"

// Types named by the tests, in a namespace as the engine's are.
namespace ClassNameTest {
struct SPlain
{
};
struct SDeclared
{
};
template <class T, class U> class TPair
{
};
enum class EColour : int;
}  // namespace ClassNameTest

TARN_TYPE_KEYWORD_STRUCT(ClassNameTest::SDeclared);

TEST(ClassName, TypedRunTimeAndShortNames)
{
    using namespace ClassNameTest;
    const std::pair<const char*, const char*> kTyped[] = {
        // A struct reads as a class unless it says otherwise.
        {Common::GetClassName<const SPlain&>(), "class ClassNameTest::SPlain"},
        {Common::GetClassName<SDeclared>(), "struct ClassNameTest::SDeclared"},
        {Common::GetClassName<TPair<TPair<int, char>, SDeclared>>(),
         "class ClassNameTest::TPair<ClassNameTest::TPair<int,char>,ClassNameTest::SDeclared>"},
        {Common::GetClassName<EColour>(), "enum ClassNameTest::EColour"},
        {Common::GetClassName<unsigned int>(), "unsigned int"},
    };
    for (const auto& [pName, pExpected] : kTyped)
        EXPECT_STREQ(pName, pExpected);
    EXPECT_EQ(Common::GetClassName<SPlain>(), Common::GetClassName<const SPlain>());  // built once
    EXPECT_EQ(Common::GetClassId<SDeclared>(), GenerateUIntIdFromString("struct ClassNameTest::SDeclared"));
    // Run-time information cannot tell a struct from a class.
    const std::tuple<const std::type_info&, const char*, const char*> kRunTime[] = {
        {typeid(SDeclared), nullptr, "class ClassNameTest::SDeclared"},
        {typeid(SDeclared), "struct ", "struct ClassNameTest::SDeclared"},
        {typeid(EColour), nullptr, "enum ClassNameTest::EColour"},
        {typeid(float*), nullptr, "float*"},
    };
    char acBuffer[Common::kClassNameBufferSize];
    for (const auto& [kType, pKeyword, pExpected] : kRunTime)
    {
        EXPECT_EQ(Common::GetClassName(kType, acBuffer, sizeof(acBuffer), pKeyword), std::strlen(pExpected));
        EXPECT_STREQ(acBuffer, pExpected);
    }
    // A name longer than the buffer is reported and cut.
    TestSupport::CAssertCapture kCapture;
    char acSmall[12];
    EXPECT_EQ(Common::GetClassName(typeid(SPlain), acSmall, sizeof(acSmall)), 11u);
    EXPECT_STREQ(acSmall, "class Class");
    EXPECT_EQ(kCapture.Count(), 1u);
    // The short name is the text after the last colon.
    const std::pair<const char*, const char*> kCases[] = {
        {"class TarnEngine::PrefabContainer", "PrefabContainer"},
        {"class A::B::CDeep", "CDeep"},
        {"class CGlobal", "class CGlobal"},
        {"class Ends::", ""},
    };
    for (const auto& [pName, pExpected] : kCases)
        EXPECT_STREQ(Common::GetShortTypeName(pName), pExpected) << pName;
    EXPECT_EQ(Common::GetShortTypeName(nullptr), nullptr);
}
