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
    return LoadMessage(yes ? kIdCheckYes : kIdCheckNo);
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
    const auto text = [](unsigned id) { return LoadMessage(id); };

    line(text(kIdCheckTitle));
    line(FormatCatalogueText(kIdCheckInstallation, settings.InstallPath().c_str()));
    const bool writable = ProbeInstallWritable(Installation());
    const bool elevated = ProcessHasAdminRights();
    line(FormatCatalogueText(kIdCheckElevation, YesNo(!writable && !elevated).c_str()));
    if (!writable && elevated)
        refuse(text(kIdCheckNotWritable));
    const bool free = CheckProductNotRunning(settings.InstallPath(), m_pause);
    line(FormatCatalogueText(kIdCheckProductRunning, YesNo(!free).c_str()));
    if (!free)
        refuse(text(kIdCheckProductHolds));

    // The steps a run would take, from the payload or from the list the servers give now.
    std::optional<StepPlan> plan;
    if (settings.RepairMode())
    {
        line(text(kIdCheckModeRepair));
    }
    else if (settings.LocalMode())
    {
        line(text(kIdCheckModeStandalone));
        if (!LoadPublisherKey() || !CheckPayloadSignature())
            refuse(text(kIdCheckPayloadUntrusted));
        plan = StepPlan::ForPayload(m_payload, Installation(), settings.CurrentVersion(), settings.FinalVersion());
    }
    else if (settings.DownloadMode())
    {
        line(text(kIdCheckModeDownload));
        if (!LoadPublisherKey())
        {
            refuse(text(kIdCheckKeyUnusable));
        }
        else
        {
            if (m_publisherKey)
                RequireSignedLists(*m_publisherKey);
            if (!FetchPatchList(settings.PatchServers()))
                refuse(text(kIdCheckNoList));
            else
                line(FormatCatalogueText(kIdCheckPatchList, CurrentServer().c_str()));
        }
        plan = StepPlan::ForPatchList(*this, Installation(), settings.CurrentVersion(), settings.FinalVersion());
    }
    else
    {
        refuse(text(kIdCheckNoOperation));
    }

    const std::string current = plan ? plan->StartVersion() : settings.CurrentVersion();
    if (plan && plan->Resumed() && current != settings.CurrentVersion())
        line(FormatCatalogueText(kIdCheckResumedStep, NarrowToWide(plan->Journal().source).c_str(),
                                 NarrowToWide(plan->Journal().target).c_str()));
    line(FormatCatalogueText(kIdCheckCurrentVersion, NarrowToWide(current).c_str()));
    const std::wstring target =
        settings.FinalVersion().empty() ? text(kIdCheckNoTarget) : NarrowToWide(settings.FinalVersion());
    line(FormatCatalogueText(kIdCheckTargetVersion, target.c_str()));

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
                refuse(FormatCatalogueText(kIdCheckStepNotVouched, NarrowToWide(planned.source).c_str()));
            // The server's answer, checked against what a signed list says.
            const bool announced = QueryFileSize(entry.dataUrl) && ExpectedSize() > 0;
            if (entry.dataSize && announced && ExpectedSize() != *entry.dataSize)
                refuse(FormatCatalogueText(kIdCheckArchiveSize, entry.dataUrl.c_str(), Number(ExpectedSize()).c_str(),
                                           Number(*entry.dataSize).c_str()));
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
        std::wstring stepLine =
            step.sizeKnown ? FormatCatalogueText(kIdCheckStep, NarrowToWide(step.source).c_str(),
                                                 NarrowToWide(step.target).c_str(), Number(step.size).c_str())
                           : FormatCatalogueText(kIdCheckStepSizeUnknown, NarrowToWide(step.source).c_str(),
                                                 NarrowToWide(step.target).c_str());
        if (!step.address.empty())
            stepLine += L", " + step.address;
        line(stepLine);
        archiveBytes += step.size;
        allSizesKnown = allSizesKnown && step.sizeKnown;
    }
    if (plan)
    {
        // A standalone run stops short of the target with a failure; a download run ends where
        // the list ends, and fails only when it has nothing to do.
        if (steps.empty() && plan->End() == StepChainEnd::ReachedFinal)
            refuse(FormatCatalogueText(kIdCheckAtTarget, NarrowToWide(current).c_str()));
        else if (settings.LocalMode() && plan->End() == StepChainEnd::LeadsBack)
            refuse(FormatCatalogueText(kIdStepsLeadBack, NarrowToWide(plan->StepBack().source).c_str(),
                                       NarrowToWide(plan->StepBack().target).c_str()));
        else if (steps.empty())
            refuse(FormatCatalogueText(kIdCheckNoStepFrom, NarrowToWide(current).c_str()));
        else if (settings.LocalMode() && plan->End() == StepChainEnd::NoStep)
            refuse(FormatCatalogueText(kIdCheckPayloadNoStep, NarrowToWide(plan->EndVersion()).c_str()));
        const bool someUnknown = settings.DownloadMode() && !allSizesKnown;
        line(FormatCatalogueText(someUnknown ? kIdCheckDownloadSomeUnknown : kIdCheckDownload,
                                 Number(settings.DownloadMode() ? archiveBytes : 0).c_str()));

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
        const std::wstring archives = FormatCatalogueText(
            allSizesKnown ? kIdCheckArchiveBytes : kIdCheckArchiveBytesSomeUnknown, Number(archiveBytes).c_str());
        if (SameVolume(temp, install))
            volumes.push_back({text(kIdCheckTempAndInstall), install,
                               FormatCatalogueText(kIdCheckThenPackageFiles, archives.c_str())});
        else
            volumes = {{text(kIdCheckTemp), temp, FormatCatalogueText(kIdCheckThenUnpacked, archives.c_str())},
                       {text(kIdCheckInstall), install, text(kIdCheckPackageFiles)}};
        for (const Volume &volume : volumes)
        {
            uint64_t freeBytes = 0;
            const bool known = QueryFreeSpace(volume.path, freeBytes);
            line(known ? FormatCatalogueText(kIdCheckVolume, volume.name.c_str(), volume.path.c_str(),
                                             volume.toWrite.c_str(), Number(freeBytes).c_str(),
                                             Number(required).c_str())
                       : FormatCatalogueText(kIdCheckVolumeFreeUnknown, volume.name.c_str(), volume.path.c_str(),
                                             volume.toWrite.c_str(), Number(required).c_str()));
            if (known && freeBytes < required)
                refuse(FormatCatalogueText(kIdCheckTooLittleSpace, volume.name.c_str()));
        }
    }

    outcome.completed = refusal.empty();
    if (outcome.completed)
        line(text(kIdCheckGoAhead));
    else
        m_observer.Message(MessageError, FormatCatalogueText(kIdCheckNotGoAhead, refusal.c_str()));
    return outcome;
}
} // namespace ZelkPatch
