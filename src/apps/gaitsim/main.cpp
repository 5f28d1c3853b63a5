// gait-sim: runs the engine in this process on scenario files (timelines of
// Gait component calls) and writes, per scenario, a CSV of every step and
// an SVG page of plots.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Report.h"
#include "Scenario.h"
#include "Simulation.h"
#include "System/MemoryManager/MemoryManager.h"
#include "shared/AppPaths.h"

namespace {

// The exit codes of the programs (tarn-rpc, tarn-host): 0 success, 1 usage
// or input error, 2 connection, 3 error reply (here: the engine left memory
// allocated), 4 timeout.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a bad command line, a scenario refused, a run or a file that failed, no data folder
constexpr int kExitLeak = 3;    // engine memory still allocated at the end

// Runs longer than this many character steps show a progress line.
constexpr double kProgressThreshold = 20000.0;

// kExitOk on success; prints what went wrong and gives kExitFailed otherwise.
int RunOne(const std::string& kFile, const std::string& kData, const std::string& kOut, bool bQuiet, FILE* pSummary)
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
        fprintf(pSummary, "gait-sim: %s: %zu steps of %u character(s) -> %s.csv, %s.svg\n", kScenario.kName.c_str(),
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
                  "\"Character\": N limits a call to one character. Exit code 0 success, 1 usage or input error (a "
                  "bad command line, a scenario missing, refused or failed, a file that cannot be written), 3 "
                  "engine memory left at exit. docs/gait-sim.md describes the scenario and CSV formats; "
                  "data/demo/scenarios has examples.",
                  "gait-sim"};
    kApp.failure_message([](const CLI::App* pApp, const CLI::Error& kError) {
        return "gait-sim: " + CLI::FailureMessage::simple(pApp, kError);
    });
    kApp.set_version_flag("--version", std::string("gait-sim ") + TARN_VERSION);
    std::vector<std::string> kFiles;
    std::string kOut = ".";
    std::string kData;
    bool bQuiet = false;
    // A missing file is reported when its turn comes, like a refused one (a
    // check here would be made before an unknown option is reported).
    kApp.add_option("scenarios", kFiles, "Scenario files")->required();
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
        return kApp.exit(kParseError) == 0 ? kExitOk : kExitFailed;
    }

    // The engine logs to the standard output, which holds the summaries: the
    // summaries get a stream of their own on it, and the engine's log goes
    // to the standard error with the other messages (so does the memory
    // manager's closing report).
    fflush(stdout);
    const int iSummaryFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    FILE* pSummary = iSummaryFd >= 0 ? fdopen(iSummaryFd, "w") : nullptr;
    if (pSummary && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0)
        setvbuf(pSummary, nullptr, _IOLBF, 0);
    else
    {
        if (pSummary)
            fclose(pSummary);
        else if (iSummaryFd >= 0)
            close(iSummaryFd);
        pSummary = stdout;
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
        if (RunOne(kFile, kData, kOut, bQuiet, pSummary) != kExitOk)
            iExit = kExitFailed;

    if (pSummary != stdout)
        fclose(pSummary);
    if (Common::Mem::CMemoryManager::DestroyInstance() != 0)
        return kExitLeak;
    return iExit;
}
