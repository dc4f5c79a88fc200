#include "run/PatchRun.h"

#include <memory>

#include "kernel/AssetDbIpc.h"
#include "kernel/FileUtil.h"
#include "kernel/LockWait.h"
#include "kernel/ProductFacts.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "patch/PackageArchive.h"
#include "patch/PackageInstall.h"
#include "patch/PublisherTrust.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/StepJournal.h"
#include "run/StepPlan.h"

namespace ZelkPatch
{
PatchRun::PatchRun(const PatchSettings &settings, PatchPayload &payload, RunObserver &observer,
                   const std::atomic<bool> &cancel)
    : m_settings(settings), m_payload(payload), m_observer(observer), m_cancel(cancel)
{
}

void PatchRun::Report(MessageLevel level, const std::string &text)
{
    m_observer.Message(level, NarrowToWide(text));
}

void PatchRun::Report(MessageLevel level, const std::wstring &text)
{
    m_observer.Message(level, text);
}

void PatchRun::MessageHook(MessageLevel level, const std::wstring &text)
{
    m_observer.Message(level, text);
}

void PatchRun::ProgressBeginHook(unsigned steps)
{
    m_progressFraction.store(0.0f);
    m_stepTotal = steps;
    m_stepCount = 0;
    // Each item is stepped once, so a run of N steps fills half the gauge.
    m_observer.GaugeRange(static_cast<int>(2 * steps));
}

bool PatchRun::ProgressStepHook()
{
    if (Cancelled())
        return false;
    ++m_stepCount;
    if (m_stepTotal > 0)
        m_progressFraction.store(static_cast<float>(m_stepCount) / static_cast<float>(m_stepTotal));
    m_observer.GaugeStep();
    return true;
}

RunOutcome PatchRun::Run()
{
    ScopedPatchHooks hooks(*this);
    RunOutcome outcome;
    m_stepsInstalled = 0;
    if (ReportRefusedLink())
    {
        outcome.reason = m_settings.CheckOnly() ? RunEnd::WouldNotGoAhead : RunEnd::Failed;
    }
    else if (m_settings.CheckOnly())
    {
        outcome = RunCheck();
    }
    else if (!CheckInstallWritable(Installation()))
    {
        ReportNotWritable();
        outcome.reason = RunEnd::NotWritable;
    }
    else if (!CheckProductNotRunning(m_settings.InstallPath(), m_pause))
    {
        m_observer.Message(MessageError, LoadMessage(kIdFilesInUse));
        m_observer.AskMessageBox(LoadMessage(kIdFilesInUseText), LoadMessage(kIdFilesInUseCaption),
                                 MessageBoxStyle::Ok);
        outcome.reason = RunEnd::ProductRunning;
    }
    else if (m_settings.RepairMode())
    {
        outcome.completed = RunRepair();
    }
    else if (!CheckDiskSpace(Installation(), kRequiredDiskSpaceMB, m_observer))
    {
        m_observer.Message(MessageError,
                           FormatCatalogueText(kIdDiskSpaceShort, static_cast<int>(kRequiredDiskSpaceMB)));
        outcome.reason = RunEnd::DiskSpaceShort;
    }
    else if (m_settings.LocalMode())
    {
        outcome.completed = RunStandaloneMode();
    }
    else if (m_settings.DownloadMode())
    {
        unsigned stepsApplied = 0;
        outcome.completed = RunDownloadMode(stepsApplied);
    }
    else
    {
        outcome.reason = RunEnd::NoMode;
    }
    if (outcome.completed)
        outcome.reason = RunEnd::Completed;
    else if (outcome.reason == RunEnd::Failed && Cancelled())
        outcome.reason = RunEnd::Cancelled;
    outcome.stepsInstalled = m_stepsInstalled;
    if (!m_settings.CheckOnly())
        m_observer.Message(MessageNormal,
                           LoadMessage(outcome.completed ? kIdPatchingCompleted : kIdPatchingAborted));
    AssetDbIpc::EndExclusive();
    AssetDbIpc::Close();
    return outcome;
}

bool PatchRun::ReportRefusedLink()
{
    if (Installation().RefusedLink().empty())
        return false;
    m_observer.Message(MessageError, FormatCatalogueText(kIdLinkNotTrusted, Installation().RefusedLink().c_str()));
    return true;
}

void PatchRun::ReportIfOutside(const std::wstring &name)
{
    if (errno == kNameLeadsOutside)
        m_observer.Message(MessageError, FormatCatalogueText(kIdLeadsOutside, Installation().PathOf(name).c_str()));
}

bool PatchRun::ReportRegistryLockHeld()
{
    if (LastLockWaitResult() != LockWaitResult::TimedOut)
        return false;
    m_observer.Message(MessageError,
                       FormatCatalogueText(kIdRegistryLockHeld, (RegistryFilePath() + L".lock").c_str(),
                                           static_cast<int>((LockWaitDeadlineMs() + 999) / 1000)));
    return true;
}

void PatchRun::ReportNotWritable()
{
    // A registry lock that another program keeps is no lack of rights; a cancel needs no words.
    if (ReportRegistryLockHeld() || LastLockWaitResult() == LockWaitResult::Cancelled)
        return;
    m_observer.Message(MessageError, LoadMessage(kIdNeedsAdmin));
    m_observer.AskMessageBox(LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption), MessageBoxStyle::Ok);
}

