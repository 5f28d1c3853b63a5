// tarn-import: turns a motion file (motion capture in BVH, or glTF 2.0, FBX
// and the other formats the Open Asset Import Library reads) into an AnimSet
// the engine loads, with root motion extracted, and optionally a draft gait
// document with the foot contacts found in the clips.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Data/GaitParam.h"
#include "Data/GaitSerializer.h"
#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "Importer.h"
#include "SourceMotion.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/InputErrors.h"
#include "Utils/debuglog.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitInput = 1;
// What was made fails the engine's own loaders.
constexpr int kExitCheck = 3;

constexpr const char* kExitCodeHelp =
    "Exit codes: 0 success; 1 a bad command line, or an input file that cannot be read (the message names the "
    "file and the line or element) or a clip that does not fit it; 3 the AnimSet or gait document made fails the "
    "engine's own loaders (nothing is written then).\n";

bool ParseClip(const std::string& kText, TarnImport::SClipSpec& kClip)
{
    // Name:first-last[:loop]
    const size_t uiColon = kText.find(':');
    if (uiColon == std::string::npos || uiColon == 0)
        return false;
    kClip.kName = kText.substr(0, uiColon);
    std::string kRange = kText.substr(uiColon + 1);
    kClip.bLoop = false;
    kClip.bStraight = false;
    kClip.bInPlace = false;
    // Flags after the range: loop, straight.
    for (size_t uiFlag = kRange.rfind(':'); uiFlag != std::string::npos; uiFlag = kRange.rfind(':'))
    {
        const std::string kFlag = kRange.substr(uiFlag + 1);
        if (kFlag == "loop")
            kClip.bLoop = true;
        else if (kFlag == "straight")
            kClip.bStraight = true;
        else if (kFlag == "inplace")
            kClip.bInPlace = true;
        else
            return false;
        kRange = kRange.substr(0, uiFlag);
    }
    unsigned uiFirst = 0, uiLast = 0;
    char cEnd = 0;
    if (sscanf(kRange.c_str(), "%u-%u%c", &uiFirst, &uiLast, &cEnd) != 2)
        return false;
    kClip.uiFirst = uiFirst;
    kClip.uiLast = uiLast;
    return uiLast > uiFirst;
}

bool ParseTurn(const std::string& kText, TarnImport::STurnSpec& kTurn)
{
    // Name:degrees:frames[:from]
    std::vector<std::string> kParts;
    std::stringstream kIn(kText);
    for (std::string kPart; std::getline(kIn, kPart, ':');)
        kParts.push_back(kPart);
    if (kParts.size() < 3 || kParts.size() > 4 || kParts[0].empty())
        return false;
    kTurn.kName = kParts[0];
    char* pEnd = nullptr;
    kTurn.dDegrees = strtod(kParts[1].c_str(), &pEnd);
    if (*pEnd || kParts[1].empty() || !(std::fabs(kTurn.dDegrees) >= 1.0 && std::fabs(kTurn.dDegrees) <= 720.0))
        return false;
    const unsigned long ulFrames = strtoul(kParts[2].c_str(), &pEnd, 10);
    if (*pEnd || kParts[2].empty() || ulFrames < 2 || ulFrames > 10000)
        return false;
    kTurn.uiFrames = static_cast<uint32_t>(ulFrames);
    if (kParts.size() == 4)
        kTurn.kFrom = kParts[3];
    // A turn named for a side turns that way.
    if (kTurn.kName.find("Right") != std::string::npos && kTurn.dDegrees > 0.0)
        kTurn.dDegrees = -kTurn.dDegrees;
    return true;
}

bool ParseAxis(const std::string& kText, TarnImport::SVec3& kAxis)
{
    std::string k = kText;
    double dSign = 1.0;
    if (!k.empty() && (k[0] == '-' || k[0] == '+'))
    {
        dSign = k[0] == '-' ? -1.0 : 1.0;
        k = k.substr(1);
    }
    if (k == "X" || k == "x")
        kAxis = {dSign, 0.0, 0.0};
    else if (k == "Y" || k == "y")
        kAxis = {0.0, dSign, 0.0};
    else if (k == "Z" || k == "z")
        kAxis = {0.0, 0.0, dSign};
    else
        return false;
    return true;
}

// Writes through a temporary file beside the target, renamed over it once
// whole, so that a failure leaves no partial file.
bool WriteWhole(const std::string& kPath, const std::string& kText)
{
    const std::string kTemporary = kPath + ".part" + std::to_string(getpid());
    {
        std::ofstream kOut(kTemporary, std::ios::binary);
        kOut << kText;
        if (!kOut.flush())
        {
            remove(kTemporary.c_str());
            return false;
        }
    }
    if (rename(kTemporary.c_str(), kPath.c_str()) != 0)
    {
        remove(kTemporary.c_str());
        return false;
    }
    return true;
}

