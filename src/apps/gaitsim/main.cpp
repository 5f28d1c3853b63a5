// gait-sim: runs the engine in this process on scenario files (timelines of
// Gait component calls) and writes, per scenario, a CSV of every step and
// an SVG page of plots.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "Report.h"
#include "Scenario.h"
#include "Simulation.h"
#include "System/MemoryManager/MemoryManager.h"
#include "shared/AppPaths.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a scenario refused, a run or a file that failed, no data folder
constexpr int kExitUsage = 2;   // the command line could not be read
constexpr int kExitLeak = 3;    // engine memory still allocated at the end

// Runs longer than this many character steps show a progress line.
constexpr double kProgressThreshold = 20000.0;

// kExitOk on success; prints what went wrong and gives kExitFailed otherwise.
int RunOne(const std::string& kFile, const std::string& kData, const std::string& kOut, bool bQuiet)
{
    GaitSim::SScenario kScenario;
    std::string kError;
    if (!GaitSim::LoadScenario(kFile, kScenario, kError))
    {
        fprintf(stderr, "gait-sim: %s\n", kError.c_str());
        return kExitFailed;
    }
    const double dWork = kScenario.dDuration * 1000.0 / kScenario.uiStepMs * kScenario.uiCharacters;
    const bool bProgress = !bQuiet && dWork > kProgressThreshold;
    GaitSim::SRun kRun;
    const bool bRan = GaitSim::RunScenario(kScenario, kData, kRun, kError, [&](double dDone) {
        if (bProgress)
            fprintf(stderr, "\rgait-sim: %s %3.0f%%", kScenario.kName.c_str(), dDone * 100.0);
    });
    if (bProgress)
        fprintf(stderr, "\n");
    if (!bRan)
    {
        fprintf(stderr, "gait-sim: %s: %s\n", kFile.c_str(), kError.c_str());
        return kExitFailed;
    }
    const std::string kBase = kOut + "/" + kScenario.kName;
    if (!GaitSim::WriteCsv(kRun, kBase + ".csv", kError) || !GaitSim::WriteSvg(kScenario, kRun, kBase + ".svg", kError))
    {
        fprintf(stderr, "gait-sim: %s\n", kError.c_str());
        return kExitFailed;
    }
    if (!bQuiet)
        printf("gait-sim: %s: %zu steps of %u character(s) -> %s.csv, %s.svg\n", kScenario.kName.c_str(),
               kRun.kSamples.size() / (kRun.uiCharacters ? kRun.uiCharacters : 1), kRun.uiCharacters, kBase.c_str(),
               kBase.c_str());
    return kExitOk;
}

}  // namespace

int main(int iArgc, char** ppArgv)
{
    CLI::App kApp{"gait-sim: runs the engine in this process on scenario files and writes, for each, a CSV of "
                  "every step (time, position, heading, requested heading and speed, current movement, control "
                  "weights, events) and an SVG page of plots (the paths seen from above, headings, the movement "
                  "each character plays and its control weights over time). A scenario is a JSON file: "
                  "{\"Prefab\": \"demo/biped.prefab.json\", \"Characters\": 1, \"Spacing\": 2, \"Duration\": 8, "
                  "\"StepMs\": 16, \"Seed\": 1, \"Timeline\": [{\"At\": 0, \"Call\": \"Activate\", \"Arg\": "
                  "true}, {\"At\": 0.5, \"Call\": \"SetSpeed\", \"Arg\": 1.0}, {\"At\": 3, \"Call\": "
                  "\"SetRotation\", \"Arg\": 90}, ...]}; calls are Activate, SetSpeed, SetRotation (a heading in "
                  "degrees, positive to the left, or a quaternion), Reset and ReloadFromJson (a gait document); "
                  "\"Character\": N limits a call to one character. Exit code 0 success, 1 a scenario refused or "
                  "failed, 2 bad command line, 3 engine memory left at exit. docs/gait-sim.md describes the "
                  "scenario and CSV formats; data/demo/scenarios has examples.",
                  "gait-sim"};
    kApp.set_version_flag("--version", std::string("gait-sim ") + TARN_VERSION);
    std::vector<std::string> kFiles;
    std::string kOut = ".";
    std::string kData;
    bool bQuiet = false;
    kApp.add_option("scenarios", kFiles, "Scenario files")->required()->check(CLI::ExistingFile);
    kApp.add_option("--out", kOut, "Folder for the CSV and SVG files")->capture_default_str();
    kApp.add_option("--data", kData,
                    "Data folder (default: data beside the executable, the installed "
                    "share/tarn/data, else the source tree's data)");
    kApp.add_flag("--quiet", bQuiet, "No summary and no progress line");
    try
    {
        kApp.parse(iArgc, ppArgv);
    }
    catch (const CLI::ParseError& kParseError)
    {
        // --help and --version end here too, with CLI11's code 0.
        return kApp.exit(kParseError) == 0 ? kExitOk : kExitUsage;
    }

    if (kData.empty())
        kData = TarnApp::DefaultDataDirectory();
    if (!TarnApp::IsDirectory(kData))
    {
        fprintf(stderr, "gait-sim: the data folder %s does not exist\n", kData.c_str());
        return kExitFailed;
    }
    if (!TarnApp::IsDirectory(kOut) && mkdir(kOut.c_str(), 0755) != 0)
    {
        fprintf(stderr, "gait-sim: cannot create the output folder %s\n", kOut.c_str());
        return kExitFailed;
    }
    int iExit = kExitOk;
    for (const std::string& kFile : kFiles)
        if (RunOne(kFile, kData, kOut, bQuiet) != kExitOk)
            iExit = kExitFailed;

    // The memory manager's report goes to standard error with the log.
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    if (Common::Mem::CMemoryManager::DestroyInstance() != 0)
        return kExitLeak;
    return iExit;
}