bool PatchRun::LoadPublisherKey()
{
    m_publisherKey.reset();
    const TrustedKey trusted = LoadTrustedKey();
    switch (trusted.state)
    {
    case TrustedKeyState::None:
        return true;
    case TrustedKeyState::Key:
        m_publisherKey = trusted.key;
        return true;
    case TrustedKeyState::Unreadable:
        break;
    }
    m_observer.Message(MessageError,
                       FormatCatalogueText(kIdPublisherKeyUnusable, LoadMessage(trusted.reason).c_str()));
    return false;
}

bool PatchRun::CheckPayloadSignature()
{
    if (!m_publisherKey)
        return true;
    const SignatureVerdict verdict = m_payload.VerifySignature(*m_publisherKey);
    if (verdict == SignatureVerdict::Good)
        return true;
    m_observer.Message(MessageError,
                       FormatCatalogueText(kIdPayloadRefused, LoadMessage(SignatureVerdictTextId(verdict)).c_str()));
    return false;
}

bool PatchRun::RunStandaloneMode()
{
    // Nothing of a payload the publisher did not sign is copied, not even the first step.
    if (!LoadPublisherKey() || !CheckPayloadSignature())
        return false;
    const StepPlan plan =
        StepPlan::ForPayload(m_payload, Installation(), m_settings.CurrentVersion(), m_settings.FinalVersion());
    NoteResumedStep(plan);
    // Such a payload could only ever bring the installation back and forth, run after run: it
    // changes nothing.
    if (plan.End() == StepChainEnd::LeadsBack)
    {
        m_observer.Message(MessageError, FormatCatalogueText(kIdPayloadLeadsBack,
                                                             NarrowToWide(plan.StepBack().source).c_str(),
                                                             NarrowToWide(plan.StepBack().target).c_str()));
        return false;
    }
    m_settings.SetCurrentVersion(plan.StartVersion());
    for (const PlannedStep &step : plan.Steps())
    {
        m_settings.SetNextVersion(step.target);
        m_observer.Message(MessageNormal, FormatCatalogueText(kIdPatchingFromTo, NarrowToWide(step.source).c_str(),
                                                              NarrowToWide(step.target).c_str()));
        if (!InstallPayloadStep(step))
            return false;
        ++m_stepsInstalled;
        m_settings.SetCurrentVersion(step.target);
    }
    if (plan.End() == StepChainEnd::NoStep)
    {
        m_observer.Message(MessageError, FormatCatalogueText(kIdStepNotApplicable,
                                                             NarrowToWide(m_settings.CurrentVersion()).c_str()));
        return false;
    }
    m_settings.SetNextVersion(std::string());
    RebuildAssetDatabase(Installation().Path(), m_observer);
    return true;
}

void PatchRun::NoteResumedStep(const StepPlan &plan)
{
    if (plan.Resumed() && plan.StartVersion() != m_settings.CurrentVersion())
        ZelkSystemLog("PatchRun> finishing the step %s to %s left by an earlier run", plan.Journal().source.c_str(),
                      plan.Journal().target.c_str());
}

bool PatchRun::InstallPayloadStep(const PlannedStep &step)
{
    std::wstring archive;
    if (!MakeTempArchivePath(archive))
    {
        m_observer.Message(MessageError, LoadMessage(kIdNoTempFile));
        return false;
    }
    if (m_payload.ExtractStep(step.source, archive) != ZELKRESULT_OK)
    {
        m_observer.Message(MessageError, LoadMessage(kIdExtractFailed));
        DeleteFileAt(archive);
        return false;
    }
    m_stepOrigin = step.origin;
    const int result = InstallPatchArchive(archive);
    // The payload still holds the step; its copy only takes room.
    DeleteFileAt(archive);
    return result == kInstallOk;
}

