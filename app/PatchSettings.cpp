#include "app/PatchSettings.h"

namespace ZelkPatch
{
PatchSettings &PatchSettings::Get()
{
    // Never destroyed: worker threads may still read it while the process exits.
    static PatchSettings *settings = new PatchSettings;
    return *settings;
}

std::wstring PatchSettings::InstallPath() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_installPath;
}

void PatchSettings::SetInstallPath(const std::wstring &path)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_installPath = path;
}

std::string PatchSettings::CurrentVersion() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_currentVersion;
}

void PatchSettings::SetCurrentVersion(const std::string &version)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_currentVersion = version;
}

std::string PatchSettings::NextVersion() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nextVersion;
}

void PatchSettings::SetNextVersion(const std::string &version)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_nextVersion = version;
}

std::string PatchSettings::FinalVersion() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_finalVersion;
}

void PatchSettings::SetFinalVersion(const std::string &version)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_finalVersion = version;
}

std::string PatchSettings::PatchName() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_currentVersion + "_to_" + m_nextVersion;
}

bool PatchSettings::RepairMode() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_repairMode;
}

void PatchSettings::SetRepairMode(bool on)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_repairMode = on;
}

bool PatchSettings::LocalMode() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_localMode;
}

void PatchSettings::SetLocalMode(bool on)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_localMode = on;
    if (on)
        m_downloadMode = false;
}

bool PatchSettings::DownloadMode() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_downloadMode;
}

void PatchSettings::SetDownloadMode(bool on)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_downloadMode = on;
    if (on)
        m_localMode = false;
}

std::vector<std::wstring> PatchSettings::PatchServers() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_patchServers;
}

void PatchSettings::AddPatchServer(const std::wstring &entry)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_patchServers.push_back(entry);
}

void PatchSettings::Reset()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_installPath.clear();
    m_currentVersion.clear();
    m_nextVersion.clear();
    m_finalVersion.clear();
    m_repairMode = m_localMode = m_downloadMode = false;
    m_patchServers.clear();
}
} // namespace ZelkPatch
