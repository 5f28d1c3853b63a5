// A broken gait document is refused whole, naming the member, and the data
// in use stays as it was.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Data/GaitSerializer.h"
#include "support/ReportCapture.h"
#include "support/SpoiledText.h"
#include "support/TextFile.h"

namespace {

using TestSupport::Nested;
using TestSupport::Spoil;
using TestSupport::SSpoil;

const std::string kDataDir = TARN_DATA_DIR;
const std::string kLongName(1024, 'n');

}  // namespace

TEST(BadDataFiles, BrokenGaitDocumentsAreRefusedNamingTheMemberAndKeepTheDataInUse)
{
    const std::string kText = TestSupport::ReadTextFile(kDataDir + "/demo/biped.gait.json");
    ASSERT_FALSE(kText.empty());
    GaitPlugin::ParamGait kInUse;
    ASSERT_TRUE(GaitPlugin::GaitSerializer::LoadFromText(kText.data(), kText.size(), kInUse));
    // The data in use: a distinct mark in it shows that nothing was overwritten.
    ASSERT_GT(kInUse.Behaviors.GetSize(), 0u);
    kInUse.Behaviors[0].EaseMs = 4321;
    const std::vector<SSpoil> kSpoils = {
        {"truncated", "", "", "document"},
        {"wrong type", "\"EaseMs\": 200", "\"EaseMs\": \"200\"", "Behaviors[0].EaseMs"},
        {"number too big for a double", "\"EaseMs\": 200", "\"EaseMs\": 1e400", "document"},
        {"number too big for 64 bits", "\"EaseMs\": 200", "\"EaseMs\": 18446744073709551616", "Behaviors[0].EaseMs"},
        {"negative frame", "\"FrameFirst\": 24", "\"FrameFirst\": -24", "Behaviors[0].SynchroSource.FrameFirst"},
        {"name of 1024 characters", "\"NameBehavior\": \"WalkStart\"", "\"NameBehavior\": \"" + kLongName + "\"",
         "Behaviors[0].NameBehavior"},
        {"repeated member", "\"EaseMs\": 200,", "\"EaseMs\": 200, \"EaseMs\": 300,", "Behaviors[0].EaseMs"},
        {"deep nesting", "\"EaseMs\": 200", "\"EaseMs\": " + Nested(300), "document"},
        {"not UTF-8", "\"NameKeySource\": \"Idle\"", "\"NameKeySource\": \"Id\xFFle\"", "Binds[0].NameKeySource"},
    };
    for (const SSpoil& kSpoil : kSpoils)
    {
        SCOPED_TRACE(kSpoil.pLabel);
        const std::string kBroken = Spoil(kText, kSpoil);
        TestSupport::CAssertCapture kReports;
        Common::CInputErrors kErrors;
        GaitPlugin::ParamGait kParam = kInUse;
        EXPECT_FALSE(GaitPlugin::GaitSerializer::LoadFromText(kBroken.data(), kBroken.size(), kParam, &kErrors));
        const std::string kMessage = kErrors.GetText();
        EXPECT_NE(kMessage.find(kSpoil.kMember + ": "), std::string::npos) << kMessage;
        EXPECT_GE(kReports.Count(), 1u);
        EXPECT_EQ(kParam.Binds.GetSize(), kInUse.Binds.GetSize());
        ASSERT_EQ(kParam.Behaviors.GetSize(), kInUse.Behaviors.GetSize());
        EXPECT_EQ(kParam.Behaviors[0].EaseMs, 4321u);
    }
}

