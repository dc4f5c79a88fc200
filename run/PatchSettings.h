// The settings of a run: where the installation is, which versions are involved, which mode runs
// and which patch servers to ask. The application holds the settings it parsed and discovered; a
// run takes a copy and hands back where it left them (the current version advances with each
// installed step), so that a second run starts from where the first ended.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kernel/ConfinedDirectory.h"

namespace ZelkPatch
{
class PatchSettings
{
public:
    const std::wstring &InstallPath() const { return m_installPath; }
    // A path other than the one held drops the held installation.
    void SetInstallPath(const std::wstring &path);
    // The installation directory, opened from InstallPath the first time it is asked for and held
    // from then on, by this object and every copy made of it afterwards, until the path changes:
    // start-up opens it, and the run it hands a copy to reaches the installation only through it.
    const ConfinedDirectory &Installation() { return *HeldInstallation(); }
    const std::shared_ptr<const ConfinedDirectory> &HeldInstallation();
    // Takes a directory opened elsewhere as the installation, and its path.
    void SetInstallation(std::shared_ptr<const ConfinedDirectory> installation);

    const std::string &CurrentVersion() const { return m_currentVersion; }
    void SetCurrentVersion(const std::string &version) { m_currentVersion = version; }
    const std::string &NextVersion() const { return m_nextVersion; }
    void SetNextVersion(const std::string &version) { m_nextVersion = version; }
    const std::string &FinalVersion() const { return m_finalVersion; }
    void SetFinalVersion(const std::string &version) { m_finalVersion = version; }
    // Always CurrentVersion + "_to_" + NextVersion.
    std::string PatchName() const { return m_currentVersion + "_to_" + m_nextVersion; }

    bool RepairMode() const { return m_repairMode; }
    void SetRepairMode(bool on) { m_repairMode = on; }
    // Setting one of the two on clears the other.
    bool LocalMode() const { return m_localMode; }
    void SetLocalMode(bool on);
    bool DownloadMode() const { return m_downloadMode; }
    void SetDownloadMode(bool on);

    // The preflight check: the run only finds out and reports what it would do, and changes nothing.
    bool CheckOnly() const { return m_checkOnly; }
    void SetCheckOnly(bool on) { m_checkOnly = on; }

    const std::vector<std::wstring> &PatchServers() const { return m_patchServers; }
    void AddPatchServer(const std::wstring &entry) { m_patchServers.push_back(entry); }

private:
    std::wstring m_installPath;
    std::shared_ptr<const ConfinedDirectory> m_installation;
    std::string m_currentVersion;
    std::string m_nextVersion;
    std::string m_finalVersion;
    bool m_repairMode = false;
    bool m_localMode = false;
    bool m_downloadMode = false;
    bool m_checkOnly = false;
    std::vector<std::wstring> m_patchServers;
};
} // namespace ZelkPatch