std::string BaseName(const std::string& kPath)
{
    const size_t uiSlash = kPath.find_last_of('/');
    std::string kName = uiSlash == std::string::npos ? kPath : kPath.substr(uiSlash + 1);
    const size_t uiDot = kName.find('.');
    return uiDot == std::string::npos || uiDot == 0 ? kName : kName.substr(0, uiDot);
}

struct SCommandLine
{
    std::string kInput;
    std::string kOut;
    std::string kGaitOut;
    std::string kName;
    std::vector<std::string> kClips;
    std::string kClipFile;
    std::vector<std::string> kTurns;
    std::string kFeet;
    std::string kUp;
    std::string kForward;
    double dScale = 0.0;
    bool bQuiet = false;
    TarnImport::SImportOptions kOptions;
};

int Run(const SCommandLine& kLine)
{
    const auto Fail = [](int iCode, const std::string& kMessage) {
        fprintf(stderr, "tarn-import: %s\n", kMessage.c_str());
        return iCode;
    };
    std::vector<TarnImport::SClipSpec> kClips;
    std::vector<std::string> kClipTexts = kLine.kClips;
    if (!kLine.kClipFile.empty())
    {
        std::ifstream kIn(kLine.kClipFile);
        if (!kIn)
            return Fail(kExitInput, kLine.kClipFile + ": cannot be read");
        int iLine = 0;
        for (std::string kText; std::getline(kIn, kText);)
        {
            ++iLine;
            const size_t uiHash = kText.find('#');
            kText = kText.substr(0, uiHash);
            kText.erase(0, kText.find_first_not_of(" \t\r"));
            kText.erase(kText.find_last_not_of(" \t\r") + 1);
            if (kText.empty())
                continue;
            TarnImport::SClipSpec kClip;
            if (!ParseClip(kText, kClip))
                return Fail(kExitInput, kLine.kClipFile + ":" + std::to_string(iLine) + ": \"" + kText +
                                            "\" is not a clip NAME:FIRST-LAST[:loop][:straight|:inplace]");
            kClips.push_back(kClip);
        }
    }
    for (const std::string& kText : kClipTexts)
    {
        TarnImport::SClipSpec kClip;
        if (!ParseClip(kText, kClip))
            return Fail(kExitInput, "--clip \"" + kText + "\" is not NAME:FIRST-LAST[:loop][:straight|:inplace]");
        kClips.push_back(kClip);
    }
    std::vector<TarnImport::STurnSpec> kTurns;
    for (const std::string& kText : kLine.kTurns)
    {
        TarnImport::STurnSpec kTurn;
        if (!ParseTurn(kText, kTurn))
            return Fail(kExitInput, "--synth-turn \"" + kText +
                                        "\" is not NAME:DEGREES:FRAMES[:FROM] (1 to 720 degrees, 2 to 10000 frames)");
        kTurns.push_back(kTurn);
    }
    TarnImport::SImportOptions kOptions = kLine.kOptions;
    if (!kLine.kFeet.empty())
    {
        std::stringstream kIn(kLine.kFeet);
        for (std::string kFoot; std::getline(kIn, kFoot, ',');)
            if (!kFoot.empty())
                kOptions.kFeet.push_back(kFoot);
    }

    if (!kLine.bQuiet)
        fprintf(stderr, "tarn-import: reading %s\n", kLine.kInput.c_str());
    TarnImport::CSourceMotion kSource;
    std::string kError;
    if (!kSource.Load(kLine.kInput, kError))
        return Fail(kExitInput, kError);
    TarnImport::SAxes kAxes = kSource.DetectAxes();
    if (kLine.dScale > 0.0)
    {
        kAxes.dScale = kLine.dScale;
        kAxes.kScaleFrom = "--scale";
    }
    if (!kLine.kUp.empty() && !ParseAxis(kLine.kUp, kAxes.kUp))
        return Fail(kExitInput, "--up \"" + kLine.kUp + "\" is not an axis (X, Y, Z, -X, -Y or -Z)");
    if (!kLine.kForward.empty() && !ParseAxis(kLine.kForward, kAxes.kForward))
        return Fail(kExitInput, "--forward \"" + kLine.kForward + "\" is not an axis (X, Y, Z, -X, -Y or -Z)");
    if (!kLine.kUp.empty() || !kLine.kForward.empty())
        kAxes.kAxesFrom = "--up/--forward";
    if (std::fabs(TarnImport::Dot(kAxes.kUp, kAxes.kForward)) > 0.99)
        return Fail(kExitInput, "the up and forward axes are the same axis");
    if (!kLine.bQuiet)
        fprintf(stderr, "tarn-import: %s: %zu joints, %u frames at %.4g per second; 1 unit = %.5g m (%s); axes: %s\n",
                kSource.GetFormat().c_str(), kSource.GetJoints().size(), kSource.GetFrameCount(),
                kSource.GetFrameRate(), kAxes.dScale, kAxes.kScaleFrom.c_str(), kAxes.kAxesFrom.c_str());
    if (kClips.empty())
    {
        if (kSource.GetFrameCount() < kOptions.uiSkip + 2)
            return Fail(kExitInput, kLine.kInput + ": " + std::to_string(kSource.GetFrameCount()) +
                                        " frames, too few to make a clip after --skip");
        kClips.push_back({"Take", kOptions.uiSkip, kSource.GetFrameCount() - 1, false});
    }

    TarnImport::CImporter kImporter(kSource, kAxes, kOptions);
    if (!kLine.bQuiet && isatty(STDERR_FILENO))
        kImporter.m_kProgress = [](double dDone) {
            fprintf(stderr, "\rtarn-import: sampling %3.0f%%", dDone * 100.0);
            if (dDone >= 1.0)
                fprintf(stderr, "\n");
        };
    TarnImport::SAnimSetData kData;
    const std::string kName = kLine.kName.empty() ? BaseName(kLine.kOut) : kLine.kName;
    if (!kImporter.Run(kName, kClips, kTurns, kData, kError))
        return Fail(kExitInput, kLine.kInput + ": " + kError);
    for (const TarnImport::SClip& kClip : kData.kClips)
    {
        if (kLine.bQuiet)
            break;
        fprintf(stderr, "tarn-import: clip %s: %zu frames at %.4g per second, root motion %.3f m, turn %.1f degrees",
                kClip.kName.c_str(), kClip.kFrames.size(), kClip.dFrameRate, kClip.dTravel, kClip.dTurnDegrees);
        for (size_t f = 0; f < kClip.kContacts.size(); ++f)
        {
            fprintf(stderr, f == 0 ? "; contacts %s" : ", %s", kOptions.kFeet[f].c_str());
            for (const uint32_t uiFrame : kClip.kContacts[f])
                fprintf(stderr, " %u", uiFrame);
        }
        fprintf(stderr, "\n");
        if (kClip.bLoop)
            fprintf(stderr, "tarn-import: clip %s: loop ends differ by %.1f degrees and %.1f cm%s\n",
                    kClip.kName.c_str(), kClip.dLoopDegrees, kClip.dLoopMetres * 100.0,
                    kClip.bMadeSeamless ? ", spread over the clip to make it seamless"
                                        : ": too far apart to be joined, the loop will jump (cut it elsewhere)");
    }

    // What is written must load: the engine's own loaders check it first.
    const std::string kComment = "made by tarn-import from " + BaseName(kLine.kInput);
    const std::string kAnimSet = TarnImport::WriteAnimSet(kData, kComment);
    Common::CInputErrors kErrors;
    TarnAnim::Mocap* pMocap =
        TarnAnim::AnimSetLoader::LoadText(kAnimSet.data(), kAnimSet.size(), BaseName(kLine.kOut).c_str(), kErrors);
    if (!pMocap)
        return Fail(kExitCheck, std::string("the AnimSet made is refused by the loader: ") + kErrors.GetText());
    TARN_DELETE(pMocap);
    std::string kGait;
    if (!kLine.kGaitOut.empty())
    {
        kGait = TarnImport::WriteGaitDraft(kData);
        GaitPlugin::ParamGait kParam;
        Common::CInputErrors kGaitErrors;
        if (!GaitPlugin::GaitSerializer::LoadFromText(kGait.data(), kGait.size(), kParam, &kGaitErrors))
            return Fail(kExitCheck, std::string("the gait document made is refused: ") + kGaitErrors.GetText());
    }
    if (!WriteWhole(kLine.kOut, kAnimSet))
        return Fail(kExitInput, kLine.kOut + ": cannot be written");
    if (!kLine.kGaitOut.empty() && !WriteWhole(kLine.kGaitOut, kGait))
    {
        remove(kLine.kOut.c_str());
        return Fail(kExitInput, kLine.kGaitOut + ": cannot be written");
    }
    if (!kLine.bQuiet)
        fprintf(stderr, "tarn-import: wrote %s (%zu channels, %zu clips, %zu bytes)%s%s\n", kLine.kOut.c_str(),
                kData.kChannels.size(), kData.kClips.size(), kAnimSet.size(), kLine.kGaitOut.empty() ? "" : " and ",
                kLine.kGaitOut.c_str());
    return kExitOk;
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    CLI::App kApp{"tarn-import: turns a motion file (BVH motion capture, glTF 2.0, FBX, and the other formats the "
                  "Open Asset Import Library reads) into an AnimSet: the skeleton's joints as channels, in metres "
                  "with Z up and X forward, clips cut and resampled, the root joint's travel and turn moved to the "
                  "root-motion channel. With --feet it finds the foot contacts of each clip, and --gait-out writes "
                  "a draft gait document binding the clips named after movements. See docs/import.md.",
                  "tarn-import"};
    kApp.footer(kExitCodeHelp);
    kApp.failure_message([](const CLI::App* pApp, const CLI::Error& kError) {
        return "tarn-import: " + CLI::FailureMessage::simple(pApp, kError);
    });
    kApp.set_version_flag("--version", std::string("tarn-import ") + TARN_VERSION);
    SCommandLine kLine;
    kApp.add_option("input", kLine.kInput, "The motion file")->required();
    kApp.add_option("-o,--out", kLine.kOut, "The AnimSet to write (NAME.animset.json)")->required();
    kApp.add_option("--name", kLine.kName, "The AnimSet's name (default: the output file's name)");
    kApp.add_option(
        "--clip", kLine.kClips,
        "A clip NAME:FIRST-LAST[:loop][:straight|:inplace] of source frames (counted from 0 in the file); loop: it "
        "loops "
        "(its ends are joined when they nearly match); straight: its net turn is taken out; inplace: its net turn "
        "and travel. Repeat it. "
        "Without clips the whole take (after --skip) is one clip, Take");
    kApp.add_option("--clips", kLine.kClipFile,
                    "A file of clips, one NAME:FIRST-LAST[:loop][:straight|:inplace] per line (# comments)");
    kApp.add_option("--fps", kLine.kOptions.dFps, "Frames per second of the clips written")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 240.0));
    kApp.add_option("--skip", kLine.kOptions.uiSkip,
                    "Source frames at the start that are not motion (the reference pose many motion-capture "
                    "conversions put on frame 0); clips may not include them")
        ->capture_default_str();
    kApp.add_option("--scale", kLine.dScale,
                    "Metres per source unit (default: the file's unit, metres for glTF, else estimated from the "
                    "hip height)")
        ->check(CLI::PositiveNumber);
    kApp.add_option("--up", kLine.kUp, "The source's up axis: X, Y, Z, -X, -Y or -Z (default: the file's, else Y)");
    kApp.add_option("--forward", kLine.kForward,
                    "Where the character faces in the source: X, Y, Z, -X, -Y or -Z (default: from the hips' "
                    "left and right joints, else the file's front axis, else Z)");
    kApp.add_option("--smooth", kLine.kOptions.dSmoothSeconds,
                    "Seconds over which the root motion's path and heading are smoothed (0: none)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 5.0));
    kApp.add_option("--feet", kLine.kFeet, "The foot joints, left first (LeftFoot,RightFoot): finds foot contacts");
    kApp.add_option("--contact-height", kLine.kOptions.dContactHeight,
                    "A foot is on the floor within this many metres of its lowest point...")
        ->capture_default_str();
    kApp.add_option("--contact-speed", kLine.kOptions.dContactSpeed, "... and moving slower than this, in m/s")
        ->capture_default_str();
    kApp.add_option("--gait-out", kLine.kGaitOut,
                    "Also write a draft gait document (clips named after movements are bound; contacts become "
                    "foot-on-floor frames and synchronise starts and stops)");
    kApp.add_option("--synth-turn", kLine.kTurns,
                    "Make a turn in place NAME:DEGREES:FRAMES[:FROM] from the first pose of clip FROM (default "
                    "Idle); a name with Right turns right. Repeat it");
    kApp.add_flag("-q,--quiet", kLine.bQuiet, "Print only errors");
    try
    {
        kApp.parse(iArgc, ppArgv);
    }
    catch (const CLI::ParseError& kParseError)
    {
        return kApp.exit(kParseError) == 0 ? kExitOk : kExitInput;
    }
    // The engine's log (the loaders' lines, the memory manager's closing
    // report) only for problems.
    Common::CDebugLog::SetLevel(Common::CDebugLog::ELevel::Warn);
    const int iExit = Run(kLine);
    const uint32 uiLeaks = Common::Mem::CMemoryManager::DestroyInstance();
    if (uiLeaks != 0)
        fprintf(stderr, "tarn-import: %u blocks of engine memory leaked\n", uiLeaks);
    return iExit;
}
