// The worker threads of a patch run. One PatchThread carries out one run; it reaches whatever
// presents the run only through its RunHost and the report hooks, never through a widget.
#pragma once

#include <atomic>
#include <string>

#include <wx/thread.h>

#include "app/RunHost.h"
#include "kernel/ZelkTypes.h"
#include "patch/PelmoPatchTask.h"

namespace ZelkPatch
{
// Base of the patch workers: a joinable thread that tells its host when it has finished.
class APThread : public wxThread
{
public:
    // Records the new thread as the current worker of the process (the progress hooks use it).
    explicit APThread(RunHost *host);
    ~APThread() override;

    // The worker of the run started last; null before the first run.
    static APThread *CurrentWorker();

    // Completed steps divided by announced steps of the operation under way.
    float ProgressFraction() const { return m_progressFraction.load(); }
    void SetProgressFraction(float fraction) { m_progressFraction.store(fraction); }

    // True on the worker's own thread once the toolkit asked it to stop; false on other threads.
    bool StopRequested();

    RunHost *Host() const { return m_host; }

protected:
    // Posts the thread-finished event to the host.
    ExitCode Entry() override;

private:
    std::atomic<float> m_progressFraction{0.0f};
    RunHost *m_host;
};

// The journal of the step under way, kept in the installation ("patch-journal.txt") from before
// its package is applied until the step is applied and the uninstall log extended. A run cut short
// by a crash, a kill or a power loss leaves it behind, and the next run finishes that step first.
struct StepJournal
{
    std::string source;
    std::string target;
    // Where the step's package came from: "payload" or the address it was downloaded from.
    std::string origin;
};

extern const wchar_t kStepJournalName[];
bool ReadStepJournal(const std::wstring &installPath, StepJournal &journal);
// Written beside and renamed into place, so that a journal is always whole.
bool WriteStepJournal(const std::wstring &installPath, const StepJournal &journal);
bool RemoveStepJournal(const std::wstring &installPath);

// One patch run.
class PatchThread : public APThread, public PelmoPatchTask
{
public:
    // Handed to the downloads of the run: stops them when the user cancels.
    class PatchDownloadCallback;

    explicit PatchThread(RunHost *host);

    void Report(MessageLevel level, const std::string &text) override;
    void Report(MessageLevel level, const std::wstring &text) override;

    // The modes. Each reports its own failure at level 2 before returning false.
    bool RunStandaloneMode();
    bool InstallPayloadStep();
    bool RunDownloadMode(unsigned &stepsApplied);
    bool RunRepairMode();

    // 0 success, 2 no temporary directory, 10 unpacking or application failed.
    int InstallPatchArchive(const std::wstring &archivePath);
    bool ApplyPatchPackage(const std::wstring &packageDir);

    // Inside the run's private temporary directory.
    bool MakeTempDirectory(std::wstring &path);
    bool MakeTempArchivePath(std::wstring &path);

    // The "IsPatching" value under the product's registry key: set while a package is being
    // applied and after a failed application.
    static bool SetPatchingMarker();
    static bool ClearPatchingMarker();

    static constexpr int kInstallOk = 0;
    static constexpr int kInstallNoTempDirectory = 2;
    static constexpr int kInstallFailed = 10;

protected:
    ExitCode Entry() override;

private:
    // The origin written into the journal of the step being installed.
    std::string m_stepOrigin;
};
} // namespace ZelkPatch
