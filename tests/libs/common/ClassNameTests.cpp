#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Utils/ClassName.h"
#include "Utils/idfromstring.h"
#include "support/ReportCapture.h"

// Types named by the tests, spread over namespaces as the engine's are.
namespace RPC {
class IRPCStub_CGaitComponent
{
public:
    virtual ~IRPCStub_CGaitComponent() = default;
};
}  // namespace RPC

namespace ClassNameTest {
class PrefabContainer
{
};
struct SPlain
{
};
struct SDeclared
{
};
template <class T, class U>
class TPair
{
};
enum class EColour
{
    Red,
};
}  // namespace ClassNameTest

TARN_TYPE_KEYWORD_STRUCT(ClassNameTest::SDeclared);

TEST(ClassName, TypedNamesCarryKeywordAndQualifiedName)
{
    using namespace ClassNameTest;
    const std::pair<const char*, const char*> kCases[] = {
        {Common::GetClassName<RPC::IRPCStub_CGaitComponent>(), "class RPC::IRPCStub_CGaitComponent"},
        {Common::GetClassName<const PrefabContainer&>(), "class ClassNameTest::PrefabContainer"},
        // A struct reads as a class unless it says otherwise.
        {Common::GetClassName<SPlain>(), "class ClassNameTest::SPlain"},
        {Common::GetClassName<SDeclared>(), "struct ClassNameTest::SDeclared"},
        {Common::GetClassName<TPair<SPlain, unsigned int>>(),
         "class ClassNameTest::TPair<ClassNameTest::SPlain,unsigned int>"},
        {Common::GetClassName<TPair<TPair<int, char>, SDeclared>>(),
         "class ClassNameTest::TPair<ClassNameTest::TPair<int,char>,ClassNameTest::SDeclared>"},
        {Common::GetClassName<EColour>(), "enum ClassNameTest::EColour"},
        {Common::GetClassName<unsigned int>(), "unsigned int"},
    };
    for (const auto& [pName, pExpected] : kCases)
        EXPECT_STREQ(pName, pExpected);
    // Built once: every call returns the same text.
    EXPECT_EQ(Common::GetClassName<PrefabContainer>(), Common::GetClassName<const PrefabContainer>());
}

TEST(ClassName, RunTimeFormTakesKeywordFromTheKindOfType)
{
    struct SCase
    {
        const std::type_info& kType;
        const char* pKeyword;
        const char* pExpected;
    };
    const SCase kCases[] = {
        // Run-time information cannot tell a struct from a class.
        {typeid(ClassNameTest::SDeclared), nullptr, "class ClassNameTest::SDeclared"},
        {typeid(ClassNameTest::SDeclared), "struct ", "struct ClassNameTest::SDeclared"},
        {typeid(ClassNameTest::EColour), nullptr, "enum ClassNameTest::EColour"},
        {typeid(float*), nullptr, "float*"},
    };
    char acBuffer[Common::kClassNameBufferSize];
    for (const SCase& kCase : kCases)
    {
        EXPECT_EQ(Common::GetClassName(kCase.kType, acBuffer, sizeof(acBuffer), kCase.pKeyword),
                  std::strlen(kCase.pExpected));
        EXPECT_STREQ(acBuffer, kCase.pExpected);
    }

    // A name longer than the buffer is reported and cut.
    TestSupport::CAssertCapture kCapture;
    char acSmall[12];
    EXPECT_EQ(Common::GetClassName(typeid(ClassNameTest::PrefabContainer), acSmall, sizeof(acSmall)), 11u);
    EXPECT_STREQ(acSmall, "class Class");
    EXPECT_EQ(kCapture.Count(), 1u);
}

TEST(ClassName, ShortTypeNameIsTheTextAfterTheLastColon)
{
    const std::pair<const char*, const char*> kCases[] = {
        {"class TarnEngine::PrefabContainer", "PrefabContainer"},
        {"class RPC::IRPCStub_CGaitComponent", "IRPCStub_CGaitComponent"},
        {"class A::B::CDeep", "CDeep"},
        {"class CGlobal", "class CGlobal"},
        {"class Ends::", ""},
    };
    for (const auto& [pName, pExpected] : kCases)
        EXPECT_STREQ(Common::GetShortTypeName(pName), pExpected) << pName;
    EXPECT_EQ(Common::GetShortTypeName(nullptr), nullptr);
}

TEST(ClassName, ClassIdIsTheIdentifierOfTheName)
{
    EXPECT_EQ(Common::GetClassId<RPC::IRPCStub_CGaitComponent>(),
              GenerateUIntIdFromString("class RPC::IRPCStub_CGaitComponent"));
    EXPECT_EQ(Common::GetClassId<ClassNameTest::SDeclared>(),
              GenerateUIntIdFromString("struct ClassNameTest::SDeclared"));
}
