#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Utils/InputErrors.h"

using Common::CInputErrors;
using EForm = Common::CInputErrors::EForm;

// Each text form, as the loaders and the request checks show it, and its
// cut to the room its owner gives it.
TEST(InputErrors, ComposesEachTextForm)
{
    const std::vector<std::pair<const char*, const char*>> kTwo = {
        {"Sequences[2].Frames[14]", "expected 12 channels, found 11"}, {nullptr, "no text"}};
    const struct
    {
        EForm eForm;
        uint32 uiRoom;
        std::vector<std::pair<const char*, const char*>> kProblems;
        std::string kText;
    } s_akCases[] = {
        {EForm::FirstProblem, 512, {}, ""},
        {EForm::FirstProblem, 512, kTwo, "walk.animset.json: Sequences[2].Frames[14]: expected 12 channels, found 11"},
        {EForm::FirstProblem, 16, kTwo, "walk.animset.js"},
        {EForm::ProblemLines, 4096, kTwo,
         "Sequences[2].Frames[14]: expected 12 channels, found 11\ndocument: no text\n"},
        {EForm::Assertion, 512, {{"Arg0", "argument Arg0 must be a number"}},
         "Assertion \"Arg0\" failed. argument Arg0 must be a number"},
        {EForm::Assertion, 20, kTwo, "Assertion \"Sequence"},
    };
    for (const auto& kCase : s_akCases)
    {
        SCOPED_TRACE(kCase.kText);
        CInputErrors kErrors;
        kErrors.Reset("walk.animset.json", kCase.eForm, kCase.uiRoom);
        for (const auto& [pPath, pProblem] : kCase.kProblems)
            EXPECT_TRUE(kErrors.Add(pPath, "%s", pProblem));
        EXPECT_EQ(kErrors.GetText(), kCase.kText);
        EXPECT_EQ(kErrors.GetCount(), kCase.kProblems.size());
    }

    Common::CMemberPath kPath;
    EXPECT_STREQ(kPath.Get(), "document");
    Common::CMemberPath::CScope kBinds(kPath, "Binds");
    {
        Common::CMemberPath::CScope kIndex(kPath, 3u), kMember(kPath, "NameKeySource");
        EXPECT_STREQ(kPath.Get(), "Binds[3].NameKeySource");
    }
    EXPECT_STREQ(kPath.Get(), "Binds");
}

// More problems than are kept: every one is counted, the first ones are kept
// in order, and the closing line counts what the lines do not show. Paths
// and problems far longer than their room are cut, never written past it.
TEST(InputErrors, CountsEveryProblemAndKeepsTheFirstUpToTheLimit)
{
    const std::string kLong(5000, 'x');
    const struct
    {
        uint32 uiLimit;
        uint32 uiAdded;
        size_t uiLength;  // of each path and problem
        uint32 uiKept;
        uint32 uiListed;
    } s_akCases[] = {
        {3, 5, 8, 3, 3},
        {2, 3, 8, 2, 2},
        {CInputErrors::kDefaultLimit, 2000, 8, 32, 32},
        // The fourth line would leave no room for the closing one.
        {CInputErrors::kDefaultLimit, 10, 761, 4, 3},
        {CInputErrors::kDefaultLimit, 40, 5000, 3, 3},
    };
    for (const auto& kCase : s_akCases)
    {
        SCOPED_TRACE(kCase.uiAdded);
        CInputErrors kErrors(kCase.uiLimit);
        kErrors.Reset("document", EForm::ProblemLines);
        const std::string kItem = kLong.substr(0, kCase.uiLength);
        for (uint32 uiIdx = 0; uiIdx < kCase.uiAdded; ++uiIdx)
            EXPECT_EQ(kErrors.Add(kItem.c_str(), "%u %s", uiIdx, kItem.c_str()), uiIdx < kCase.uiKept);
        EXPECT_EQ(kErrors.GetCount(), kCase.uiAdded);
        EXPECT_EQ(kErrors.GetKeptCount(), kCase.uiKept);
        EXPECT_EQ(kErrors.GetListedCount(), kCase.uiListed);
        EXPECT_EQ(std::string(kErrors.GetPath(0)), kItem.substr(0, CInputErrors::kPathCapacity - 1));
        EXPECT_EQ(std::string(kErrors.GetProblem(1)), ("1 " + kItem).substr(0, CInputErrors::kProblemCapacity - 1));

        const std::string kText = kErrors.GetText();
        const uint32 uiRest = kCase.uiAdded - kCase.uiListed;
        const std::string kClosing = "document: " + std::to_string(uiRest) +
                                     (uiRest == 1 ? " more problem" : " more problems") + " not listed\n";
        ASSERT_LT(kText.size(), CInputErrors::kTextCapacity);
        ASSERT_GE(kText.size(), kClosing.size());
        EXPECT_EQ(kText.substr(kText.size() - kClosing.size()), kClosing);
        EXPECT_EQ(kText.rfind(std::string(kErrors.GetPath(0)) + ": 0 ", 0), 0u);
    }
}
