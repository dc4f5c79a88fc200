// The run engine: one patch run, without a window. It checks that patching is possible, runs
// exactly one mode (repair, standalone, download), and reports every step to its observer. It
// takes what it needs as values (the settings, the payload, the observer, a cancel flag), keeps
// the run's state in its own fields, and returns an outcome. The window's worker thread
// (PatchThread) and the console of an unattended run are its two drivers.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kernel/ConfinedDirectory.h"
#include "kernel/ZelkTypes.h"
#include "patch/PatchPayload.h"
#include "patch/PelmoPatchTask.h"
#include "patch/PublisherKey.h"
#include "run/PatchSettings.h"
#include "run/PrePostPatchTasks.h"
#include "run/RunObserver.h"
#include "run/StepPlan.h"

namespace ZelkPatch
{
// Why a run ended.
enum class RunEnd
{
    Completed,
    // The process may not change the installation.
    NotWritable,
    // A product program holds the installation; the user may close it and try again.
    ProductRunning,
    DiskSpaceShort,
    // No mode was selected.
    NoMode,
    // A step failed; it has said why.
    Failed,
    // The preflight check found that a run would not go ahead; it has said why.
    WouldNotGoAhead,
    // The user cancelled, and the run stopped where it was.
    Cancelled,
};

struct RunOutcome
{
    bool completed = false;
    // Patch steps installed by this run.
    unsigned stepsInstalled = 0;
    RunEnd reason = RunEnd::Failed;
};

class PatchRun : public PelmoPatchTask, private ReportHooks
{
public:
    // cancel is the user's "Cancel" and "Yes": set on any thread, read by the run at every step.
    PatchRun(const PatchSettings &settings, PatchPayload &payload, RunObserver &observer,
             const std::atomic<bool> &cancel);

    // The whole run, on the calling thread; the package code's report hooks are the run's while
    // it lasts.
    RunOutcome Run();

    // Where the run left the settings: the versions it reached.
    const PatchSettings &Settings() const { return m_settings; }
    // Completed steps divided by announced steps of the operation under way.
    float ProgressFraction() const { return m_progressFraction.load(); }
    // The wait between the attempts of the running check; tests make it short.
    void SetPause(PauseFunction pause) { m_pause = std::move(pause); }

    // PelmoPatchTask: a report goes to the observer.
    void Report(MessageLevel level, const std::string &text) override;
    void Report(MessageLevel level, const std::wstring &text) override;

    // The modes. Each reports its own failure at level 2 before returning false. The standalone
    // and the download mode take their steps from a StepPlan.
    bool RunStandaloneMode();
    bool InstallPayloadStep(const PlannedStep &step);
    bool RunDownloadMode(unsigned &stepsApplied);
    // The repair run: stage texts, the gauge at a range of 1,000, the segments line and the error
    // lines by stage; the "IsPatching" marker is cleared on success.
    bool RunRepair();
    // The preflight check (settings CheckOnly): what a run with these settings would do, reported
    // line by line, with nothing changed. Completed when the run would go ahead.
    RunOutcome RunCheck();

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

private:
    // Handed to the downloads of the run: stops them on a cancel and passes on their progress.
    class PatchDownloadCallback;

    // The report hooks of the package code: messages and the gauge go to the observer, and a
    // cancel stops the work at its next step.
    void MessageHook(MessageLevel level, const std::wstring &text) override;
    void ProgressBeginHook(unsigned steps) override;
    bool ProgressStepHook() override;
    bool CancelRequested() override { return Cancelled(); }

    bool Cancelled() const { return m_cancel.load(); }
    // The installation the settings hold (opened when the run starts, if start-up has not): every
    // file of it the run reads or changes is resolved beneath it.
    const ConfinedDirectory &Installation() { return m_settings.Installation(); }
    // Says so when the installation could not be opened because a link on its path could be
    // changed by another account; true then.
    bool ReportRefusedLink();
    // Says, by name, that the operation that has just failed on name found it leading outside
    // the installation; says nothing for any other failure.
    void ReportIfOutside(const std::wstring &name);
    // Says why the installation or the registry could not be written.
    void ReportNotWritable();
    // Says so when the last registry change failed because another program kept the registry's
    // lock past the deadline; true then.
    bool ReportRegistryLockHeld();
    // Reads which publisher key this machine trusts into m_publisherKey (none: nothing is
    // checked). False, said at level 2, when a key is configured but cannot be used.
    bool LoadPublisherKey();
    // With a publisher key: the payload's signature is checked before any step is copied.
    bool CheckPayloadSignature();
    // With a publisher key: a step is used only when the list vouches for its archive, and the
    // downloaded archive only when it is the one the list names (it is deleted otherwise).
    bool CheckListedStep(const std::string &source, const PatchListEntry &step);
    bool CheckDownloadedStep(const std::wstring &archive, const PatchListEntry &step);
    // Fetches one step of the patch list and installs it.
    bool InstallDownloadedStep(const PlannedStep &step);
    // Logs that the plan starts with a step an earlier run left unfinished.
    void NoteResumedStep(const StepPlan &plan);

    PatchSettings m_settings;
    PatchPayload &m_payload;
    RunObserver &m_observer;
    const std::atomic<bool> &m_cancel;
    PauseFunction m_pause = SleepMilliseconds;
    // The counts of the operation announced last.
    unsigned m_stepTotal = 0;
    unsigned m_stepCount = 0;
    std::atomic<float> m_progressFraction{0.0f};
    // The origin written into the journal of the step being installed.
    std::string m_stepOrigin;
    unsigned m_stepsInstalled = 0;
    std::optional<PublisherKey> m_publisherKey;
};
} // namespace ZelkPatch
