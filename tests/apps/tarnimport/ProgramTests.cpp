// tarn-import as a process: its exit code, its messages on standard error
// and what it leaves in the output folder, on a take of the shared folder,
// on truncated and wrong files of each format it reads, and on bad command
// lines.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/InputErrors.h"
#include "support/TextFile.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own for each test, removed with everything in it.
struct STempFolder
{
    fs::path kPath;
    explicit STempFolder(const std::string& kName)
        : kPath(fs::path(testing::TempDir()) / ("tarnimport_" + kName + "_" + std::to_string(getpid())))
    {
        fs::remove_all(kPath);
        fs::create_directories(kPath);
    }
    ~STempFolder() { fs::remove_all(kPath); }
    std::string operator/(const std::string& kFile) const { return (kPath / kFile).string(); }
    // True when some file of the folder has ".part" in its name: a partial
    // output left behind.
    bool HasPartialFile() const
    {
        for (const fs::directory_entry& kEntry : fs::directory_iterator(kPath))
            if (kEntry.path().filename().string().find(".part") != std::string::npos)
                return true;
        return false;
    }
};

struct SRun
{
    int iExit = -1;
    std::string kErr;
};

// Runs tarn-import with these arguments, its standard error to a file of the
// folder.
SRun RunImport(const std::vector<std::string>& kArguments, const STempFolder& kFolder)
{
    // Under LeakSanitizer, what the import library itself leaks on a
    // broken file is not the program's.
    std::string kCommand = "LSAN_OPTIONS=suppressions='" TARN_LSAN_SUPPRESSIONS "' '" TARN_IMPORT_PROGRAM "'";
    for (const std::string& kArgument : kArguments)
        kCommand += " '" + kArgument + "'";
    const std::string kErrPath = kFolder / "stderr.txt";
    kCommand += " >/dev/null 2>'" + kErrPath + "'";
    SRun kRun;
    const int iStatus = std::system(kCommand.c_str());
    kRun.iExit = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    kRun.kErr = TestSupport::ReadTextFile(kErrPath);
    fs::remove(kErrPath);
    return kRun;
}

// A small take in metres: Hips 0.95 m up walking 1 m along +Z over frames
// 0 to 9, and two legs.
std::string SmallBvh()
{
    std::string kText =
        "HIERARCHY\nROOT Hips\n{\n\tOFFSET 0 0 0\n\tCHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation "
        "Xrotation\n\tJOINT LeftLeg\n\t{\n\t\tOFFSET 0.1 -0.45 0\n\t\tCHANNELS 3 Zrotation Yrotation Xrotation\n"
        "\t\tEnd Site\n\t\t{\n\t\t\tOFFSET 0 -0.45 0\n\t\t}\n\t}\n\tJOINT RightLeg\n\t{\n\t\tOFFSET -0.1 -0.45 0\n"
        "\t\tCHANNELS 3 Zrotation Yrotation Xrotation\n\t\tEnd Site\n\t\t{\n\t\t\tOFFSET 0 -0.45 0\n\t\t}\n\t}\n}\n"
        "MOTION\nFrames: 10\nFrame Time: 0.0333333\n";
    for (int k = 0; k < 10; ++k)
        kText += "0 0.95 " + std::to_string(k / 9.0) + " 0 0 0 " + std::to_string(3 * k) + " 0 0 0 0 0\n";
    return kText;
}

std::string LineOfEnd(const std::string& kText)
{
    return std::to_string(std::count(kText.begin(), kText.end(), '\n') + 1);
}

}  // namespace

TEST(TarnImportProgram, WholeTakeIsWrittenAndLoadsWithTheEnginesLoader)
{
    const std::string kTake = std::string(TARN_MOCAP_DIR) + "/cmu_16_34.bvh";
    if (!fs::exists(kTake))
        GTEST_SKIP() << kTake << " is absent";
    const STempFolder kFolder("take");
    const std::string kOut = kFolder / "walk.animset.json", kGait = kFolder / "walk.gait.json";
    const SRun kRun = RunImport(
        {kTake, "--skip", "1", "--fps", "30", "--feet", "LeftFoot,RightFoot", "-o", kOut, "--gait-out", kGait},
        kFolder);
    ASSERT_EQ(kRun.iExit, 0) << kRun.kErr;
    EXPECT_NE(kRun.kErr.find("contacts LeftFoot"), std::string::npos) << kRun.kErr;
    EXPECT_TRUE(fs::exists(kGait));
    EXPECT_FALSE(kFolder.HasPartialFile());
    Common::CInputErrors kErrors;
    TarnAnim::Mocap* pMocap = TarnAnim::AnimSetLoader::LoadFile(kOut.c_str(), kErrors);
    ASSERT_NE(pMocap, nullptr) << kErrors.GetText();
    EXPECT_STREQ(pMocap->m_kName.Get(), "walk");
    EXPECT_EQ(pMocap->GetSequenceCount(), 1u);
    EXPECT_EQ(pMocap->FindSequence("Take"), 0);
    TARN_DELETE(pMocap);
}

