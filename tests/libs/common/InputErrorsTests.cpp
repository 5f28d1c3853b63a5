#include <string>
#include <tuple>
#include <utility>
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
    const std::tuple<EForm, uint32, std::vector<std::pair<const char*, const char*>>, std::string> akCases[] = {
        {EForm::FirstProblem, 512, {}, ""},
        {EForm::FirstProblem, 512, kTwo, "walk.animset.json: Sequences[2].Frames[14]: expected 12 channels, found 11"},
        {EForm::FirstProblem, 16, kTwo, "walk.animset.js"},
        {EForm::ProblemLines, 4096, kTwo,
         "Sequences[2].Frames[14]: expected 12 channels, found 11\ndocument: no text\n"},
        {EForm::Assertion, 512, {{"Arg0", "must be a number"}}, "Assertion \"Arg0\" failed. must be a number"},
        {EForm::Assertion, 20, kTwo, "Assertion \"Sequence"},
    };
    for (const auto& [eForm, uiRoom, kProblems, kText] : akCases)
    {
        SCOPED_TRACE(kText);
        CInputErrors kErrors;
        kErrors.Reset("walk.animset.json", eForm, uiRoom);
        for (const auto& [pPath, pProblem] : kProblems)
            EXPECT_TRUE(kErrors.Add(pPath, "%s", pProblem));
        EXPECT_EQ(kErrors.GetText(), kText);
        EXPECT_EQ(kErrors.GetCount(), kProblems.size());
    }
}

// More problems than are kept: every one is counted, the first ones are kept
// in order, and the closing line counts what the lines do not show. Paths
// and problems far longer than their room are cut, never written past it.
TEST(InputErrors, CountsEveryProblemAndKeepsTheFirstUpToTheLimit)
{
    const std::string kLong(5000, 'x');
    // The limit, problems added, length of each path and problem, kept and
    // listed; in the fourth, a fourth line would leave no room for the closing.
    const uint32 kDefault = CInputErrors::kDefaultLimit;
    const std::tuple<uint32, uint32, size_t, uint32, uint32> akCases[] = {
        {3, 5, 8, 3, 3},
        {2, 3, 8, 2, 2},
        {kDefault, 2000, 8, 32, 32},
        {kDefault, 10, 761, 4, 3},
        {kDefault, 40, 5000, 3, 3},
    };
    for (const auto& [uiLimit, uiAdded, uiLength, uiKept, uiListed] : akCases)
    {
        SCOPED_TRACE(uiAdded);
        CInputErrors kErrors(uiLimit);
        kErrors.Reset("document", EForm::ProblemLines);
        const std::string kItem = kLong.substr(0, uiLength);
        for (uint32 uiIdx = 0; uiIdx < uiAdded; ++uiIdx)
            EXPECT_EQ(kErrors.Add(kItem.c_str(), "%u %s", uiIdx, kItem.c_str()), uiIdx < uiKept);
        EXPECT_EQ(kErrors.GetCount(), uiAdded);
        EXPECT_EQ(kErrors.GetKeptCount(), uiKept);
        EXPECT_EQ(kErrors.GetListedCount(), uiListed);
        EXPECT_EQ(std::string(kErrors.GetPath(0)), kItem.substr(0, CInputErrors::kPathCapacity - 1));
        EXPECT_EQ(std::string(kErrors.GetProblem(1)), ("1 " + kItem).substr(0, CInputErrors::kProblemCapacity - 1));
        const std::string kText = kErrors.GetText();
        const uint32 uiRest = uiAdded - uiListed;
        const std::string kClosing = "document: " + std::to_string(uiRest) +
                                     (uiRest == 1 ? " more problem" : " more problems") + " not listed\n";
        ASSERT_LT(kText.size(), CInputErrors::kTextCapacity);
        ASSERT_GE(kText.size(), kClosing.size());
        EXPECT_EQ(kText.substr(kText.size() - kClosing.size()), kClosing);
        EXPECT_EQ(kText.rfind(std::string(kErrors.GetPath(0)) + ": 0 ", 0), 0u);
    }
}
