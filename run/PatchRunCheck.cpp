// The preflight check: the questions a run asks before it patches, asked in the same order and
// with the same rules, and answered in a report instead of a run. Administrators run it from
// scripts, so it changes nothing: no registry value, no journal, no temporary file, no download
// of a package.
#include <cstdint>
#include <optional>
#include <vector>

#include "kernel/Elevation.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/PatchList.h"
#include "run/PatchRun.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/StepPlan.h"

namespace ZelkPatch
{
namespace
{
constexpr uint64_t kBytesPerMB = 1048576;

struct CheckedStep
{
    std::string source;
    std::string target;
    std::wstring address; // empty for a payload's step
    bool sizeKnown = false;
    uint64_t size = 0;
};

std::wstring Number(uint64_t value)
{
    return NarrowToWide(std::to_string(value));
}

std::wstring YesNo(bool yes)
{
    return yes ? L"yes" : L"no";
}
} // namespace

RunOutcome PatchRun::RunCheck()
{
    const PatchSettings &settings = m_settings;
    RunOutcome outcome;
    outcome.reason = RunEnd::WouldNotGoAhead;
    // The first reason found is the one given; the report still shows everything else.
    std::wstring refusal;
    const auto refuse = [&refusal](const std::wstring &why) {
        if (refusal.empty())
            refusal = why;
    };
    const auto line = [this](const std::wstring &text) { m_observer.Message(MessageNormal, text); };

    line(L"Preflight check (nothing is changed):");
    line(L"Installation: " + settings.InstallPath());
    const bool writable = ProbeInstallWritable(settings.InstallPath());
    const bool elevated = ProcessHasAdminRights();
    line(L"Elevation needed: " + YesNo(!writable && !elevated));
    if (!writable && elevated)
        refuse(L"the installation cannot be changed, not even by an administrator");
    const bool free = CheckProductNotRunning(settings.InstallPath(), m_pause);
    line(L"A product program holds the installation: " + YesNo(!free));
    if (!free)
        refuse(L"a product program holds the installation");

    // The steps a run would take, from the payload or from the list the servers give now.
    std::optional<StepPlan> plan;
    if (settings.RepairMode())
    {
        line(L"Mode: repair");
    }
    else if (settings.LocalMode())
    {
        line(L"Mode: standalone");
        if (!LoadPublisherKey() || !CheckPayloadSignature())
            refuse(L"the payload cannot be trusted");
        plan = StepPlan::ForPayload(m_payload, settings.InstallPath(), settings.CurrentVersion(),
                                    settings.FinalVersion());
    }
    else if (settings.DownloadMode())
    {
        line(L"Mode: download");
        if (!LoadPublisherKey())
        {
            refuse(L"the publisher key cannot be used");
        }
        else
        {
            if (m_publisherKey)
                RequireSignedLists(*m_publisherKey);
            if (!FetchPatchList(settings.PatchServers()))
                refuse(L"no patch server serves a usable patch list");
            else
                line(L"Patch list: " + CurrentServer());
        }
        plan = StepPlan::ForPatchList(*this, settings.InstallPath(), settings.CurrentVersion(),
                                      settings.FinalVersion());
    }
    else
    {
        refuse(L"no patch operation can run");
    }

    const std::string current = plan ? plan->StartVersion() : settings.CurrentVersion();
    if (plan && plan->Resumed() && current != settings.CurrentVersion())
        line(L"A step from " + NarrowToWide(plan->Journal().source) + L" to " +
             NarrowToWide(plan->Journal().target) + L" was cut short by an earlier run; a run finishes it first.");
    line(L"Current version: " + NarrowToWide(current));
    line(L"Target version: " + (settings.FinalVersion().empty() ? std::wstring(L"none given, as far as the steps lead")
                                                                 : NarrowToWide(settings.FinalVersion())));

    // A standalone run whose steps lead back takes none of them.
    const bool runsSteps = plan && !(settings.LocalMode() && plan->End() == StepChainEnd::LeadsBack);
    std::vector<CheckedStep> steps;
    for (const PlannedStep &planned : runsSteps ? plan->Steps() : std::vector<PlannedStep>())
    {
        CheckedStep step;
        step.source = planned.source;
        step.target = planned.target;
        step.sizeKnown = planned.size.has_value();
        step.size = planned.size.value_or(0);
        if (planned.listed)
        {
            const PatchListEntry &entry = *planned.listed;
            step.address = entry.dataUrl;
            if (m_publisherKey && !CheckListedStep(planned.source, entry))
                refuse(L"the patch list does not vouch for the step from " + NarrowToWide(planned.source));
            // The server's answer, checked against what a signed list says.
            const bool announced = QueryFileSize(entry.dataUrl) && ExpectedSize() > 0;
            if (entry.dataSize && announced && ExpectedSize() != *entry.dataSize)
                refuse(L"the server's archive " + entry.dataUrl + L" is " + Number(ExpectedSize()) +
                       L" bytes, the patch list says " + Number(*entry.dataSize));
            if (!step.sizeKnown && announced)
            {
                step.sizeKnown = true;
                step.size = ExpectedSize();
            }
        }
        steps.push_back(step);
    }
    uint64_t archiveBytes = 0;
    bool allSizesKnown = true;
    for (const CheckedStep &step : steps)
    {
        std::wstring text = L"Step: " + NarrowToWide(step.source) + L" to " + NarrowToWide(step.target) + L", " +
                            (step.sizeKnown ? Number(step.size) + L" bytes" : std::wstring(L"size unknown"));
        if (!step.address.empty())
            text += L", " + step.address;
        line(text);
        archiveBytes += step.size;
        allSizesKnown = allSizesKnown && step.sizeKnown;
    }
    if (plan)
    {
        // A standalone run stops short of the target with a failure; a download run ends where
        // the list ends, and fails only when it has nothing to do.
        if (steps.empty() && plan->End() == StepChainEnd::ReachedFinal)
            refuse(L"the installation is already at the target version " + NarrowToWide(current));
        else if (settings.LocalMode() && plan->End() == StepChainEnd::LeadsBack)
            refuse(FormatCatalogueText(kIdStepsLeadBack, NarrowToWide(plan->StepBack().source).c_str(),
                                       NarrowToWide(plan->StepBack().target).c_str()));
        else if (steps.empty())
            refuse(L"no step leads from version " + NarrowToWide(current));
        else if (settings.LocalMode() && plan->End() == StepChainEnd::NoStep)
            refuse(L"the payload has no step from version " + NarrowToWide(plan->EndVersion()));
        const std::wstring unknown = allSizesKnown ? std::wstring() : std::wstring(L" and the steps of unknown size");
        line(L"Bytes to download: " + Number(settings.DownloadMode() ? archiveBytes : 0) +
             (settings.DownloadMode() ? unknown : std::wstring()));

        // The step archives go to the temporary files, the packages' files to the installation;
        // a run requires the same room on both, whatever the steps hold.
        const uint64_t required = static_cast<uint64_t>(kRequiredDiskSpaceMB) * kBytesPerMB;
        const std::wstring temp = NearestExistingDirectory(TempBaseDirectory());
        const std::wstring install = NearestExistingDirectory(settings.InstallPath());
        struct Volume
        {
            std::wstring name;
            std::wstring path;
            std::wstring toWrite;
        };
        std::vector<Volume> volumes;
        const std::wstring archives = Number(archiveBytes) + L" bytes of step archives" + unknown;
        if (SameVolume(temp, install))
            volumes.push_back({L"the temporary files and the installation", install,
                               archives + L", then the packages' files"});
        else
            volumes = {{L"the temporary files", temp, archives + L", then the unpacked packages"},
                       {L"the installation", install, L"the packages' files"}};
        for (const Volume &volume : volumes)
        {
            uint64_t freeBytes = 0;
            const bool known = QueryFreeSpace(volume.path, freeBytes);
            line(L"Volume of " + volume.name + L" (" + volume.path + L"): to write " + volume.toWrite + L"; free " +
                 (known ? Number(freeBytes) + L" bytes" : std::wstring(L"unknown")) + L"; required " +
                 Number(required) + L" bytes");
            if (known && freeBytes < required)
                refuse(L"too little free space on the volume of " + volume.name);
        }
    }

    outcome.completed = refusal.empty();
    if (outcome.completed)
        line(L"Would go ahead: yes");
    else
        m_observer.Message(MessageError, L"Would go ahead: no, " + refusal + L".");
    return outcome;
}
} // namespace ZelkPatch