TEST(TarnImportProgram, TruncatedOrWrongFileIsRefusedNamingTheFileAndThePlaceWithNoOutput)
{
    const std::string kBvh = SmallBvh();
    const std::string kGltf = R"({"asset": {"version": "2.0"}, "nodes": [{"name": "Hip")";
    const std::string kAsciiFbx = "; FBX 7.4.0 project file\nFBXHeaderExtension:  {\n\tFBXHeaderVersion: 1003\n";
    std::string kBinaryFbx("Kaydara FBX Binary  \0\x1a\0\xe8\x1c\0\0", 27);
    for (int i = 0; i < 64; ++i)
        kBinaryFbx += "garbage!";
    const std::string kMotionCut = kBvh.substr(0, kBvh.size() - 9);
    const std::string kHierarchyCut = kBvh.substr(0, kBvh.find("JOINT RightLeg") + 9);
    struct SCase
    {
        const char* pFile;
        std::string kContent;
        std::string kPlace;  // after the file's name
    };
    std::vector<SCase> kCases = {
        {"motion_cut.bvh", kMotionCut, ":" + LineOfEnd(kMotionCut)},
        {"hierarchy_cut.bvh", kHierarchyCut, ":" + LineOfEnd(kHierarchyCut)},
        {"json_cut.gltf", kGltf, ": offset " + std::to_string(kGltf.size())},
        {"ascii_cut.fbx", kAsciiFbx, ": FBX-Parser (TOK_DATA, line 4"},
        {"binary_garbage.fbx", kBinaryFbx, ": FBX-Tokenize (offset 0x"},
    };
    const std::string kTake = std::string(TARN_MOCAP_DIR) + "/cmu_131_01.bvh";
    if (fs::exists(kTake))
    {
        const std::string kCut = TestSupport::ReadTextFile(kTake).substr(0, 200000);
        kCases.push_back({"take_cut.bvh", kCut, ":" + LineOfEnd(kCut)});
    }
    const STempFolder kFolder("badfiles");
    for (const SCase& kCase : kCases)
    {
        SCOPED_TRACE(kCase.pFile);
        const std::string kPath = kFolder / kCase.pFile, kOut = kFolder / "out.animset.json";
        std::ofstream(kPath, std::ios::binary) << kCase.kContent;
        const SRun kRun = RunImport({"-q", kPath, "-o", kOut}, kFolder);
        EXPECT_EQ(kRun.iExit, 1) << kRun.kErr;
        EXPECT_NE(kRun.kErr.find(kPath + kCase.kPlace), std::string::npos) << kRun.kErr;
        EXPECT_FALSE(fs::exists(kOut));
        EXPECT_FALSE(kFolder.HasPartialFile());
    }
}

TEST(TarnImportProgram, BadClipFootOrFrameRangeIsRefusedNamingTheProblemWithNoOutput)
{
    const struct
    {
        std::vector<std::string> kArguments;
        int iExit;
        const char* pMessage;  // found in standard error
    } akCases[] = {
        {{"--clip", "Walk:1-9:loop", "--feet", "LeftLeg,RightLeg"}, 0, "wrote"},
        {{"--clip", "Walk:10"}, 1, "--clip \"Walk:10\" is not NAME:FIRST-LAST"},
        {{"--clip", "Walk:20-10"}, 1, "--clip \"Walk:20-10\" is not NAME:FIRST-LAST"},
        {{"--clip", "Walk:1-5:jump"}, 1, "--clip \"Walk:1-5:jump\" is not NAME:FIRST-LAST"},
        {{"--clip", "Walk"}, 1, "--clip \"Walk\" is not NAME:FIRST-LAST"},
        {{"--feet", "LeftLeg,LeftToe"}, 1, "foot joint \"LeftToe\" is not a joint of the source"},
        {{"--clip", "Walk:2-10"}, 1, "clip Walk: frames 2-10 are not a range of the source's frames 0-9"},
        {{"--skip", "2", "--clip", "Walk:1-5"}, 1, "clip Walk: frames 1-5 include skipped frames (--skip 2)"},
        {{"--skip", "9"}, 1, "10 frames, too few to make a clip after --skip"},
        {{"--clip", "Walk:1-5", "--clip", "Walk:3-8"}, 1, "clip Walk: a clip of that name was cut already"},
    };
    const STempFolder kFolder("commandline");
    const std::string kPath = kFolder / "small.bvh", kOut = kFolder / "small.animset.json";
    std::ofstream(kPath) << SmallBvh();
    for (const auto& kCase : akCases)
    {
        std::vector<std::string> kArguments{kPath, "-o", kOut};
        kArguments.insert(kArguments.end(), kCase.kArguments.begin(), kCase.kArguments.end());
        SCOPED_TRACE(kCase.kArguments.back());
        const SRun kRun = RunImport(kArguments, kFolder);
        EXPECT_EQ(kRun.iExit, kCase.iExit) << kRun.kErr;
        EXPECT_NE(kRun.kErr.find(kCase.pMessage), std::string::npos) << kRun.kErr;
        EXPECT_EQ(fs::exists(kOut), kCase.iExit == 0);
        EXPECT_FALSE(kFolder.HasPartialFile());
        fs::remove(kOut);
    }
}
