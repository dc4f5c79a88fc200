// The steps a run takes, worked out once from where they come from (the executable's payload or a
// server's patch list), the installation's step journal and its installed version. The standalone
// run, the download run, the preflight check and discovery all read them from here, so the check
// reports what a run does and each of them resumes a step cut short by the same rule.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "patch/PatchPayload.h"
#include "patch/PelmoPatchTask.h"
#include "patch/StepChain.h"
#include "run/StepJournal.h"

namespace ZelkPatch
{
struct PlannedStep
{
    std::string source;
    std::string target;
    // "payload" for a step the executable carries, else the address its archive is fetched from;
    // the journal of the step names it.
    std::string origin;
    // The archive's size when it is known before anything is fetched.
    std::optional<uint64_t> size;
    // A downloaded step's entry in the patch list: its address and what a signed list vouches for.
    std::optional<PatchListEntry> listed;
};

class StepPlan
{
public:
    // The step from a version, or false when there is none.
    using StepLookup = std::function<bool(const std::string &source, PlannedStep &step)>;

    // A journal left in the installation by a step cut short comes first, whatever the installed
    // version says, as long as the steps offer a step from its source; otherwise the steps start
    // at the installed version. From there they follow the chain (FollowStepChain).
    static StepPlan Make(const StepLookup &lookup, const ConfinedDirectory &installation,
                         const std::string &installedVersion, const std::string &finalVersion);
    static StepPlan Make(const StepLookup &lookup, const std::wstring &installPath, const std::string &installedVersion,
                         const std::string &finalVersion);
    static StepPlan ForPayload(PatchPayload &payload, const ConfinedDirectory &installation,
                               const std::string &installedVersion, const std::string &finalVersion);
    static StepPlan ForPatchList(const PelmoPatchTask &list, const ConfinedDirectory &installation,
                                 const std::string &installedVersion, const std::string &finalVersion);

    // The version the first step starts from.
    const std::string &StartVersion() const { return m_startVersion; }
    // True when the journal's step is the first: the start may differ from the installed version.
    bool Resumed() const { return m_resumed; }
    const StepJournal &Journal() const { return m_journal; }
    const std::vector<PlannedStep> &Steps() const { return m_steps; }
    StepChainEnd End() const { return m_end; }
    // The version the steps bring the installation to.
    const std::string &EndVersion() const { return m_endVersion; }
    // With LeadsBack: the step not taken (from EndVersion back to a version reached before).
    const PlannedStep &StepBack() const { return m_stepBack; }

private:
    std::string m_startVersion;
    bool m_resumed = false;
    StepJournal m_journal;
    std::vector<PlannedStep> m_steps;
    StepChainEnd m_end = StepChainEnd::NoStep;
    std::string m_endVersion;
    PlannedStep m_stepBack;
};
} // namespace ZelkPatch
