#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <semaphore>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TempFolder.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"
#include "support/ReportCapture.h"
#include "support/TextFile.h"

namespace {

using Common::CDebugLog;

// A thread that prints the texts it is given, one at a time, and keeps its
// line buffer until destroyed.
class CPrinterThread
{
public:
    ~CPrinterThread() { Print(""); }
    // Returns once the thread has printed kText (an empty one ends it).
    void Print(const std::string& kText)
    {
        m_kText = kText;
        m_kGo.release();
        m_kDone.acquire();
    }

private:
    std::string m_kText;
    std::binary_semaphore m_kGo{0};
    std::binary_semaphore m_kDone{0};
    std::jthread m_kThread{[this] {
        for (m_kGo.acquire(); !m_kText.empty(); m_kGo.acquire())
        {
            CDebugLog::Print("%s", m_kText.c_str());
            m_kDone.release();
        }
        m_kDone.release();
    }};
};

// A line of the log file: the head's time and level, and the text after it.
struct SFileLine
{
    double dSeconds = 0.0;
    std::string kLevel;
    std::string kText;
};

// The lines of a log file; a line whose head is not the time right-aligned
// in nine characters with three decimals and the level padded to five fails
// the test.
std::vector<SFileLine> ReadLogFile(const std::string& kPath)
{
    static const std::regex s_kHead(R"(^ *(\d+\.\d{3}) (error|warn |info |debug) ([^]*)$)");
    std::vector<SFileLine> kLines;
    std::istringstream kText(TestSupport::ReadTextFile(kPath));
    for (std::string kLine; std::getline(kText, kLine);)
    {
        std::smatch kMatch;
        EXPECT_TRUE(std::regex_match(kLine, kMatch, s_kHead) && kLine.find('.') == 5) << kLine.substr(0, 40);
        if (kMatch.empty())
            continue;
        std::string kLevel = kMatch[2].str();
        kLevel.erase(kLevel.find_last_not_of(' ') + 1);
        kLines.push_back({std::stod(kMatch[1].str()), kLevel, kMatch[3].str()});
    }
    return kLines;
}

std::vector<std::string> Texts(const std::vector<SFileLine>& kLines)
{
    std::vector<std::string> kTexts;
    for (const SFileLine& kLine : kLines)
        kTexts.push_back(kLine.kText);
    return kTexts;
}

}  // namespace

TEST(DebugLog, ThreadBeyondTheBuffersGetsOnlyTheNotice)
{
    TestSupport::CLogCapture kLog;
    std::optional<TestSupport::CDebuggerChannelCapture> kChannel;  // what went out since its last emplace
    const std::vector<std::string> kNotice = {"Increase CDebugLog MaxThread"};
    // This thread owns a buffer from here on; others of the process may own
    // some too, so new threads take the buffers until one is refused.
    CDebugLog::Print("main thread owns a buffer");
    std::vector<std::unique_ptr<CPrinterThread>> kOwners;
    std::unique_ptr<CPrinterThread> pRefused;
    for (uint32 i = 0; i < CDebugLog::MaxThread && !pRefused; ++i)
    {
        auto pThread = std::make_unique<CPrinterThread>();
        const std::string kText = "owner " + std::to_string(i);
        kChannel.emplace();
        pThread->Print(kText);
        (kLog.Has(kText) ? kOwners.emplace_back() : pRefused) = std::move(pThread);
    }
    // With the main thread's buffer, at most MaxThread - 1 others fit.
    ASSERT_TRUE(pRefused) << "more than " << CDebugLog::MaxThread << " threads got a buffer";
    ASSERT_GE(kOwners.size(), 1u);
    EXPECT_EQ(kChannel->Texts(), kNotice);
    // Still refused on a second try, with the notice only.
    kChannel.emplace();
    const size_t uiLines = kLog.Lines().size();
    pRefused->Print("refused again");
    EXPECT_EQ(kChannel->Texts(), kNotice);
    EXPECT_EQ(kLog.Lines().size(), uiLines);
    // A buffer comes back when its thread ends, and its new owner keeps it.
    kOwners.erase(kOwners.begin());
    pRefused->Print("printed after an owner ended");
    EXPECT_TRUE(kLog.Has("printed after an owner ended"));
    kOwners.push_back(std::make_unique<CPrinterThread>());
    kChannel.emplace();
    kOwners.back()->Print("newcomer");
    pRefused->Print("second line of the same thread");
    EXPECT_EQ(kChannel->Texts(), (std::vector<std::string>{kNotice[0], "second line of the same thread"}));
}

