// The one process-wide settings object of a run: where the installation is, which versions are
// involved, which mode runs and which patch servers to ask.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace ZelkPatch
{
class PatchSettings
{
public:
    static PatchSettings &Get();

    std::wstring InstallPath() const;
    void SetInstallPath(const std::wstring &path);

    std::string CurrentVersion() const;
    void SetCurrentVersion(const std::string &version);
    std::string NextVersion() const;
    void SetNextVersion(const std::string &version);
    std::string FinalVersion() const;
    void SetFinalVersion(const std::string &version);
    // Always CurrentVersion + "_to_" + NextVersion.
    std::string PatchName() const;

    bool RepairMode() const;
    void SetRepairMode(bool on);
    // Setting one of the two on clears the other.
    bool LocalMode() const;
    void SetLocalMode(bool on);
    bool DownloadMode() const;
    void SetDownloadMode(bool on);

    std::vector<std::wstring> PatchServers() const;
    void AddPatchServer(const std::wstring &entry);

    // Back to the state of a fresh process (tests).
    void Reset();

private:
    PatchSettings() = default;

    mutable std::mutex m_lock;
    std::wstring m_installPath;
    std::string m_currentVersion;
    std::string m_nextVersion;
    std::string m_finalVersion;
    bool m_repairMode = false;
    bool m_localMode = false;
    bool m_downloadMode = false;
    std::vector<std::wstring> m_patchServers;
};
} // namespace ZelkPatch
