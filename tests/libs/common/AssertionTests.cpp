#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Utils/assertion.h"
#include "Utils/debuglog.h"
#include "support/ReportCapture.h"

TEST(Assert, ReportTextAndValue)
{
    TestSupport::CAssertCapture kAsserts;
    int x = 2;
    EXPECT_FALSE(TARN_ASSERT(x > 3, "value %d", x));
    EXPECT_TRUE(TARN_ASSERT(x < 3, "value %d", x));
    bool bInitialized = false;
    EXPECT_FALSE(TARN_ASSERT_TEXT(bInitialized, "initialized", "no %s", "seed"));
    EXPECT_EQ(kAsserts.Texts(), (std::vector<std::string>{"Assertion \"x > 3\" failed. value 2",
                                                          "Assertion \"initialized\" failed. no seed"}));
    // The condition is evaluated once, whatever its outcome.
    int iCalls = 0;
    EXPECT_FALSE(TARN_ASSERT(++iCalls == 5, "calls"));
    EXPECT_TRUE(TARN_ASSERT(++iCalls == 2, "calls"));
    EXPECT_EQ(iCalls, 2);
    // An explanation longer than a log line is cut, not overflowed.
    kAsserts.Clear();
    const std::string kLong(5000, 'e');
    TARN_ASSERT(x == 0, "%s", kLong.c_str());
    const std::string kPrefix = "Assertion \"x == 0\" failed. ";
    EXPECT_EQ(kAsserts.Texts(),
              std::vector<std::string>{kPrefix + kLong.substr(0, Common::CDebugLog::BufferSize - 1 - kPrefix.size())});
}

TEST(Assert, DefaultHandlerPrintsLocationAndText)
{
    void* pOldUser = nullptr;
    Common::AssertHandler pOld = Common::SetAssertHandler(nullptr, nullptr, &pOldUser);
    TestSupport::CLogCapture kLog;
    int iCount = 1;
    const int iLine = __LINE__ + 1;
    TARN_ASSERT(iCount + 1 == 3, "count is %d", iCount);
    Common::SetAssertHandler(pOld, pOldUser);
    EXPECT_EQ(kLog.Lines(), std::vector<std::string>{std::string(__FILE__) + "(" + std::to_string(iLine) +
                                                     ") : Assertion \"iCount + 1 == 3\" failed. count is 1"});
}
