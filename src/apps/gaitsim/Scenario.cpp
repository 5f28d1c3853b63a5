#include "Scenario.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

// GaitPlugin::kMaxSpeed, the fastest a character can be asked to go.
#include "Plugin/GaitComponent.h"

namespace GaitSim {

namespace {

struct SCallName
{
    const char* pName;
    SScenarioCall::EKind eKind;
};

constexpr SCallName kCallNames[] = {
    {"Activate", SScenarioCall::EKind::Activate},
    {"SetSpeed", SScenarioCall::EKind::SetSpeed},
    {"SetRotation", SScenarioCall::EKind::SetRotation},
    {"Reset", SScenarioCall::EKind::Reset},
    {"ReloadFromJson", SScenarioCall::EKind::ReloadFromJson},
};

constexpr double kPi = 3.14159265358979323846;

// Collects the first problem as "<file>: <member>: <problem>".
class CProblems
{
public:
    explicit CProblems(const std::string& kFile) : m_kFile(kFile) {}
    bool Fail(const std::string& kMember, const std::string& kProblem)
    {
        if (m_kText.empty())
            m_kText = m_kFile + ": " + kMember + ": " + kProblem;
        return false;
    }
    const std::string& GetText() const { return m_kText; }

private:
    std::string m_kFile;
    std::string m_kText;
};

bool ReadNumber(const rapidjson::Value& kObject, const char* pName, double dMin, double dMax, double& dOut,
                CProblems& kProblems, const std::string& kPrefix = "")
{
    const auto kMember = kObject.FindMember(pName);
    if (kMember == kObject.MemberEnd())
        return true;
    if (!kMember->value.IsNumber())
        return kProblems.Fail(kPrefix + pName, "expected a number");
    const double dValue = kMember->value.GetDouble();
    if (!(dValue >= dMin && dValue <= dMax))
    {
        std::ostringstream kText;
        kText << "expected a number from " << dMin << " to " << dMax;
        return kProblems.Fail(kPrefix + pName, kText.str());
    }
    dOut = dValue;
    return true;
}

// A misspelt member would otherwise be ignored and its default used without
// a word: every member must be one of ppKnown.
template <size_t N>
bool CheckMembers(const rapidjson::Value& kObject, const char* const (&ppKnown)[N], CProblems& kProblems,
                  const std::string& kPrefix = "")
{
    for (auto kMember = kObject.MemberBegin(); kMember != kObject.MemberEnd(); ++kMember)
    {
        const std::string kName(kMember->name.GetString(), kMember->name.GetStringLength());
        if (std::find(std::begin(ppKnown), std::end(ppKnown), kName) != std::end(ppKnown))
            continue;
        std::string kText = "unknown member (";
        for (size_t i = 0; i < N; ++i)
        {
            kText += i ? ", " : "";
            kText += ppKnown[i];
        }
        kText += ')';
        return kProblems.Fail(kPrefix + kName, kText);
    }
    return true;
}

constexpr const char* kRootMembers[] = {"Prefab", "Characters", "Spacing", "Duration", "StepMs", "Seed", "Timeline"};
constexpr const char* kCallMembers[] = {"At", "Call", "Arg", "Character"};

bool ReadCall(const rapidjson::Value& kValue, const std::string& kMember, SScenarioCall& kCall, CProblems& kProblems)
{
    if (!kValue.IsObject())
        return kProblems.Fail(kMember, "expected an object");
    const std::string kPrefix = kMember + ".";
    if (!CheckMembers(kValue, kCallMembers, kProblems, kPrefix))
        return false;
    if (!kValue.HasMember("At"))
        return kProblems.Fail(kPrefix + "At", "missing");
    if (!ReadNumber(kValue, "At", 0.0, 1e6, kCall.dAt, kProblems, kPrefix))
        return false;
    double dCharacter = -1.0;
    if (!ReadNumber(kValue, "Character", 0.0, 9999.0, dCharacter, kProblems, kPrefix))
        return false;
    if (dCharacter != std::floor(dCharacter))
        return kProblems.Fail(kPrefix + "Character", "expected a whole number");
    kCall.iCharacter = static_cast<int>(dCharacter);

    const auto kName = kValue.FindMember("Call");
    if (kName == kValue.MemberEnd() || !kName->value.IsString())
        return kProblems.Fail(kPrefix + "Call", "expected the name of a call");
    const auto* pFound = std::find_if(std::begin(kCallNames), std::end(kCallNames), [&](const SCallName& kEntry) {
        return std::string(kEntry.pName) == kName->value.GetString();
    });
    if (pFound == std::end(kCallNames))
        return kProblems.Fail(kPrefix + "Call", std::string("unknown call \"") + kName->value.GetString() +
                                                    "\" (Activate, SetSpeed, SetRotation, Reset, ReloadFromJson)");
    kCall.eKind = pFound->eKind;

    const auto kArg = kValue.FindMember("Arg");
    const bool bHasArg = kArg != kValue.MemberEnd();
    const std::string kArgName = kPrefix + "Arg";
    switch (kCall.eKind)
    {
        case SScenarioCall::EKind::Activate:
            if (!bHasArg || !kArg->value.IsBool())
                return kProblems.Fail(kArgName, "expected true or false");
            kCall.bActive = kArg->value.GetBool();
            break;
        case SScenarioCall::EKind::SetSpeed:
            // The component would report a faster speed and keep the one it had:
            // refused here, with the file and the member named.
            if (!bHasArg || !kArg->value.IsNumber() || kArg->value.GetDouble() < 0.0 ||
                kArg->value.GetDouble() > GaitPlugin::kMaxSpeed)
            {
                std::ostringstream kText;
                kText << "expected a speed from 0 to " << GaitPlugin::kMaxSpeed;
                return kProblems.Fail(kArgName, kText.str());
            }
            kCall.fSpeed = static_cast<float>(kArg->value.GetDouble());
            break;
        case SScenarioCall::EKind::SetRotation:
            if (bHasArg && kArg->value.IsNumber())
            {
                // A heading in degrees about the up axis (Z); positive turns left.
                kCall.dHeadingDeg = kArg->value.GetDouble();
                const double dHalf = kCall.dHeadingDeg * kPi / 360.0;
                kCall.kRotation = Math::Quaternion(0.0f, 0.0f, static_cast<float>(std::sin(dHalf)),
                                                   static_cast<float>(std::cos(dHalf)));
            }
            else if (bHasArg && kArg->value.IsObject())
            {
                double adQ[4] = {0.0, 0.0, 0.0, 0.0};
                const char* apNames[4] = {"x", "y", "z", "w"};
                for (int i = 0; i < 4; ++i)
                {
                    const auto kPart = kArg->value.FindMember(apNames[i]);
                    if (kPart == kArg->value.MemberEnd() || !kPart->value.IsNumber())
                        return kProblems.Fail(kArgName + "." + apNames[i], "expected a number");
                    adQ[i] = kPart->value.GetDouble();
                }
                const double dLength = std::sqrt(adQ[0] * adQ[0] + adQ[1] * adQ[1] + adQ[2] * adQ[2] + adQ[3] * adQ[3]);
                if (!(dLength > 1e-6))
                    return kProblems.Fail(kArgName, "a rotation cannot be all zeros");
                kCall.kRotation =
                    Math::Quaternion(static_cast<float>(adQ[0] / dLength), static_cast<float>(adQ[1] / dLength),
                                     static_cast<float>(adQ[2] / dLength), static_cast<float>(adQ[3] / dLength));
                kCall.dHeadingDeg = std::atan2(2.0 * (adQ[3] * adQ[2] + adQ[0] * adQ[1]),
                                               adQ[3] * adQ[3] + adQ[0] * adQ[0] - adQ[1] * adQ[1] - adQ[2] * adQ[2]) *
                                    180.0 / kPi;
            }
            else
                return kProblems.Fail(kArgName,
                                      "expected a heading in degrees or a quaternion {\"x\",\"y\",\"z\",\"w\"}");
            break;
        case SScenarioCall::EKind::Reset:
            break;
        case SScenarioCall::EKind::ReloadFromJson:
        {
            if (!bHasArg || !kArg->value.IsObject())
                return kProblems.Fail(kArgName, "expected a gait document (an object)");
            rapidjson::StringBuffer kBuffer;
            rapidjson::Writer<rapidjson::StringBuffer> kWriter(kBuffer);
            kArg->value.Accept(kWriter);
            kCall.kDocument.assign(kBuffer.GetString(), kBuffer.GetSize());
            break;
        }
    }
    return true;
}

}  // namespace

const char* GetCallName(SScenarioCall::EKind eKind)
{
    for (const SCallName& kEntry : kCallNames)
        if (kEntry.eKind == eKind)
            return kEntry.pName;
    return "?";
}

bool LoadScenario(const std::string& kPath, SScenario& kOut, std::string& kError)
{
    std::ifstream kFile(kPath, std::ios::binary);
    if (!kFile)
    {
        kError = kPath + ": cannot be read";
        return false;
    }
    std::stringstream kText;
    kText << kFile.rdbuf();
    const std::string kContent = kText.str();
    rapidjson::Document kDocument;
    kDocument.Parse<rapidjson::kParseStopWhenDoneFlag>(kContent.c_str());
    if (kDocument.HasParseError())
    {
        kError = kPath + ": offset " + std::to_string(kDocument.GetErrorOffset()) + ": " +
                 rapidjson::GetParseError_En(kDocument.GetParseError());
        return false;
    }
    CProblems kProblems(kPath);
    if (!kDocument.IsObject())
    {
        kProblems.Fail("(root)", "expected an object");
        kError = kProblems.GetText();
        return false;
    }

    SScenario kScenario;
    const size_t uiSlash = kPath.find_last_of('/');
    kScenario.kName = kPath.substr(uiSlash == std::string::npos ? 0 : uiSlash + 1);
    if (const size_t uiDot = kScenario.kName.find('.'); uiDot != std::string::npos)
        kScenario.kName.resize(uiDot);

    double dCharacters = kScenario.uiCharacters, dSpacing = kScenario.fSpacing, dStep = kScenario.uiStepMs,
           dSeed = kScenario.uiSeed;
    bool bOk = CheckMembers(kDocument, kRootMembers, kProblems) &&
               ReadNumber(kDocument, "Characters", 1, 1000, dCharacters, kProblems) &&
               ReadNumber(kDocument, "Spacing", 0, 1000, dSpacing, kProblems) &&
               ReadNumber(kDocument, "Duration", 0.001, 3600, kScenario.dDuration, kProblems) &&
               ReadNumber(kDocument, "StepMs", 1, 1000, dStep, kProblems) &&
               ReadNumber(kDocument, "Seed", 0, 4294967295.0, dSeed, kProblems);
    if (bOk && (dCharacters != std::floor(dCharacters) || dStep != std::floor(dStep) || dSeed != std::floor(dSeed)))
        bOk = kProblems.Fail("Characters/StepMs/Seed", "expected whole numbers");
    kScenario.uiCharacters = static_cast<uint32>(dCharacters);
    kScenario.fSpacing = static_cast<float>(dSpacing);
    kScenario.uiStepMs = static_cast<uint32>(dStep);
    kScenario.uiSeed = static_cast<uint32>(dSeed);

    if (bOk)
    {
        const auto kPrefab = kDocument.FindMember("Prefab");
        if (kPrefab != kDocument.MemberEnd())
        {
            if (!kPrefab->value.IsString() || kPrefab->value.GetStringLength() == 0)
                bOk = kProblems.Fail("Prefab", "expected a prefab path");
            else
                kScenario.kPrefab = kPrefab->value.GetString();
        }
    }
    if (bOk)
    {
        const auto kTimeline = kDocument.FindMember("Timeline");
        if (kTimeline == kDocument.MemberEnd() || !kTimeline->value.IsArray())
            bOk = kProblems.Fail("Timeline", "expected an array of calls");
        else
            for (rapidjson::SizeType i = 0; bOk && i < kTimeline->value.Size(); ++i)
            {
                SScenarioCall kCall;
                bOk = ReadCall(kTimeline->value[i], "Timeline[" + std::to_string(i) + "]", kCall, kProblems);
                if (bOk && kCall.iCharacter >= static_cast<int>(kScenario.uiCharacters))
                    bOk = kProblems.Fail("Timeline[" + std::to_string(i) + "].Character",
                                         "there are only " + std::to_string(kScenario.uiCharacters) + " characters");
                if (bOk)
                    kScenario.kCalls.push_back(kCall);
            }
    }
    if (!bOk)
    {
        kError = kProblems.GetText();
        return false;
    }
    // Calls at the same time keep their order in the file.
    std::stable_sort(kScenario.kCalls.begin(), kScenario.kCalls.end(),
                     [](const SScenarioCall& a, const SScenarioCall& b) { return a.dAt < b.dAt; });
    kOut = std::move(kScenario);
    return true;
}

}  // namespace GaitSim
