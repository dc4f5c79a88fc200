// The one rule by which every chain of patch steps is followed, whether a payload or a patch list
// holds it: each version has at most one step, and the chain is followed from a start version
// until the final version, until no step goes on, or until a step would lead back to a version
// the chain has already reached (taking it would apply the same steps again and again).
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

// Why a chain ends where it does.
enum class StepChainEnd
{
    // At the final version.
    ReachedFinal,
    // Nothing offers a step from the version reached.
    NoStep,
    // The next step leads back to a version already reached.
    LeadsBack,
};

// Step has the text fields source and target; lookup(version, step) fills the step from version
// and returns false when there is none. An empty final is never reached. The steps taken are
// appended to steps; with LeadsBack the step not taken is left in stepBack.
template <typename Step, typename Lookup>
StepChainEnd FollowStepChain(const std::string &start, const std::string &final, Lookup &&lookup,
                             std::vector<Step> &steps, Step &stepBack)
{
    // Every version is reached once at most, so the walk ends whatever the steps hold.
    std::set<std::string> reached{start};
    std::string version = start;
    while (version != final)
    {
        Step step{};
        if (!lookup(version, step))
            return StepChainEnd::NoStep;
        step.source = version;
        if (!reached.insert(step.target).second)
        {
            stepBack = std::move(step);
            return StepChainEnd::LeadsBack;
        }
        version = step.target;
        steps.push_back(std::move(step));
    }
    return StepChainEnd::ReachedFinal;
}
