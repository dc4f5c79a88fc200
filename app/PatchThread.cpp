#include "app/PatchThread.h"


#include "app/FrameHooks.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "app/PatchSettings.h"
#include "app/PelmoPatcherApp.h"
#include "app/PrePostPatchTasks.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/FileUtil.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "patch/PackageArchive.h"
#include "patch/PackageInstall.h"
#include "patch/PatchPayload.h"

namespace ZelkPatch
{
namespace
{
std::atomic<APThread *> g_currentWorker{nullptr};

const wchar_t kProductKey[] = L"Software\\Pelmo\\Products\\KorvilSimulator";
const wchar_t kPatchingMarker[] = L"IsPatching";
// The file whose digest names the installed build is patched last, so that an installation cut
// short in the middle of a step still identifies as the build the step starts from.
const wchar_t kLauncherName[] = L"Launcher.exe";
const char kPayloadOrigin[] = "payload";
// A journal holds three short lines; anything much larger is not one.
constexpr uint64_t kMaxJournalSize = 64 * 1024;

const wchar_t kModeNotAvailable[] = L"This patch mode is not available in this version of the patcher.";

bool ReadJournalField(const std::string &line, const char *name, std::string &value)
{
    const std::string prefix = std::string(name) + "=";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = line.substr(prefix.size());
    return true;
}
} // namespace

const wchar_t kStepJournalName[] = L"patch-journal.txt";

bool ReadStepJournal(const std::wstring &installPath, StepJournal &journal)
{
    std::string text;
    if (ReadWholeFile(JoinPath(installPath, kStepJournalName), text, kMaxJournalSize) != ZELKRESULT_OK)
        return false;
    journal = StepJournal();
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!ReadJournalField(line, "source", journal.source) && !ReadJournalField(line, "target", journal.target))
            ReadJournalField(line, "origin", journal.origin);
    }
    return !journal.source.empty();
}

bool WriteStepJournal(const std::wstring &installPath, const StepJournal &journal)
{
    const std::wstring path = JoinPath(installPath, kStepJournalName);
    // The run holds the installation: a new journal left beside it by a run that died is nobody's.
    RemoveAbandonedReplacements(path);
    // On the disk before the step starts: a power cut must not leave the journal empty.
    return WriteWholeFile(path, "source=" + journal.source + "\ntarget=" + journal.target + "\norigin=" +
                                    journal.origin + "\n");
}

bool RemoveStepJournal(const std::wstring &installPath)
{
    const std::wstring path = JoinPath(installPath, kStepJournalName);
    return !FileExists(path) || DeleteFileAt(path);
}

APThread::APThread(RunHost *host) : wxThread(wxTHREAD_JOINABLE), m_host(host)
{
    g_currentWorker.store(this);
}

APThread::~APThread()
{
    APThread *self = this;
    g_currentWorker.compare_exchange_strong(self, nullptr);
}

APThread *APThread::CurrentWorker()
{
    return g_currentWorker.load();
}

bool APThread::StopRequested()
{
    // The toolkit answers this question only on the thread itself.
    return wxThread::This() == this && TestDestroy();
}

wxThread::ExitCode APThread::Entry()
{
    if (m_host != nullptr)
        m_host->RunFinished();
    return nullptr;
}

PatchThread::PatchThread(RunHost *host) : APThread(host)
{
}

void PatchThread::Report(MessageLevel level, const std::string &text)
{
    PostFrameMessage(level, NarrowToWide(text));
}

void PatchThread::Report(MessageLevel level, const std::wstring &text)
{
    PostFrameMessage(level, text);
}

wxThread::ExitCode PatchThread::Entry()
{
    SetCatalogueLanguage(kLanguageEnglish);
    PatchSettings &settings = PatchSettings::Get();
    bool completed = false;
    if (!CheckInstallWritable(settings.InstallPath()))
    {
        PostFrameMessage(MessageError, LoadMessage(kIdNeedsAdmin));
        if (Host() != nullptr)
            Host()->ShowMessageBox(LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption), MessageBoxStyle::Ok);
    }
    else if (!CheckProductNotRunning())
    {
        PostFrameMessage(MessageError, LoadMessage(kIdFilesInUse));
        if (Host() != nullptr)
        {
            Host()->ShowMessageBox(LoadMessage(kIdFilesInUseText), LoadMessage(kIdFilesInUseCaption),
                                   MessageBoxStyle::Ok);
            // The user may close the product and try again.
            Host()->EnableApply();
        }
    }
    else if (settings.RepairMode())
    {
        completed = RunRepairMode();
    }
    else if (!CheckDiskSpace(kRequiredDiskSpaceMB))
    {
        PostFrameMessage(MessageError, FormatCatalogueText(kIdDiskSpaceShort, static_cast<int>(kRequiredDiskSpaceMB)));
    }
    else if (settings.LocalMode())
    {
        completed = RunStandaloneMode();
    }
    else if (settings.DownloadMode())
    {
        unsigned stepsApplied = 0;
        completed = RunDownloadMode(stepsApplied);
    }
    PostFrameMessage(MessageNormal, LoadMessage(completed ? kIdPatchingCompleted : kIdPatchingAborted));
    AssetDbIpc::EndExclusive();
    AssetDbIpc::Close();
    return APThread::Entry();
}

