// Broken data files as authors and clients write them: each is refused whole, with a message that names the
// file and the member, and the data in use stays as it was.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DataProvider/DataProvider.h"
#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "support/NamedPipe.h"
#include "support/ReportCapture.h"
#include "support/SpoiledText.h"
#include "support/TextFile.h"

namespace {

const std::string kDataDir = TARN_DATA_DIR;

void WriteFile(const std::string& kPath, const std::string& kText)
{
    std::ofstream(kPath, std::ios::binary) << kText;
}

struct BadDataFiles : testing::Test
{
    BadDataFiles() { m_pEngine->GetDataProvider()->SetDataRoot(kDataDir.c_str()); }
    ~BadDataFiles() override { TarnEngine::CEngine::DestroyInstance(); }
    TarnEngine::CEngine* m_pEngine = TarnEngine::CEngine::CreateInstance(TarnEngine::SEngineStartup());
};

}  // namespace

// What the JSON parser lets through; the loader's other refusals are the AnimSet loader tests' own.
TEST_F(BadDataFiles, BrokenAnimSetsAreRefusedNamingFileAndMember)
{
    const std::string kText = TestSupport::ReadTextFile(kDataDir + "/demo/biped.animset.json");
    ASSERT_FALSE(kText.empty());
    const std::vector<TestSupport::SSpoil> kSpoils = {
        {"repeated member", "\"FirstFrame\": 0,", "\"FirstFrame\": 0, \"FirstFrame\": 1,", "Sequences[0].FirstFrame"},
        {"not UTF-8", "\"Name\": \"Biped\"", "\"Name\": \"Bi\xFFped\"", "Name"},
        {"overlong UTF-8", "\"Name\": \"Root\"", "\"Name\": \"R\xC0\xAFoot\"", "Channels[0].Name"},
    };
    for (const TestSupport::SSpoil& kSpoil : kSpoils)
    {
        SCOPED_TRACE(kSpoil.pLabel);
        const std::string kBroken = TestSupport::Spoil(kText, kSpoil);
        Common::CInputErrors kError;
        TarnAnim::Mocap* pMocap =
            TarnAnim::AnimSetLoader::LoadText(kBroken.data(), kBroken.size(), "broken.animset.json", kError);
        EXPECT_EQ(pMocap, nullptr);
        TARN_DELETE(pMocap);
        EXPECT_EQ(std::string(kError.GetText()).rfind("broken.animset.json: " + kSpoil.kMember + ": ", 0), 0u)
            << kError.GetText();
    }
}

// Each problem of a prefab file has its exact text, which names the file and
// the member and is logged; nothing is kept, and the prefab in use stays.
TEST_F(BadDataFiles, PrefabFilesAreRefusedWithTheirExactTexts)
{
    TarnEngine::PrefabContainer* pInUse = m_pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pInUse, nullptr);
    // The file's text and the message after "<file>: ".
    const std::pair<std::string, std::string> akCases[] = {
        {R"({"Name":"A")", "document: invalid JSON: Missing a comma or '}' after an object member. at offset 11"},
        // The root object is the first level: the 256th '[' is one too many.
        {R"({"Name":"A","X":)" + std::string(300, '['), "document: nested deeper than 256 levels at offset 271"},
        {"[]", "document: expected an object"},
        {R"({"AnimSet":null})", "Name: required member is missing"},
        {R"({"Name":3})", "Name: expected a string"},
        {R"({"Name":""})", "Name: must not be empty"},
        {R"({"Name":")" + std::string(128, 'n') + "\"}", "Name: 128 bytes long, at most 127 are allowed"},
        {R"({"Name":"A","Name":"B"})", "Name: repeats an earlier member of the same object"},
        {"{\"Name\":\"Bi\xFFped\"}", "Name: is not valid UTF-8 text"},
        {R"({"Name":"A","AnimSet":5})", "AnimSet: expected a string"},
        {R"({"Name":"A","AnimSet":"demo/biped.prefab.json"})",
         "AnimSet: \"" + kDataDir +
             "/demo/biped.prefab.json\" could not be loaded: biped.prefab.json: Channels: "
             "required member is missing"},
        {R"({"Name":"A","AddInObjects":{}})", "AddInObjects: expected an array"},
    };
    const std::string kPath = testing::TempDir() + "broken.prefab.json";
    for (const auto& [kText, kMessage] : akCases)
    {
        SCOPED_TRACE(kText.substr(0, 60));
        WriteFile(kPath, kText);
        TestSupport::CAssertCapture kCapture;
        TestSupport::CLogCapture kLog;
        Common::CInputErrors kError;
        EXPECT_EQ(m_pEngine->LoadPrefab(kPath.c_str(), &kError), nullptr);
        EXPECT_EQ(std::string(kError.GetText()), kPath + ": " + kMessage);
        EXPECT_TRUE(kLog.Has(kError.GetText()));
        EXPECT_EQ(kCapture.Count(), 0u);
        EXPECT_EQ(m_pEngine->GetPrefabCount(), 1u);
        EXPECT_EQ(m_pEngine->FindPrefab("demo/biped.prefab.json"), pInUse);
    }
    remove(kPath.c_str());
    // A container is loaded once.
    Common::CInputErrors kError;
    TarnEngine::PrefabContainer kContainer(m_pEngine->GetPluginManager());
    ASSERT_TRUE(kContainer.LoadFile((kDataDir + "/demo/biped.prefab.json").c_str(), kError)) << kError.GetText();
    EXPECT_FALSE(kContainer.LoadFile((kDataDir + "/demo/biped.prefab.json").c_str(), kError));
}

// Paths that name no regular file (a remote client may send any path) are refused with the file and the reason,
// and a named pipe is never opened, so it cannot hold the engine thread.
TEST_F(BadDataFiles, PathsThatAreNotRegularFilesAreRefusedWithoutWaiting)
{
    char acTemplate[] = "/tmp/tarn_bad_paths_XXXXXX";
    ASSERT_NE(mkdtemp(acTemplate), nullptr);
    const std::string kFolder = acTemplate;
    const std::string kPipe = kFolder + "/pipe.json";
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0600), 0);
    ASSERT_EQ(mkdir((kFolder + "/folder.json").c_str(), 0700), 0);
    ASSERT_EQ(symlink((kFolder + "/nowhere.json").c_str(), (kFolder + "/dangling.json").c_str()), 0);
    const std::pair<const char*, const char*> akCases[] = {
        {"pipe.json", "not a regular file"},
        {"folder.json", "not a regular file"},
        {"missing.json", "cannot be opened: No such file or directory"},
        {"dangling.json", "dangling symbolic link"},
    };
    for (const auto& [pName, pProblem] : akCases)
    {
        SCOPED_TRACE(pName);
        const std::string kPath = kFolder + "/" + pName;
        Common::CInputErrors kError;
        bool bLoaded = true;
        EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kPipe, [&] {
            bLoaded = m_pEngine->LoadPrefab(kPath.c_str(), &kError) != nullptr;
        })) << "a reader opened the pipe";
        EXPECT_FALSE(bLoaded);
        EXPECT_EQ(std::string(kError.GetText()), kPath + ": file: " + pProblem);
        EXPECT_EQ(m_pEngine->GetPrefabCount(), 0u);
    }
    std::error_code kError;
    std::filesystem::remove_all(kFolder, kError);
}
