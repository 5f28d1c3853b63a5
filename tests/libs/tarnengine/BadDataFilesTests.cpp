// Broken data files of every kind an author writes: the demo character's
// AnimSet and prefab, each spoiled in the ways files get
// spoiled (cut short, wrong types, numbers out of range, negative counts,
// overlong names, repeated members, deep nesting, bytes that are not
// UTF-8). Each must be refused whole with a message that names the file
// and the member, and the data already in use must stay as it was.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "support/NamedPipe.h"
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

TEST(BadDataFiles, BrokenAnimSetsAreRefusedNamingFileAndMember)
{
    const std::string kText = TestSupport::ReadTextFile(kDataDir + "/demo/biped.animset.json");
    ASSERT_FALSE(kText.empty());
    const std::vector<SSpoil> kSpoils = {
        {"truncated", "", "", "document"},
        {"wrong type", "\"FirstFrame\": 0", "\"FirstFrame\": \"0\"", "Sequences[0].FirstFrame"},
        {"number too big for a double", "\"FrameRate\": 30", "\"FrameRate\": 1e400", "document"},
        {"number too big for 64 bits", "\"LastFrame\": 60", "\"LastFrame\": 18446744073709551616",
         "Sequences[0].LastFrame"},
        {"negative frame", "\"LastFrame\": 60", "\"LastFrame\": -1", "Sequences[0].LastFrame"},
        {"name of 1024 characters", "\"Name\": \"Idle\"", "\"Name\": \"" + kLongName + "\"", "Sequences[0].Name"},
        {"repeated member", "\"FirstFrame\": 0,", "\"FirstFrame\": 0, \"FirstFrame\": 1,", "Sequences[0].FirstFrame"},
        {"deep nesting", "\"Loop\": true", "\"Loop\": " + Nested(300), "document"},
        {"not UTF-8", "\"Name\": \"Biped\"", "\"Name\": \"Bi\xFFped\"", "Name"},
        {"overlong UTF-8", "\"Name\": \"Root\"", "\"Name\": \"R\xC0\xAFoot\"", "Channels[0].Name"},
    };
    for (const SSpoil& kSpoil : kSpoils)
    {
        SCOPED_TRACE(kSpoil.pLabel);
        const std::string kBroken = Spoil(kText, kSpoil);
        Common::CInputErrors kError;
        TarnAnim::Mocap* pMocap =
            TarnAnim::AnimSetLoader::LoadText(kBroken.data(), kBroken.size(), "broken.animset.json", kError);
        EXPECT_EQ(pMocap, nullptr);
        if (pMocap)
            TARN_DELETE(pMocap);
        const std::string kMessage = kError.GetText();
        EXPECT_EQ(kMessage.rfind("broken.animset.json: " + kSpoil.kMember + ": ", 0), 0u) << kMessage;
    }
}

TEST(BadDataFiles, BrokenPrefabsAreRefusedNamingFileAndMemberAndTheLoadedOnesStay)
{
    const std::string kText = TestSupport::ReadTextFile(kDataDir + "/demo/biped.prefab.json");
    ASSERT_FALSE(kText.empty());
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kDataDir.c_str();
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::CreateInstance(kStartup);
    ASSERT_NE(pEngine, nullptr);
    TarnEngine::PrefabContainer* pInUse = pEngine->LoadPrefab("demo/biped.prefab.json");
    ASSERT_NE(pInUse, nullptr);
    const std::vector<SSpoil> kSpoils = {
        {"truncated", "", "", "document"},
        {"wrong type", "\"Name\": \"Biped\"", "\"Name\": 5", "Name"},
        {"number too big for a double", "\"Name\": \"Biped\"", "\"Name\": 1e400", "document"},
        {"name of 1024 characters", "\"Name\": \"Biped\"", "\"Name\": \"" + kLongName + "\"", "Name"},
        {"repeated member", "\"Name\": \"Biped\",", "\"Name\": \"Biped\", \"Name\": \"Other\",", "Name"},
        {"deep nesting", "\"Name\": \"Biped\"", "\"Name\": \"Biped\", \"X\": " + Nested(300), "document"},
        {"not UTF-8", "\"Name\": \"Biped\"", "\"Name\": \"Bi\xFFped\"", "Name"},
        {"AnimSet of a wrong type", "\"AnimSet\": \"demo/biped.animset.json\"", "\"AnimSet\": -1", "AnimSet"},
    };
    const std::string kPath = testing::TempDir() + "broken.prefab.json";
    for (const SSpoil& kSpoil : kSpoils)
    {
        SCOPED_TRACE(kSpoil.pLabel);
        {
            FILE* pFile = fopen(kPath.c_str(), "wb");
            ASSERT_NE(pFile, nullptr);
            const std::string kBroken = Spoil(kText, kSpoil);
            fwrite(kBroken.data(), 1, kBroken.size(), pFile);
            fclose(pFile);
        }
        TestSupport::CLogCapture kLog;
        Common::CInputErrors kError;
        EXPECT_EQ(pEngine->LoadPrefab(kPath.c_str(), &kError), nullptr);
        const std::string kMessage = kError.GetText();
        EXPECT_EQ(kMessage.rfind(kPath + ": " + kSpoil.kMember + ": ", 0), 0u) << kMessage;
        EXPECT_EQ(pEngine->GetPrefabCount(), 1u);
        EXPECT_EQ(pEngine->FindPrefab("demo/biped.prefab.json"), pInUse);
    }
    remove(kPath.c_str());
    TarnEngine::CEngine::DestroyInstance();
}