bool PatchThread::RunStandaloneMode()
{
    PatchSettings &settings = PatchSettings::Get();
    // A step cut short by an earlier run is finished first, whatever the launcher now says.
    StepJournal journal;
    if (ReadStepJournal(settings.InstallPath(), journal) && journal.source != settings.CurrentVersion() &&
        !ThePatchPayload().NextVersion(journal.source).empty())
    {
        ZelkSystemLog("PatchThread::RunStandaloneMode> finishing the step %s to %s left by an earlier run\n",
                      journal.source.c_str(), journal.target.c_str());
        settings.SetCurrentVersion(journal.source);
    }
    for (;;)
    {
        if (settings.CurrentVersion() == settings.FinalVersion())
        {
            settings.SetNextVersion(std::string());
            RebuildAssetDatabase(Host());
            return true;
        }
        const std::string next = ThePatchPayload().NextVersion(settings.CurrentVersion());
        if (next.empty())
        {
            PostFrameMessage(MessageError,
                             FormatCatalogueText(kIdStepNotApplicable, NarrowToWide(settings.CurrentVersion()).c_str()));
            return false;
        }
        settings.SetNextVersion(next);
        PostFrameMessage(MessageNormal, FormatCatalogueText(kIdPatchingFromTo,
                                                            NarrowToWide(settings.CurrentVersion()).c_str(),
                                                            NarrowToWide(next).c_str()));
        if (!InstallPayloadStep())
            return false;
        settings.SetCurrentVersion(next);
    }
}

bool PatchThread::InstallPayloadStep()
{
    std::wstring archive;
    if (!MakeTempArchivePath(archive))
    {
        PostFrameMessage(MessageError, LoadMessage(kIdNoTempFile));
        return false;
    }
    if (ThePatchPayload().ExtractStep(PatchSettings::Get().CurrentVersion(), archive) != ZELKRESULT_OK)
    {
        PostFrameMessage(MessageError, LoadMessage(kIdExtractFailed));
        DeleteFileAt(archive);
        return false;
    }
    m_stepOrigin = kPayloadOrigin;
    const int result = InstallPatchArchive(archive);
    // The payload still holds the step; its copy only takes room.
    DeleteFileAt(archive);
    return result == kInstallOk;
}

bool PatchThread::RunRepairMode()
{
    PostFrameMessage(MessageError, kModeNotAvailable);
    return false;
}

int PatchThread::InstallPatchArchive(const std::wstring &archivePath)
{
    PatchSettings &settings = PatchSettings::Get();
    std::wstring directory;
    if (!MakeTempDirectory(directory))
    {
        PostFrameMessage(MessageError, LoadMessage(kIdNoTempDirectory));
        return kInstallNoTempDirectory;
    }
    int result = kInstallOk;
    PostFrameMessage(MessageNormal, LoadMessage(kIdUnpacking));
    if (!UnpackPackageArchive(archivePath, directory))
    {
        PostFrameMessage(MessageError, LoadMessage(kIdUnpackFailed));
        result = kInstallFailed;
    }
    else if (!CheckPackageLists(directory))
    {
        // Refused before the journal and the marker are written: a damaged package leaves the
        // installation exactly as it was, and no later run is sent back to it.
        PostFrameMessage(MessageError, LoadMessage(kIdApplyFailed) + NarrowToWide(settings.PatchName()));
        result = kInstallFailed;
    }
    else
    {
        PostFrameMessage(MessageNormal, LoadMessage(kIdPatching));
        const StepJournal journal{settings.CurrentVersion(), settings.NextVersion(), m_stepOrigin};
        if (!WriteStepJournal(settings.InstallPath(), journal))
            ZelkSystemLog("PatchThread::InstallPatchArchive> cannot write the step journal\n");
        if (!ApplyPatchPackage(directory))
        {
            PostFrameMessage(MessageError, LoadMessage(kIdApplyFailed) + NarrowToWide(settings.PatchName()));
            result = kInstallFailed;
        }
        else
        {
            if (!UpdateUninstallLog(settings.InstallPath(), directory))
                PostFrameMessage(MessageError,
                                 LoadMessage(kIdUninstallLogFailed) + NarrowToWide(settings.PatchName()));
            RemoveStepJournal(settings.InstallPath());
        }
    }
    DeleteTree(directory);
    return result;
}

bool PatchThread::ApplyPatchPackage(const std::wstring &packageDir)
{
    SetPatchingMarker();
    SetProgressFraction(0.0f);
    SetTransferState(kTransferIdle);
    if (Host() != nullptr)
        Host()->ShowInstallPath();
    const bool installed = InstallPackage(PatchSettings::Get().InstallPath(), packageDir, kLauncherName);
    if (installed)
        ClearPatchingMarker();
    else
        SetPatchingMarker();
    return installed;
}

bool PatchThread::MakeTempDirectory(std::wstring &path)
{
    return MakeRunTempDirectory(path);
}

bool PatchThread::MakeTempArchivePath(std::wstring &path)
{
    path.clear();
    const std::wstring base = RunTempDirectory();
    if (base.empty() || !MakeDirectory(base))
        return false;
    // Versions may come from a server: the name must stay a plain file name inside the directory.
    path = JoinPath(base, NarrowToWide(SanitizeFileName(PatchSettings::Get().PatchName()) + ".zip"));
    return true;
}

bool PatchThread::SetPatchingMarker()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(kProductKey, true);
    if (!key && RegistryKey::CreateKey(kProductKey))
        key = RegistryKey::Open(kProductKey, true);
    return key && key->SetDword(kPatchingMarker, 1);
}

bool PatchThread::ClearPatchingMarker()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(kProductKey, true);
    return key && key->DeleteValue(kPatchingMarker);
}
} // namespace ZelkPatch
