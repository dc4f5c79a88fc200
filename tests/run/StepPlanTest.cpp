// The steps of a run worked out from a table of steps, the installed version and the journal a step
// cut short leaves in the installation: where they start, where they end, and why.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "run/StepPlan.h"

using namespace ZelkPatch;

namespace
{
struct PlanCase
{
    const char *name;
    std::map<std::string, std::string> steps; // source -> target
    std::string installed;
    std::string final;
    std::string journal; // the journal's text; none when empty
    bool resumed;        // the journal's step comes first
    std::string start;
    std::vector<std::string> taken; // "source>target"
    StepChainEnd end;
    std::string endVersion;
    std::string stepBack; // with LeadsBack
};

const std::map<std::string, std::string> kChain = {{"100", "101"}, {"101", "102"}, {"102", "103"}};

const PlanCase kCases[] = {
    {"to the final version", kChain, "100", "102", "", false, "100", {"100>101", "101>102"}, StepChainEnd::ReachedFinal, "102", ""},
    {"already there", kChain, "102", "102", "", false, "102", {}, StepChainEnd::ReachedFinal, "102", ""},
    {"as far as the steps lead", kChain, "101", "", "", false, "101", {"101>102", "102>103"}, StepChainEnd::NoStep, "103", ""},
    {"no step from the installed version", kChain, "99", "102", "", false, "99", {}, StepChainEnd::NoStep, "99", ""},
    {"a step back to the start", {{"100", "101"}, {"101", "100"}}, "100", "102", "", false, "100", {"100>101"},
     StepChainEnd::LeadsBack, "101", "101>100"},
    {"a step back further on", {{"100", "101"}, {"101", "102"}, {"102", "101"}}, "100", "", "", false, "100",
     {"100>101", "101>102"}, StepChainEnd::LeadsBack, "102", "102>101"},
    {"a step to itself", {{"100", "100"}}, "100", "102", "", false, "100", {}, StepChainEnd::LeadsBack, "100", "100>100"},
    // The final version ends the steps before the step back is reached.
    {"a step back beyond the final version", {{"100", "101"}, {"101", "100"}}, "100", "101", "", false, "100", {"100>101"},
     StepChainEnd::ReachedFinal, "101", ""},
    // The journal's step comes first, whatever the installed version says.
    {"a journal", kChain, "100", "103", "source=101\ntarget=102\norigin=payload\n", true, "101", {"101>102", "102>103"},
     StepChainEnd::ReachedFinal, "103", ""},
    {"a journal at the installed version", kChain, "101", "103", "source=101\ntarget=102\n", true, "101",
     {"101>102", "102>103"}, StepChainEnd::ReachedFinal, "103", ""},
    // A journal these steps cannot finish leaves the start to the installed version.
    {"a journal of another chain", kChain, "100", "102", "source=55\ntarget=56\n", false, "100", {"100>101", "101>102"},
     StepChainEnd::ReachedFinal, "102", ""},
    {"an empty journal", kChain, "100", "101", "source=\n", false, "100", {"100>101"}, StepChainEnd::ReachedFinal, "101", ""},
};

class StepPlanTest : public testing::TestWithParam<PlanCase>
{
};

std::string Text(const PlannedStep &step)
{
    return step.source + ">" + step.target;
}

TEST_P(StepPlanTest, FollowsTheStepsFromTheJournalOrTheInstalledVersion)
{
    const PlanCase &c = GetParam();
    const testfiles::TempDirectory installation;
    if (!c.journal.empty())
        testfiles::WriteFile(installation.Path() / "patch-journal.txt", c.journal);
    const auto lookup = [&c](const std::string &source, PlannedStep &step) {
        const auto found = c.steps.find(source);
        if (found == c.steps.end())
            return false;
        step.target = found->second;
        step.origin = "table";
        return true;
    };

    const StepPlan plan = StepPlan::Make(lookup, installation.WidePath(), c.installed, c.final);
    EXPECT_EQ(plan.StartVersion(), c.start);
    EXPECT_EQ(plan.Resumed(), c.resumed);
    std::vector<std::string> taken;
    for (const PlannedStep &step : plan.Steps())
    {
        taken.push_back(Text(step));
        EXPECT_EQ(step.origin, "table");
    }
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(plan.End(), c.end);
    EXPECT_EQ(plan.EndVersion(), c.endVersion);
    if (c.end == StepChainEnd::LeadsBack)
    {
        EXPECT_EQ(Text(plan.StepBack()), c.stepBack);
    }
}

INSTANTIATE_TEST_SUITE_P(Chains, StepPlanTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<PlanCase> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });
} // namespace
