// The tasks a patch run carries out around its packages: before patching, that no product program
// holds the installation and that there is room on the disks; after each package, the uninstall
// log; after the last step, the asset database rebuilt by the product's own utility while the
// gauge shows a timed progress. All of them run on the patch worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "run/RunObserver.h"

class ConfinedDirectory;

namespace ZelkPatch
{
constexpr unsigned kRequiredDiskSpaceMB = 4096;
constexpr unsigned kRunningCheckAttempts = 3;
constexpr unsigned kRunningCheckPauseMs = 2000;

// True when the process may change the installation: the settings key of the registry opens for
// writing, the temporary directory exists, and the product's executable (when present, and not
// reached through a link out of the installation) opens for reading and writing.
bool CheckInstallWritable(const ConfinedDirectory &installation);

// The same questions without changing anything (the preflight check): nothing is created.
bool ProbeInstallWritable(const ConfinedDirectory &installation);

// How a task waits between attempts; tests count the pauses instead.
using PauseFunction = std::function<void(unsigned milliseconds)>;
void SleepMilliseconds(unsigned milliseconds);

// True when no other product program has the installation open; the run then holds it
// exclusively until it ends.
bool CheckProductNotRunning(const std::wstring &installPath, const PauseFunction &pause = SleepMilliseconds);

// A new directory of its own inside the run's private temporary directory.
bool MakeRunTempDirectory(std::wstring &path);

// The free bytes of the volume that holds path; tests answer it through ZELK_TEST_FREE_SPACE_MB.
bool QueryFreeSpace(const std::wstring &path, uint64_t &bytes);
bool QueryFreeSpace(const ConfinedDirectory &directory, uint64_t &bytes);

// False when one of the two volumes (the run's temporary files, the installation) is known to
// have less than megabytes free; a volume whose free space cannot be read lets the run go on after
// a warning.
bool CheckDiskSpace(const ConfinedDirectory &installation, unsigned megabytes, RunObserver &observer);
bool CheckDiskSpace(const std::wstring &installPath, unsigned megabytes, RunObserver &observer);

// Records the files the unpacked package at packageDir added in the installation's uninstall log.
bool UpdateUninstallLog(const std::wstring &installPath, const std::wstring &packageDir);
// The same for an installation held open; errno is kNameLeadsOutside after a failure when the log's
// name leads outside it.
bool UpdateUninstallLog(const ConfinedDirectory &installation, const std::wstring &packageDir);

// Lends the asset database to the product utility, has it rebuild the database, shows what it
// says, and takes the database back. Failures are reported; the run still counts as completed.
void RebuildAssetDatabase(const std::wstring &installPath, RunObserver &observer);

// Moves the gauge through the second half of its range while the utility works, for at most ten
// minutes; the bar is full when it ends.
class KADRepairProgressThread
{
public:
    explicit KADRepairProgressThread(RunObserver &observer);
    ~KADRepairProgressThread();
    KADRepairProgressThread(const KADRepairProgressThread &) = delete;
    KADRepairProgressThread &operator=(const KADRepairProgressThread &) = delete;

    bool Start();
    // Clears keepRunning and waits for the thread.
    void Stop();

    static constexpr int kGaugeRange = 1201000;
    static constexpr int kGaugeStart = 600000;
    static constexpr unsigned kTickMs = 500;
    static constexpr unsigned kLimitMs = 600000;

private:
    void Entry();

    RunObserver &m_observer;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_keepRunning = false;
};
} // namespace ZelkPatch
