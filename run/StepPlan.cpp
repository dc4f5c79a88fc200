#include "run/StepPlan.h"

#include "kernel/ConfinedDirectory.h"
#include "kernel/TextConvert.h"

namespace ZelkPatch
{
namespace
{
const char kPayloadOrigin[] = "payload";
} // namespace

StepPlan StepPlan::Make(const StepLookup &lookup, const std::wstring &installPath, const std::string &installedVersion,
                        const std::string &finalVersion)
{
    return Make(lookup, ConfinedDirectory(installPath), installedVersion, finalVersion);
}

StepPlan StepPlan::Make(const StepLookup &lookup, const ConfinedDirectory &installation,
                        const std::string &installedVersion, const std::string &finalVersion)
{
    StepPlan plan;
    plan.m_startVersion = installedVersion;
    PlannedStep step;
    if (ReadStepJournal(installation, plan.m_journal) && lookup(plan.m_journal.source, step))
    {
        plan.m_resumed = true;
        plan.m_startVersion = plan.m_journal.source;
    }

    plan.m_end = FollowStepChain(plan.m_startVersion, finalVersion, lookup, plan.m_steps, plan.m_stepBack);
    plan.m_endVersion = plan.m_steps.empty() ? plan.m_startVersion : plan.m_steps.back().target;
    return plan;
}

StepPlan StepPlan::ForPayload(PatchPayload &payload, const ConfinedDirectory &installation,
                              const std::string &installedVersion, const std::string &finalVersion)
{
    const auto lookup = [&payload](const std::string &source, PlannedStep &step) {
        step.target = payload.NextVersion(source);
        if (step.target.empty())
            return false;
        step.origin = kPayloadOrigin;
        uint64_t size = 0;
        if (payload.StepSize(source, size))
            step.size = size;
        return true;
    };
    return Make(lookup, installation, installedVersion, finalVersion);
}

StepPlan StepPlan::ForPatchList(const PelmoPatchTask &list, const ConfinedDirectory &installation,
                                const std::string &installedVersion, const std::string &finalVersion)
{
    const auto lookup = [&list](const std::string &source, PlannedStep &step) {
        const PatchListEntry *entry = list.FindPatchEntry(source);
        if (entry == nullptr)
            return false;
        step.target = entry->targetVersion;
        step.origin = WideToNarrow(entry->dataUrl);
        step.size = entry->dataSize;
        step.listed = *entry;
        return true;
    };
    return Make(lookup, installation, installedVersion, finalVersion);
}
} // namespace ZelkPatch
