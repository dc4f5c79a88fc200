// The download mode of a run: the steps are fetched one after the other from the first patch
// server that serves a usable list, each installed before the next is looked up.
#include <cstdint>
#include <set>

#include "app/FrameHooks.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "app/PatchSettings.h"
#include "app/PatchThread.h"
#include "app/PrePostPatchTasks.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "patch/InternetTransfer.h"

namespace ZelkPatch
{
// Stops a transfer once the user has asked to cancel, or the toolkit has asked the worker to end.
class PatchThread::PatchDownloadCallback : public ZelkTransferCallback
{
public:
    explicit PatchDownloadCallback(PatchThread &thread) : m_thread(thread) {}

    bool ShouldStop() override
    {
        RunHost *host = m_thread.Host();
        return (host != nullptr && host->IsCancelling()) || m_thread.StopRequested();
    }

private:
    PatchThread &m_thread;
};

bool PatchThread::RunDownloadMode(unsigned &stepsApplied)
{
    PatchSettings &settings = PatchSettings::Get();
    stepsApplied = 0;
    PostFrameMessage(MessageNormal, LoadMessage(kIdSearchingPatches));
    if (!FetchPatchList(settings.PatchServers()))
        return false;

    // A step cut short by an earlier run is finished first.
    StepJournal journal;
    if (ReadStepJournal(settings.InstallPath(), journal) && journal.source != settings.CurrentVersion())
    {
        ZelkSystemLog("PatchThread::RunDownloadMode> finishing the step %s to %s left by an earlier run",
                      journal.source.c_str(), journal.target.c_str());
        settings.SetCurrentVersion(journal.source);
    }

    // A list that leads back to a version installed in this run would patch for ever.
    std::set<std::string> reached{settings.CurrentVersion()};
    for (;;)
    {
        const std::string current = settings.CurrentVersion();
        if (current == settings.FinalVersion())
        {
            PostFrameMessage(MessageNormal, LoadMessage(kIdFinalVersionReached) + NarrowToWide(current));
            if (stepsApplied > 0)
                RebuildAssetDatabase(Host());
            return true;
        }
        const PatchListEntry *entry = FindPatchEntry(current);
        if (entry != nullptr && reached.count(entry->targetVersion) != 0)
        {
            ZelkSystemLog("PatchThread::RunDownloadMode> the list leads from %s back to %s; stopping",
                          current.c_str(), entry->targetVersion.c_str());
            entry = nullptr;
        }
        if (entry == nullptr)
        {
            PostFrameMessage(MessageNormal, LoadMessage(kIdNoMorePatches) + NarrowToWide(current));
            if (stepsApplied > 0)
                RebuildAssetDatabase(Host());
            return true;
        }
        const PatchListEntry step = *entry;
        settings.SetNextVersion(step.targetVersion);

        if (!QueryFileSize(step.dataUrl))
            PostFrameMessage(MessageMinor, LoadMessage(kIdSizeUnknown));
        std::wstring archive;
        if (!MakeTempArchivePath(archive))
        {
            PostFrameMessage(MessageError, LoadMessage(kIdNoTempFile));
            return false;
        }
        PostFrameMessage(MessageNormal, LoadMessage(kIdDownloading));
        PatchDownloadCallback callback(*this);
        if (!DownloadToFile(step.dataUrl, archive, &callback))
        {
            PostFrameMessage(MessageError, LoadMessage(kIdDownloadFailed));
            DeleteFileAt(archive);
            return false;
        }
        // A file shorter than the server announced was cut short on the way.
        uint64_t size = 0;
        if (GetFileSizeAt(archive, size) != ZELKRESULT_OK || size < ExpectedSize())
        {
            PostFrameMessage(MessageError, LoadMessage(kIdDownloadFailed));
            DeleteFileAt(archive);
            return false;
        }

        m_stepOrigin = WideToNarrow(step.dataUrl);
        const int installed = InstallPatchArchive(archive);
        // The server keeps the package; the copy here only takes room.
        DeleteFileAt(archive);
        if (installed != kInstallOk)
            return false;
        ++stepsApplied;
        settings.SetCurrentVersion(step.targetVersion);
        settings.SetNextVersion(std::string());
        reached.insert(step.targetVersion);
    }
}
} // namespace ZelkPatch
