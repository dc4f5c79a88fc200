#include "run/PrePostPatchTasks.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "kernel/AssetDbIpc.h"
#include "kernel/ConfinedDirectory.h"
#include "kernel/CrashHandler.h"
#include "kernel/FileUtil.h"
#include "kernel/LockWait.h"
#include "kernel/ProcessUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"
#include "kernel/WorkerThreads.h"
#include "kernel/ZelkSystemLog.h"
#include "patch/PackageInstall.h"
#include "patch/UninstallLog.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

namespace ZelkPatch
{
namespace
{
constexpr uint64_t kBytesPerMB = 1048576;
// The thread's name in crash reports (and the test switch that faults in it).
const char kGaugeThreadName[] = "rebuild gauge";


// Whole-program tests cannot shrink a volume or make its query fail: this variable, when set,
// answers every free-space query with its number of megabytes, or fails it for "unreadable".
const char kFreeSpaceOverride[] = "ZELK_TEST_FREE_SPACE_MB";

} // namespace

namespace
{
// The test's answer to a free-space query, when it gives one: true with known set when the query
// is answered (known false for "unreadable").
bool OverriddenFreeSpace(uint64_t &bytes, bool &known)
{
    const char *override = std::getenv(kFreeSpaceOverride);
    if (!override)
        return false;
    char *end = nullptr;
    const unsigned long long megabytes = std::strtoull(override, &end, 10);
    known = end != override && *end == '\0';
    bytes = megabytes * kBytesPerMB;
    return true;
}

// The questions of both checks that change nothing.
bool MayWriteProductExecutable(const ConfinedDirectory &installation)
{
    const std::wstring executable = ProductFacts::kProductExecutablePath;
    return !installation.Exists(executable) || installation.MayOpenForReadWrite(executable);
}
} // namespace

bool QueryFreeSpace(const std::wstring &path, uint64_t &bytes)
{
    bool known = false;
    if (OverriddenFreeSpace(bytes, known))
        return known;
    return !path.empty() && GetFreeDiskSpace(path, bytes);
}

bool QueryFreeSpace(const ConfinedDirectory &directory, uint64_t &bytes)
{
    bool known = false;
    if (OverriddenFreeSpace(bytes, known))
        return known;
    return directory.GetFreeSpace(bytes);
}

bool CheckInstallWritable(const ConfinedDirectory &installation)
{
    RegistryKey::CreateKey(ProductFacts::kSettingsKey);
    if (!RegistryKey::Open(ProductFacts::kSettingsKey, true))
        return false;
    const std::wstring temp = TempBaseDirectory();
    if (!IsDirectory(temp) && !MakeDirectory(temp))
        return false;
    return MayWriteProductExecutable(installation);
}

bool ProbeInstallWritable(const ConfinedDirectory &installation)
{
    if (!RegistryKey::MayWrite())
        return false;
    // The temporary base is made by a run when missing; what decides is whether it can be.
    if (!MayCreateIn(NearestExistingDirectory(TempBaseDirectory())))
        return false;
    return MayWriteProductExecutable(installation);
}

void SleepMilliseconds(unsigned milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool CheckProductNotRunning(const std::wstring &installPath, const PauseFunction &pause)
{
    const std::wstring database = JoinPath(installPath, ProductFacts::kAssetDatabaseName);
    for (unsigned attempt = 1; attempt <= kRunningCheckAttempts; ++attempt)
    {
        // A registry left open by a failed attempt stays open; the next attempt only looks at
        // the count and the exclusive request again.
        if (AssetDbIpc::Open(PathToNative(database), false))
        {
            if (AssetDbIpc::UserCount() == kUserCountNotKept)
                AssetDbIpc::Close();
            else if (AssetDbIpc::UserCount() <= 1 && AssetDbIpc::RequestExclusive())
                return true;
        }
        // A mutex held past the deadline has had its time: another attempt would only wait again.
        if (LastLockWaitResult() != LockWaitResult::Taken)
            return false;
        if (attempt < kRunningCheckAttempts)
            pause(kRunningCheckPauseMs);
    }
    return false;
}

bool MakeRunTempDirectory(std::wstring &path)
{
    path.clear();
    const std::wstring base = RunTempDirectory();
    if (base.empty())
        return false;
    const std::wstring candidate = MakeUniqueName(base);
    if (!MakeDirectory(candidate))
        return false;
    path = candidate;
    return true;
}

bool CheckDiskSpace(const std::wstring &installPath, unsigned megabytes, RunObserver &observer)
{
    return CheckDiskSpace(ConfinedDirectory(installPath), megabytes, observer);
}

bool CheckDiskSpace(const ConfinedDirectory &installation, unsigned megabytes, RunObserver &observer)
{
    observer.Message(MessageNormal, LoadMessage(kIdCheckingDiskSpace));
    std::wstring tempDirectory;
    if (!MakeRunTempDirectory(tempDirectory))
        return false;
    const uint64_t required = static_cast<uint64_t>(megabytes) * kBytesPerMB;
    uint64_t tempFree = 0;
    const bool tempKnown = QueryFreeSpace(tempDirectory, tempFree);
    DeleteTree(tempDirectory);
    if (tempKnown && tempFree < required)
        return false;
    uint64_t installFree = 0;
    const bool installKnown = QueryFreeSpace(installation, installFree);
    if (installKnown && installFree < required)
        return false;
    if (tempKnown && installKnown)
        return true;
    observer.Message(MessageNormal, LoadMessage(kIdDiskSpaceUnknown));
    return true;
}

bool UpdateUninstallLog(const std::wstring &installPath, const std::wstring &packageDir)
{
    return UpdateUninstallLog(ConfinedDirectory(installPath), packageDir);
}

bool UpdateUninstallLog(const ConfinedDirectory &installation, const std::wstring &packageDir)
{
    // A step is applied again when its journal outlived the run that applied it; its files are
    // recorded once all the same.
    std::set<std::wstring> recorded;
    UninstallLogContents log;
    std::string error;
    if (ReadUninstallLog(installation, log, error))
    {
        for (const UninstallRecord &record : log.records)
            if (record.type == kUninstallRecordDeleteFile && record.strings.size() == 1)
                recorded.insert(record.strings[0]);
    }
    std::vector<std::wstring> added;
    for (const PackageEntry &entry : ReadAddedFileList(packageDir))
    {
        std::wstring path = JoinPath(installation.Path(), entry.path);
        NormalizeSeparators(path);
        if (recorded.count(path) == 0)
            added.push_back(entry.path);
    }
    return ExtendUninstallLog(installation, added);
}

void RebuildAssetDatabase(const std::wstring &installPath, RunObserver &observer)
{
    AssetDbIpc::Lend();
    observer.Message(MessageNormal, LoadMessage(kIdUpdatingDatabase));
    const std::wstring utility = JoinPath(installPath, ProductFacts::kUtilityPath);
    std::unique_ptr<CapturedProcess> process =
        CapturedProcess::StartCapturedProcess(utility, ProductFacts::kUtilityArguments, installPath);
    if (!process)
    {
        observer.Message(MessageError, LoadMessage(kIdUtilityNotStarted));
        AssetDbIpc::Reclaim();
        return;
    }
    auto progress = std::make_unique<KADRepairProgressThread>(observer);
    if (!progress->Start())
        progress.reset();

    // Both streams are read in turn, so a utility that fills one while we wait on the other never
    // stalls; what arrives on standard error is shown as an error.
    bool outputOpen = true;
    bool errorsOpen = true;
    while (outputOpen || errorsOpen)
    {
        std::string text;
        if (outputOpen)
        {
            outputOpen = process->ReadOutput(text);
            if (!text.empty())
                observer.Message(MessageNormal, NarrowToWide(text));
        }
        if (errorsOpen)
        {
            text.clear();
            errorsOpen = process->ReadErrors(text);
            if (!text.empty())
                observer.Message(MessageError, NarrowToWide(text));
        }
    }
    process->Wait(kWaitForever);
    if (progress)
        progress->Stop();
    const uint32_t exitCode = process->ExitCode();
    if (exitCode != 0)
        observer.Message(MessageError, FormatCatalogueText(kIdUtilityFailed, static_cast<int>(exitCode)));
    process->Close();
    AssetDbIpc::Reclaim();
}

KADRepairProgressThread::KADRepairProgressThread(RunObserver &observer) : m_observer(observer)
{
}

KADRepairProgressThread::~KADRepairProgressThread()
{
    Stop();
}

bool KADRepairProgressThread::Start()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_keepRunning = true;
    }
    if (StartThread(m_thread, [this] { Entry(); }))
        return true;
    m_keepRunning = false;
    return false;
}

void KADRepairProgressThread::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_keepRunning = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void KADRepairProgressThread::Entry()
{
    const ZelkFatalExceptionGuard guard(kGaugeThreadName);
    m_observer.GaugeRange(kGaugeRange);
    m_observer.GaugeValue(kGaugeStart);
    unsigned elapsed = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_keepRunning)
    {
        // Waiting on the condition rather than sleeping lets the rebuild's end show at once.
        if (m_wake.wait_for(lock, std::chrono::milliseconds(kTickMs), [this] { return !m_keepRunning; }))
            break;
        elapsed += kTickMs;
        m_observer.GaugeValue(kGaugeStart + static_cast<int>(elapsed));
        if (elapsed >= kLimitMs)
            break;
    }
    lock.unlock();
    m_observer.GaugeRange(1);
    m_observer.GaugeValue(1);
}
} // namespace ZelkPatch
