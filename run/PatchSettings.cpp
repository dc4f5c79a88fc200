#include "run/PatchSettings.h"

namespace ZelkPatch
{
void PatchSettings::SetInstallPath(const std::wstring &path)
{
    if (path != m_installPath)
        m_installation.reset();
    m_installPath = path;
}

const std::shared_ptr<const ConfinedDirectory> &PatchSettings::HeldInstallation()
{
    if (!m_installation)
        m_installation = std::make_shared<const ConfinedDirectory>(m_installPath);
    return m_installation;
}

void PatchSettings::SetInstallation(std::shared_ptr<const ConfinedDirectory> installation)
{
    m_installPath = installation->Path();
    m_installation = std::move(installation);
}

void PatchSettings::SetLocalMode(bool on)
{
    m_localMode = on;
    if (on)
        m_downloadMode = false;
}

void PatchSettings::SetDownloadMode(bool on)
{
    m_downloadMode = on;
    if (on)
        m_localMode = false;
}
} // namespace ZelkPatch
