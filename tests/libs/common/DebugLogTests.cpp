#include <cstdlib>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TempFolder.h"
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
    EXPECT_EQ(TestSupport::ReadTextFile(kFile),
              "first line\nsecond line ends with a newline\n" + kCut + "\n" + kCut + "\n");
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