// Data paths that name no regular file (a remote client may send any path):
// each reader refuses them with the file and the reason, and a named pipe is
// never opened, so it cannot hold the engine thread (each pipe case fails,
// not hangs, if a reader opens it).
TEST(BadDataFiles, PathsThatAreNotRegularFilesAreRefusedWithoutWaiting)
{
    namespace fs = std::filesystem;
    char acTemplate[] = "/tmp/tarn_bad_paths_XXXXXX";
    ASSERT_NE(mkdtemp(acTemplate), nullptr);
    const std::string kFolder = acTemplate;
    struct SCase
    {
        const char* pName;
        std::function<bool(const std::string&)> kMake;
        const char* pProblem;
        bool bPipe;
    };
    const SCase akCases[] = {
        {"pipe.json", [](const std::string& kPath) { return mkfifo(kPath.c_str(), 0600) == 0; }, "not a regular file",
         true},
        {"folder.json", [](const std::string& kPath) { return mkdir(kPath.c_str(), 0700) == 0; }, "not a regular file",
         false},
        {"missing.json", [](const std::string&) { return true; }, "cannot be opened: No such file or directory", false},
        {"dangling.json",
         [&](const std::string& kPath) { return symlink((kFolder + "/nowhere.json").c_str(), kPath.c_str()) == 0; },
         "dangling symbolic link", false},
    };

    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kDataDir.c_str();
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::CreateInstance(kStartup);
    ASSERT_NE(pEngine, nullptr);
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        const std::string kPath = kFolder + "/" + kCase.pName;
        ASSERT_TRUE(kCase.kMake(kPath));
        // A prefab whose AnimSet is the path.
        const std::string kPrefab = kFolder + "/uses_" + kCase.pName;
        {
            FILE* pFile = fopen(kPrefab.c_str(), "wb");
            ASSERT_NE(pFile, nullptr);
            const std::string kText = "{\"Name\":\"A\",\"AnimSet\":\"" + kPath + "\"}";
            fwrite(kText.data(), 1, kText.size(), pFile);
            fclose(pFile);
        }

        TestSupport::CLogCapture kLog;
        Common::CInputErrors kPrefabError;
        Common::CInputErrors kUserError;
        Common::CInputErrors kAnimSetError;
        bool bAnyLoaded = false;
        const auto Load = [&] {
            bAnyLoaded |= pEngine->LoadPrefab(kPath.c_str(), &kPrefabError) != nullptr;
            bAnyLoaded |= pEngine->LoadPrefab(kPrefab.c_str(), &kUserError) != nullptr;
            TarnAnim::Mocap* pMocap = TarnAnim::AnimSetLoader::LoadFile(kPath.c_str(), kAnimSetError);
            bAnyLoaded |= pMocap != nullptr;
            TARN_DELETE(pMocap);
        };
        if (kCase.bPipe)
        {
            EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kPath, Load)) << "a reader opened the pipe";
        }
        else
            Load();
        EXPECT_FALSE(bAnyLoaded);
        const std::string kProblem = std::string(kCase.pName) + ": file: " + kCase.pProblem;
        EXPECT_EQ(std::string(kPrefabError.GetText()), kFolder + "/" + kProblem);
        EXPECT_EQ(std::string(kUserError.GetText()),
                  kPrefab + ": AnimSet: \"" + kPath + "\" could not be loaded: " + kProblem);
        EXPECT_EQ(std::string(kAnimSetError.GetText()), kProblem);
        EXPECT_EQ(pEngine->GetPrefabCount(), 0u);
    }
    TarnEngine::CEngine::DestroyInstance();
    std::error_code kError;
    fs::remove_all(kFolder, kError);
}