int PatchRun::InstallPatchArchive(const std::wstring &archivePath)
{
    std::wstring directory;
    if (!MakeTempDirectory(directory))
    {
        m_observer.Message(MessageError, LoadMessage(kIdNoTempDirectory));
        return kInstallNoTempDirectory;
    }
    int result = kInstallOk;
    m_observer.Message(MessageNormal, LoadMessage(kIdUnpacking));
    if (!UnpackPackageArchive(archivePath, directory))
    {
        m_observer.Message(MessageError, LoadMessage(kIdUnpackFailed));
        result = kInstallFailed;
    }
    else if (!CheckPackageLists(directory))
    {
        // Refused before the journal and the marker are written: a damaged package leaves the
        // installation exactly as it was, and no later run is sent back to it.
        m_observer.Message(MessageError, LoadMessage(kIdApplyFailed) + NarrowToWide(m_settings.PatchName()));
        result = kInstallFailed;
    }
    else
    {
        m_observer.Message(MessageNormal, LoadMessage(kIdPatching));
        const StepJournal journal{m_settings.CurrentVersion(), m_settings.NextVersion(), m_stepOrigin};
        // Without its journal a step cut short could not be finished by the next run, so a step
        // whose journal cannot be written is not begun.
        if (!WriteStepJournal(Installation(), journal))
        {
            ReportIfOutside(ProductFacts::kStepJournalName);
            ZelkSystemLog("PatchRun::InstallPatchArchive> cannot write the step journal\n");
            m_observer.Message(MessageError, LoadMessage(kIdApplyFailed) + NarrowToWide(m_settings.PatchName()));
            result = kInstallFailed;
        }
        else if (!ApplyPatchPackage(directory))
        {
            m_observer.Message(MessageError, LoadMessage(kIdApplyFailed) + NarrowToWide(m_settings.PatchName()));
            result = kInstallFailed;
        }
        else
        {
            if (!UpdateUninstallLog(Installation(), directory))
            {
                ReportIfOutside(ProductFacts::kUninstallLogName);
                m_observer.Message(MessageError,
                                   LoadMessage(kIdUninstallLogFailed) + NarrowToWide(m_settings.PatchName()));
            }
            RemoveStepJournal(Installation());
        }
    }
    DeleteTree(directory);
    return result;
}

bool PatchRun::ApplyPatchPackage(const std::wstring &packageDir)
{
    // The marker tells the product that its files are being changed: a step is not begun without
    // it, nor counted as done while it stays set (the journal then has the next run finish it).
    if (!SetPatchingMarker())
    {
        ZelkSystemLog("PatchRun::ApplyPatchPackage> cannot set the patching marker\n");
        ReportRegistryLockHeld();
        return false;
    }
    m_progressFraction.store(0.0f);
    SetTransferState(kTransferIdle);
    // The launcher names the installed build, so it is patched last: an installation cut short in
    // the middle of a step still identifies as the build the step starts from.
    const bool installed = InstallPackage(Installation(), packageDir, ProductFacts::kLauncherName);
    if (installed && ClearPatchingMarker())
        return true;
    if (installed)
        ZelkSystemLog("PatchRun::ApplyPatchPackage> cannot clear the patching marker\n");
    SetPatchingMarker();
    return false;
}

bool PatchRun::MakeTempDirectory(std::wstring &path)
{
    return MakeRunTempDirectory(path);
}

bool PatchRun::MakeTempArchivePath(std::wstring &path)
{
    path.clear();
    const std::wstring base = RunTempDirectory();
    if (base.empty() || !MakeDirectory(base))
        return false;
    // Versions may come from a server: the name must stay a plain file name inside the directory.
    path = JoinPath(base, NarrowToWide(SanitizeFileName(m_settings.PatchName()) + ".zip"));
    return true;
}

bool PatchRun::SetPatchingMarker()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(ProductFacts::kProductKey, true);
    if (!key && RegistryKey::CreateKey(ProductFacts::kProductKey))
        key = RegistryKey::Open(ProductFacts::kProductKey, true);
    return key && key->SetDword(ProductFacts::kPatchingMarkerValue, 1);
}

bool PatchRun::ClearPatchingMarker()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(ProductFacts::kProductKey, true);
    return key && key->DeleteValue(ProductFacts::kPatchingMarkerValue);
}
} // namespace ZelkPatch