// One line per message, cut to the line buffer on any thread, in the file set
// up in a sub-directory of the documents folder.
TEST(DebugLog, LinesAreCutAndWrittenOnePerMessageToTheFileInADocumentsSubDirectory)
{
    CommonTests::STempFolder kRoot;
    const char* pOld = getenv("XDG_DOCUMENTS_DIR");
    const std::string kOld = pOld ? pOld : "";
    setenv("XDG_DOCUMENTS_DIR", kRoot.kPath.c_str(), 1);
    const bool bSetUp = CDebugLog::SetupLogLocation(true, "Tarn\\Logs\\Run", "session.log");
    pOld ? setenv("XDG_DOCUMENTS_DIR", kOld.c_str(), 1) : unsetenv("XDG_DOCUMENTS_DIR");
    ASSERT_TRUE(bSetUp);
    const std::string kFile = kRoot.kPath + "/Tarn/Logs/Run/session.log";
    char acPath[1024];
    CDebugLog::GetLogFilePath(acPath, sizeof(acPath));
    EXPECT_EQ(std::string(acPath), kFile);
    const std::string kLong(5000, 'x');
    CDebugLog::Print("first line");
    CDebugLog::Print("second line ends with a newline\n");
    std::thread([&] { CDebugLog::Print("%s", kLong.c_str()); }).join();
    CDebugLog::Print("%s|%s", kLong.c_str(), "end");
    CDebugLog::SetLogFile(nullptr);
    const std::string kCut = kLong.substr(0, CDebugLog::BufferSize - 1);
    EXPECT_EQ(Texts(ReadLogFile(kFile)),
              (std::vector<std::string>{"first line", "second line ends with a newline", kCut, kCut}));
}

// A line goes out when its level is at most the log's; the file's head names
// its level (an assertion report is an error), and the times never go back.
// Listeners get the text alone.
TEST(DebugLog, LinesAboveTheLevelGoNowhereAndTheFileNamesTheirLevel)
{
    using ELevel = CDebugLog::ELevel;
    const ELevel aeLevels[] = {ELevel::Error, ELevel::Warn, ELevel::Info, ELevel::Debug};
    for (const ELevel eLevel : aeLevels)
    {
        ELevel eParsed = ELevel::Info;
        EXPECT_TRUE(CDebugLog::ParseLevel(CDebugLog::GetLevelName(eLevel), eParsed) && eParsed == eLevel);
    }
    ELevel eUnchanged = ELevel::Debug;
    EXPECT_FALSE(CDebugLog::ParseLevel("Warn", eUnchanged));
    EXPECT_EQ(eUnchanged, ELevel::Debug);

    CommonTests::STempFolder kRoot;
    const std::string kFile = kRoot.kPath + "/levels.log";
    ASSERT_TRUE(CDebugLog::SetLogFile(kFile.c_str()));
    std::vector<std::string> kExpected, kExpectedLevels;
    for (const ELevel eThreshold : aeLevels)
    {
        SCOPED_TRACE(CDebugLog::GetLevelName(eThreshold));
        CDebugLog::SetLevel(eThreshold);
        TestSupport::CLogCapture kLog;
        std::vector<std::string> kShown;
        for (const ELevel eLevel : aeLevels)
        {
            const std::string kText =
                std::string(CDebugLog::GetLevelName(eLevel)) + " line at level " + CDebugLog::GetLevelName(eThreshold);
            CDebugLog::Print(eLevel, "%s", kText.c_str());
            if (eLevel > eThreshold)
                continue;
            kShown.push_back(kText);
            kExpectedLevels.push_back(CDebugLog::GetLevelName(eLevel));
        }
        EXPECT_EQ(kLog.Lines(), kShown);
        kExpected.insert(kExpected.end(), kShown.begin(), kShown.end());
    }
    CDebugLog::SetLevel(ELevel::Info);
    TARN_ASSERT(false, "reported at %s", "error");
    CDebugLog::SetLogFile(nullptr);
    kExpected.push_back(std::string(__FILE__) + "(" + std::to_string(__LINE__ - 2) +
                        ") : Assertion \"false\" failed. reported at error");
    kExpectedLevels.push_back("error");

    const std::vector<SFileLine> kLines = ReadLogFile(kFile);
    EXPECT_EQ(Texts(kLines), kExpected);
    std::vector<std::string> kLevels;
    for (size_t i = 0; i < kLines.size(); ++i)
    {
        kLevels.push_back(kLines[i].kLevel);
        if (i > 0)
        {
            EXPECT_GE(kLines[i].dSeconds, kLines[i - 1].dSeconds);
        }
    }
    EXPECT_EQ(kLevels, kExpectedLevels);
}

TEST(DebugLogThrottle, RepeatedAndExcessLinesOfAThrottledThreadAreCountedNotPrinted)
{
    // Within one second (the scope's end closes the window at once).
    TestSupport::CLogCapture kLog;
    {
        CDebugLog::CThrottleScope kThrottle;
        for (int i = 0; i < 100; ++i)
        {
            CDebugLog::Print("bad request");
            CDebugLog::Print("no such command");
        }
        for (uint32 i = 0; i < 2 * CDebugLog::kThrottleLinesPerSecond; ++i)
            CDebugLog::Print("line %u", i);
    }
    std::vector<std::string> kExpected = {"bad request", "no such command"};
    for (uint32 i = 0; i + 2 < CDebugLog::kThrottleLinesPerSecond; ++i)
        kExpected.push_back("line " + std::to_string(i));
    kExpected.push_back("bad request ... repeated 99 times");
    kExpected.push_back("no such command ... repeated 99 times");
    kExpected.push_back("... " + std::to_string(CDebugLog::kThrottleLinesPerSecond + 2) + " further lines suppressed");
    EXPECT_EQ(kLog.Lines(), kExpected);
    // Outside a scope nothing is held back.
    TestSupport::CLogCapture kPlain;
    for (int i = 0; i < 3; ++i)
        CDebugLog::Print("bad request");
    EXPECT_EQ(kPlain.Lines(), (std::vector<std::string>{"bad request", "bad request", "bad request"}));
}
