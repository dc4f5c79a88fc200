// The download mode of a run: the steps are fetched one after the other from the first patch
// server that serves a usable list, each installed before the next is looked up.
#include <chrono>
#include <cstdint>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "patch/InternetTransfer.h"
#include "patch/PatchList.h"
#include "patch/PublisherTrust.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/PatchRun.h"
#include "run/StepPlan.h"

namespace ZelkPatch
{
namespace
{
// Why an archive is not the one its signed list names, for the user.
unsigned ArchiveVerdictText(ArchiveVerdict verdict)
{
    switch (verdict)
    {
    case ArchiveVerdict::Good:
        return 0;
    case ArchiveVerdict::NoDigest:
        return kIdArchiveNoDigest;
    case ArchiveVerdict::Malformed:
        return kIdArchiveMalformed;
    case ArchiveVerdict::SizeDiffers:
        return kIdArchiveSizeDiffers;
    case ArchiveVerdict::DigestDiffers:
        return kIdArchiveDigestDiffers;
    case ArchiveVerdict::Unreadable:
        break;
    }
    return kIdArchiveUnreadable;
}
} // namespace

// Asked by the transfer, between its pieces, whether to stop: it stops once the user has cancelled,
// or once the file has grown past the size a signed list gives (a server that sends more than the
// publisher signed is not left to fill the disk). Meanwhile it tells the observer how far the
// download has come, a few times a second.
class PatchRun::PatchDownloadCallback : public ZelkTransferCallback
{
public:
    // limit: the most bytes the file may hold; 0 for no limit.
    PatchDownloadCallback(PatchRun &run, uint64_t limit) : m_run(run), m_limit(limit) {}

    bool ShouldStop() override
    {
        const TransferProgress progress = m_run.GetTransferProgress();
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastShown >= kProgressInterval)
        {
            m_lastShown = now;
            m_run.m_observer.DownloadProgress(progress, true);
        }
        if (m_limit != 0 && progress.bytesDone > m_limit)
            m_overLimit = true;
        return m_overLimit || m_run.Cancelled();
    }

    bool OverLimit() const { return m_overLimit; }

private:
    static constexpr auto kProgressInterval = std::chrono::milliseconds(100);

    PatchRun &m_run;
    const uint64_t m_limit;
    bool m_overLimit = false;
    std::chrono::steady_clock::time_point m_lastShown;
};

bool PatchRun::CheckListedStep(const std::string &source, const PatchListEntry &step)
{
    const ArchiveVerdict verdict = CheckListedArchive(step);
    if (verdict == ArchiveVerdict::Good)
        return true;
    m_observer.Message(MessageError, FormatCatalogueText(kIdStepNotUsed, NarrowToWide(source).c_str(),
                                                         NarrowToWide(step.targetVersion).c_str(),
                                                         LoadMessage(ArchiveVerdictText(verdict)).c_str()));
    return false;
}

bool PatchRun::CheckDownloadedStep(const std::wstring &archive, const PatchListEntry &step)
{
    const ArchiveVerdict verdict = VerifyDownloadedArchive(archive, step);
    if (verdict == ArchiveVerdict::Good)
        return true;
    m_observer.Message(MessageError, FormatCatalogueText(kIdArchiveRefused, step.dataUrl.c_str(),
                                                         LoadMessage(ArchiveVerdictText(verdict)).c_str()));
    return false;
}

bool PatchRun::RunDownloadMode(unsigned &stepsApplied)
{
    PatchSettings &settings = m_settings;
    stepsApplied = 0;
    if (!LoadPublisherKey())
        return false;
    if (m_publisherKey)
        RequireSignedLists(*m_publisherKey);
    m_observer.Message(MessageNormal, LoadMessage(kIdSearchingPatches));
    if (!FetchPatchList(settings.PatchServers()))
        return false;
    // Once a signed list is taken, no older one is taken on this machine again.
    if (m_publisherKey && !RememberListSerial(ListSerial().value_or(0)))
        m_observer.Message(MessageMinor, LoadMessage(kIdListSerialNotKept));

    const StepPlan plan =
        StepPlan::ForPatchList(*this, Installation(), settings.CurrentVersion(), settings.FinalVersion());
    NoteResumedStep(plan);
    settings.SetCurrentVersion(plan.StartVersion());
    for (const PlannedStep &step : plan.Steps())
    {
        settings.SetNextVersion(step.target);
        if (!InstallDownloadedStep(step))
            return false;
        ++stepsApplied;
        ++m_stepsInstalled;
        settings.SetCurrentVersion(step.target);
        settings.SetNextVersion(std::string());
    }
    const std::wstring reached = NarrowToWide(settings.CurrentVersion());
    if (plan.End() == StepChainEnd::ReachedFinal)
    {
        m_observer.Message(MessageNormal, LoadMessage(kIdFinalVersionReached) + reached);
    }
    else
    {
        // A list that leads back ends the chain as a list without a further step does.
        if (plan.End() == StepChainEnd::LeadsBack)
            m_observer.Message(MessageMinor, FormatCatalogueText(kIdListLeadsBack,
                                                                 NarrowToWide(plan.StepBack().source).c_str(),
                                                                 NarrowToWide(plan.StepBack().target).c_str()));
        m_observer.Message(MessageNormal, LoadMessage(kIdNoMorePatches) + reached);
    }
    if (stepsApplied > 0)
        RebuildAssetDatabase(Installation().Path(), m_observer);
    return true;
}

bool PatchRun::InstallDownloadedStep(const PlannedStep &planned)
{
    const PatchListEntry &step = *planned.listed;
    if (m_publisherKey && !CheckListedStep(planned.source, step))
        return false;

    if (!QueryFileSize(step.dataUrl))
        m_observer.Message(MessageMinor, LoadMessage(kIdSizeUnknown));
    std::wstring archive;
    if (!MakeTempArchivePath(archive))
    {
        m_observer.Message(MessageError, LoadMessage(kIdNoTempFile));
        return false;
    }
    m_observer.Message(MessageNormal, LoadMessage(kIdDownloading));
    PatchDownloadCallback callback(*this, m_publisherKey && step.dataSize ? *step.dataSize : 0);
    const bool downloaded = DownloadToFile(step.dataUrl, archive, &callback);
    m_observer.DownloadProgress(GetTransferProgress(), false);
    if (callback.OverLimit())
    {
        DeleteFileAt(archive);
        m_observer.Message(MessageError, FormatCatalogueText(kIdArchiveTooLarge, step.dataUrl.c_str()));
        return false;
    }
    if (!downloaded)
    {
        m_observer.Message(MessageError, LoadMessage(kIdDownloadFailed));
        DeleteFileAt(archive);
        return false;
    }
    // A file shorter than the server announced was cut short on the way.
    uint64_t size = 0;
    if (GetFileSizeAt(archive, size) != ZELKRESULT_OK || size < ExpectedSize())
    {
        m_observer.Message(MessageError, LoadMessage(kIdDownloadFailed));
        DeleteFileAt(archive);
        return false;
    }

    if (m_publisherKey && !CheckDownloadedStep(archive, step))
        return false;

    m_stepOrigin = planned.origin;
    const int installed = InstallPatchArchive(archive);
    // The server keeps the package; the copy here only takes room.
    DeleteFileAt(archive);
    return installed == kInstallOk;
}
} // namespace ZelkPatch
